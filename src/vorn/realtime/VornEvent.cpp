#include "vorn/realtime/VornEvent.h"

#include "vorn/core/DeviceContext.h"
#include "vorn/core/MainLoop.h"
#include "vorn/core/SecureRandom.h"
#include "vorn/core/ServiceHost.h"
#include "vorn/core/StoreKeys.h"
#include "vorn/core/v_VornUtils.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <mutex>
#include <stdexcept>

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
void VornEventDelegate::vornEventReconnectAttempt(const std::shared_ptr<VornEvent>&, int, const OptionalError&,
                                                  double) {}

std::shared_ptr<VornEvent> VornEvent::defaultVornEvent() {
    static const std::shared_ptr<VornEvent> shared = init();
    return shared;
}
void VornEventDelegate::vornEventDidStop(const std::shared_ptr<VornEvent>&) {}

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
    std::string host = ServiceHost::parse(DeviceContext::shared().hosts().realtime).authority;
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

bool VornEvent::realtimeIsSecure() {
    return ServiceHost::parse(DeviceContext::shared().hosts().realtime).secure;
}

void VornEvent::setReconnection(VornEventReconnection reconnection) {
    reconnection_ = reconnection;
    if (!reconnection_.enabled) {
        remembered_.clear();
        attempt_ = 0;
        if (reconnectTimer_) reconnectTimer_->cancel();
        reconnectTimer_.reset();
    }
}

double VornEvent::reconnectDelay(int attempt, const VornEventReconnection& reconnection, double random01) {
    const double maxDelay = std::max(0.0, reconnection.maxDelay);
    double delay = std::max(0.0, reconnection.initialDelay);
    for (int i = 1; i < attempt && delay < maxDelay; ++i) delay *= std::max(1.0, reconnection.multiplier);
    delay = std::min(delay, maxDelay);
    const double jitter = std::clamp(reconnection.jitter, 0.0, 1.0);
    const double unit = std::clamp(random01, 0.0, 1.0);
    return delay * (1.0 - jitter + 2.0 * jitter * unit);
}

void VornEvent::scheduleReconnect() {
    if (reconnection_.maxAttempts > 0 && attempt_ >= reconnection_.maxAttempts) {
        attempt_ = 0;
        return;
    }
    ++attempt_;
    disconnectRequestsAtSchedule_ = vornSocketIO_->disconnectRequestCount();
    std::uint32_t bits = 0;
    try {
        secureRandomBytes(reinterpret_cast<std::uint8_t*>(&bits), sizeof bits);
    } catch (const std::runtime_error&) {
        bits = 1u << 31;  // no jitter then
    }
    const double random01 = static_cast<double>(bits) / 4294967296.0;
    const double delay = reconnectDelay(attempt_, reconnection_, random01);
    reconnectTimer_ = std::make_unique<boost::asio::steady_timer>(MainLoop::shared().context());
    reconnectTimer_->expires_after(std::chrono::microseconds(static_cast<std::int64_t>(delay * 1e6)));
    std::weak_ptr<VornEvent> weak = weak_from_this();
    reconnectTimer_->async_wait([weak](const boost::system::error_code& error) {
        auto self = weak.lock();
        if (error || !self || self->stopped_ || self->attempt_ == 0) return;
        if (self->vornSocketIO_->isConnected() || self->vornSocketIO_->isConnecting()) return;
        if (self->vornSocketIO_->disconnectRequestCount() != self->disconnectRequestsAtSchedule_) {
            // The application ended the session while we waited.
            self->cancelReconnect();
            self->stopped();
            return;
        }
        const auto [host, port] = realtimeAddress();
        if (realtimeIsSecure()) self->vornSocketIO_->setUseSecure(true);
        self->vornSocketIO_->connectToHost(host, port);
    });
}

void VornEvent::cancelReconnect() {
    attempt_ = 0;
    if (reconnectTimer_) reconnectTimer_->cancel();
    reconnectTimer_.reset();
}

void VornEvent::stopped() {
    tellDelegate(
        [](VornEventDelegate& listener, const std::shared_ptr<VornEvent>& self) { listener.vornEventDidStop(self); });
}

void VornEvent::attemptEnded(const OptionalError& outcome) {
    if (attempt_ == 0) return;
    const int attempt = attempt_;
    double nextDelay = 0;
    if (outcome) {
        scheduleReconnect();
        if (attempt_ != 0) {
            nextDelay =
                std::chrono::duration<double>(reconnectTimer_->expiry() - boost::asio::steady_timer::clock_type::now())
                    .count();
        }
    } else {
        attempt_ = 0;
    }
    tellDelegate([&](VornEventDelegate& listener, const std::shared_ptr<VornEvent>& self) {
        listener.vornEventReconnectAttempt(self, attempt, outcome, std::max(0.0, nextDelay));
    });
}

