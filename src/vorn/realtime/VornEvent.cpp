#include "vorn/realtime/VornEvent.h"

#include "vorn/core/DeviceContext.h"
#include "vorn/core/StoreKeys.h"
#include "vorn/core/v_VornUtils.h"

#include <array>
#include <mutex>

namespace vorn {
namespace {

constexpr std::int64_t kRealtimePort = 3010;
constexpr std::array<const char*, 4> kActions = {"updateTable", "updateRow", "deleteTable", "deleteRow"};
constexpr std::array<const char*, 4> kCancellations = {"unsub_updateTable", "unsub_updateRow", "unsub_deleteTable",
                                                       "unsub_deleteRow"};

std::optional<std::string> messageFor(const char* action, const std::string& tableName, const std::string& objectId) {
    const auto stored = DeviceContext::shared().store()->stringForKey(storekeys::kAppKey);
    if (!stored) return std::nullopt;
    const auto appKey = v_VornUtils::decodeBase64String(*stored);
    if (!appKey) return std::nullopt;
    const nlohmann::json message = {
        {"appKey", *appKey}, {"tableName", tableName}, {"objectId", objectId}, {"action", action}};
    return v_VornUtils::stringOfJson(message);
}

bool isTableAction(VornActionType type) {
    return type == VornActionTypeUpdateTable || type == VornActionTypeDeleteTable;
}

bool isRowAction(VornActionType type) {
    return type == VornActionTypeUpdateRow || type == VornActionTypeDeleteRow;
}

}  // namespace

void VornEventDelegate::vornEventDidConnect(const std::shared_ptr<VornEvent>&) {}
void VornEventDelegate::vornEventCanStartListen(const std::shared_ptr<VornEvent>&) {}
void VornEventDelegate::vornEvent(const std::shared_ptr<VornEvent>&, const nlohmann::json&) {}
void VornEventDelegate::vornEvent(const std::shared_ptr<VornEvent>&, const VornError&) {}
void VornEventDelegate::vornEventDidDisConnect(const std::shared_ptr<VornEvent>&, const OptionalError&) {}

std::shared_ptr<VornEvent> VornEvent::defaultVornEvent() {
    static const std::shared_ptr<VornEvent> shared = init();
    return shared;
}

std::shared_ptr<VornEvent> VornEvent::init() {
    auto event = std::make_shared<VornEvent>(PrivateTag{});
    event->vornSocketIO_ = SocketIO::initWithDelegate(event);
    return event;
}

VornEvent::VornEvent(PrivateTag) {}

template <typename Call>
void VornEvent::tellDelegate(Call&& call) {
    auto listener = delegate_.lock();
    if (!listener) return;
    auto self = shared_from_this();
    call(*listener, self);
}

std::pair<std::string, std::int64_t> VornEvent::realtimeAddress() {
    std::string host = DeviceContext::shared().hosts().realtime;
    std::int64_t port = kRealtimePort;
    // "host:port" (not an IPv6 address without brackets) names its own port.
    const std::size_t colon = host.rfind(':');
    if (colon != std::string::npos && host.find(':') == colon && colon + 1 < host.size() &&
        host.size() - colon - 1 <= 5) {
        const std::string digits = host.substr(colon + 1);
        if (digits.find_first_not_of("0123456789") == std::string::npos) {
            const long value = std::stol(digits);
            if (value > 0 && value < 65536) {
                port = value;
                host.resize(colon);
            }
        }
    }
    return {host, port};
}

void VornEvent::start() {
    if (vornSocketIO_->isConnected() || vornSocketIO_->isConnecting()) return;
    const auto [host, port] = realtimeAddress();
    vornSocketIO_->connectToHost(host, port);
}

void VornEvent::stop() {
    vornSocketIO_->disconnectForced();
}

bool VornEvent::isConnected() const {
    return vornSocketIO_->isConnected();
}

std::optional<std::string> VornEvent::eventDicWithType(std::int64_t actionType, const std::string& tableName,
                                                       const std::string& objectId) {
    if (actionType < 0 || actionType > 3) return std::nullopt;
    return messageFor(kActions[static_cast<std::size_t>(actionType)], tableName, objectId);
}

std::optional<std::string> VornEvent::unSubEventDicWithType(std::int64_t actionType, const std::string& tableName,
                                                            const std::string& objectId) {
    if (actionType < 0 || actionType > 3) return std::nullopt;
    return messageFor(kCancellations[static_cast<std::size_t>(actionType)], tableName, objectId);
}

void VornEvent::sendSubscription(const char* eventName, const std::optional<std::string>& message) {
    // Without an application key there is no message: nothing is sent.
    if (!message) return;
    vornSocketIO_->sendEvent(eventName, nlohmann::json(*message));
}

void VornEvent::listenTableChange(VornActionType actionType, const std::string& tableName) {
    if (!isTableAction(actionType) || tableName.empty()) return;
    sendSubscription("client_sub", eventDicWithType(actionType, tableName, ""));
}

void VornEvent::listenRowChange(VornActionType actionType, const std::string& tableName, const std::string& objectId) {
    if (!isRowAction(actionType) || tableName.empty() || objectId.empty()) return;
    sendSubscription("client_sub", eventDicWithType(actionType, tableName, objectId));
}

void VornEvent::cancleListenTableChange(VornActionType actionType, const std::string& tableName) {
    if (!isTableAction(actionType) || tableName.empty()) return;
    sendSubscription("client_unsub", unSubEventDicWithType(actionType, tableName, ""));
}

void VornEvent::cancleListenRowChange(VornActionType actionType, const std::string& tableName,
                                      const std::string& objectId) {
    if (!isRowAction(actionType) || tableName.empty() || objectId.empty()) return;
    sendSubscription("client_unsub", unSubEventDicWithType(actionType, tableName, objectId));
}

void VornEvent::socketIODidConnect(const std::shared_ptr<SocketIO>&) {
    tellDelegate([](VornEventDelegate& listener, const std::shared_ptr<VornEvent>& self) {
        listener.vornEventDidConnect(self);
    });
}

void VornEvent::socketIODidDisconnect(const std::shared_ptr<SocketIO>&, const OptionalError& error) {
    tellDelegate([&](VornEventDelegate& listener, const std::shared_ptr<VornEvent>& self) {
        listener.vornEventDidDisConnect(self, error);
    });
}

void VornEvent::socketIO(const std::shared_ptr<SocketIO>&, const VornError& error) {
    tellDelegate(
        [&](VornEventDelegate& listener, const std::shared_ptr<VornEvent>& self) { listener.vornEvent(self, error); });
}

void VornEvent::socketIODidReceiveEvent(const std::shared_ptr<SocketIO>&, const SocketIOPacket& packet) {
    if (!packet.name) return;
    if (*packet.name == "client_send_data") {
        tellDelegate([](VornEventDelegate& listener, const std::shared_ptr<VornEvent>& self) {
            listener.vornEventCanStartListen(self);
        });
    } else if (*packet.name == "server_pub") {
        nlohmann::json message;
        if (packet.args && packet.args->is_array() && !packet.args->empty()) message = packet.args->front();
        tellDelegate([&](VornEventDelegate& listener, const std::shared_ptr<VornEvent>& self) {
            listener.vornEvent(self, message);
        });
    }
}

}  // namespace vorn