void VornEvent::remember(bool subscribe, std::int64_t type, const std::string& tableName, const std::string& objectId) {
    if (!reconnection_.enabled) return;
    if (subscribe) {
        remembered_.insert(Subscription{type, tableName, objectId});
    } else {
        remembered_.erase(Subscription{type, tableName, objectId});
    }
}

void VornEvent::start() {
    stopped_ = false;
    if (vornSocketIO_->isConnected() || vornSocketIO_->isConnecting()) return;
    const auto [host, port] = realtimeAddress();
    if (realtimeIsSecure()) vornSocketIO_->setUseSecure(true);
    vornSocketIO_->connectToHost(host, port);
}

void VornEvent::stop() {
    if (MainLoop::shared().isCurrentThread()) {
        stopped_ = true;
        cancelReconnect();
        vornSocketIO_->disconnectForced();
        stopped();
        return;
    }
    MainLoop::shared().post([self = shared_from_this()] {
        self->stopped_ = true;
        self->cancelReconnect();
    });
    vornSocketIO_->disconnectForced();
    // After the local end that disconnectForced queued.
    MainLoop::shared().post([self = shared_from_this()] { self->stopped(); });
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
    remember(true, actionType, tableName, "");
    sendSubscription("client_sub", eventDicWithType(actionType, tableName, ""));
}

void VornEvent::listenRowChange(VornActionType actionType, const std::string& tableName, const std::string& objectId) {
    if (!isRowAction(actionType) || tableName.empty() || objectId.empty()) return;
    remember(true, actionType, tableName, objectId);
    sendSubscription("client_sub", eventDicWithType(actionType, tableName, objectId));
}

void VornEvent::cancleListenTableChange(VornActionType actionType, const std::string& tableName) {
    if (!isTableAction(actionType) || tableName.empty()) return;
    remember(false, actionType, tableName, "");
    sendSubscription("client_unsub", unSubEventDicWithType(actionType, tableName, ""));
}

void VornEvent::cancleListenRowChange(VornActionType actionType, const std::string& tableName,
                                      const std::string& objectId) {
    if (!isRowAction(actionType) || tableName.empty() || objectId.empty()) return;
    remember(false, actionType, tableName, objectId);
    sendSubscription("client_unsub", unSubEventDicWithType(actionType, tableName, objectId));
}

void VornEvent::socketIODidConnect(const std::shared_ptr<SocketIO>&) {
    if (attempt_ > 0) {
        resubscribe_ = true;
        attemptEnded(std::nullopt);
    }
    tellDelegate([](VornEventDelegate& listener, const std::shared_ptr<VornEvent>& self) {
        listener.vornEventDidConnect(self);
    });
}

void VornEvent::socketIODidDisconnect(const std::shared_ptr<SocketIO>&, const OptionalError& error) {
    tellDelegate([&](VornEventDelegate& listener, const std::shared_ptr<VornEvent>& self) {
        listener.vornEventDidDisConnect(self, error);
    });
    if (!error) {
        // An end the application asked for: no attempt follows.
        cancelReconnect();
        return;
    }
    if (!reconnection_.enabled || stopped_) return;
    if (attempt_ > 0) {
        attemptEnded(error);
    } else {
        scheduleReconnect();
    }
}

void VornEvent::socketIO(const std::shared_ptr<SocketIO>&, const VornError& error) {
    tellDelegate(
        [&](VornEventDelegate& listener, const std::shared_ptr<VornEvent>& self) { listener.vornEvent(self, error); });
    // A handshake that failed reports no disconnect: the attempt (or the
    // first start) ends here. While the session is still connecting, a
    // disconnect report follows and ends it instead.
    const bool handshakeFailed =
        error.code == kSocketIOErrorHandshakeFailed || error.code == kSocketIOErrorHandshakeForbidden;
    const bool idle = !vornSocketIO_->isConnected() && !vornSocketIO_->isConnecting();
    if (!reconnection_.enabled || stopped_ || !handshakeFailed || !idle) return;
    if (attempt_ > 0) {
        attemptEnded(error);
    } else {
        scheduleReconnect();
    }
}

void VornEvent::socketIODidReceiveEvent(const std::shared_ptr<SocketIO>&, const SocketIOPacket& packet) {
    if (!packet.name) return;
    if (*packet.name == "client_send_data") {
        if (resubscribe_ && reconnection_.enabled) {
            resubscribe_ = false;
            for (const Subscription& subscription : remembered_) {
                sendSubscription("client_sub",
                                 eventDicWithType(subscription.type, subscription.tableName, subscription.objectId));
            }
        }
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
