#include "vorn/realtime/SocketIO.h"

#include "vorn/core/MainLoop.h"
#include "vorn/realtime/SocketIOJSONSerialization.h"
#include "vorn/realtime/SocketIOTransportWebsocket.h"
#include "vorn/realtime/SocketIOTransportXHR.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace vorn {
namespace {

constexpr double kDefaultConnectionTimeout = 10.0;
// The longest heartbeat a handshake may announce, and the longest connection timeout: a day.
constexpr double kMaxHeartbeatSeconds = 86400.0;
// Received ids whose acknowledgement's namespace is remembered.
constexpr std::size_t kMaxRememberedAckEndpoints = 1024;

std::chrono::microseconds durationOf(double seconds) {
    return std::chrono::microseconds(static_cast<std::int64_t>(seconds * 1e6));
}

std::mutex& resourceNameMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string& resourceNameStorage() {
    static std::string name = "socket.io";
    return name;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        fields.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return fields;
        start = end + 1;
    }
}

bool isAscii(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) > 0x7F) return false;
    }
    return true;
}

/// A number as the platform's string-to-double reading does it: leading
/// white space allowed, the longest number prefix read, none gives 0.
double readDouble(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const double value = std::strtod(begin, &end);
    return end == begin ? 0.0 : value;
}

/// The decimal text of an acknowledgement id read from the wire (leading
/// zeros dropped); none when it is too long to be one of ours.
std::optional<std::string> canonicalId(const std::string& digits) {
    const std::size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return std::string("0");
    if (digits.size() - first > 18) return std::nullopt;
    return digits.substr(first);
}

}  // namespace

void SocketIODelegate::socketIODidConnect(const std::shared_ptr<SocketIO>&) {}
void SocketIODelegate::socketIODidDisconnect(const std::shared_ptr<SocketIO>&, const OptionalError&) {}
void SocketIODelegate::socketIODidReceiveMessage(const std::shared_ptr<SocketIO>&, const SocketIOPacket&) {}
void SocketIODelegate::socketIODidReceiveJSON(const std::shared_ptr<SocketIO>&, const SocketIOPacket&) {}
void SocketIODelegate::socketIODidReceiveEvent(const std::shared_ptr<SocketIO>&, const SocketIOPacket&) {}
void SocketIODelegate::socketIODidSendMessage(const std::shared_ptr<SocketIO>&, const SocketIOPacket&) {}
void SocketIODelegate::socketIO(const std::shared_ptr<SocketIO>&, const VornError&) {}

std::shared_ptr<SocketIO> SocketIO::initWithDelegate(std::weak_ptr<SocketIODelegate> delegate) {
    return std::make_shared<SocketIO>(PrivateTag{}, std::move(delegate));
}

SocketIO::SocketIO(PrivateTag, std::weak_ptr<SocketIODelegate> delegate) : delegate_(std::move(delegate)) {}

SocketIO::~SocketIO() {
    try {
        if (handshake_) handshake_->cancle();
        if (transport_) transport_->setDelegate({});
        if (timeout_) timeout_->cancel();
        if (connectTimer_) connectTimer_->cancel();
    } catch (...) {
        // Nothing is left to report to.
    }
}

template <typename Call>
void SocketIO::tellDelegate(Call&& call) {
    auto listener = delegate_.lock();
    if (!listener) return;
    auto self = shared_from_this();
    call(*listener, self);
}

// Properties read by other threads.

std::string SocketIO::host() const {
    std::lock_guard lock(addressMutex_);
    return host_;
}

std::int64_t SocketIO::port() const {
    std::lock_guard lock(addressMutex_);
    return port_;
}

std::optional<std::string> SocketIO::sid() const {
    std::lock_guard lock(addressMutex_);
    return sid_;
}

bool SocketIO::useSecure() const {
    std::lock_guard lock(addressMutex_);
    return useSecure_;
}

void SocketIO::setUseSecure(bool useSecure) {
    std::lock_guard lock(addressMutex_);
    useSecure_ = useSecure;
}

void SocketIO::setResourceName(const std::string& name) {
    std::lock_guard lock(resourceNameMutex());
    resourceNameStorage() = name;
}

std::string SocketIO::resourceName() {
    std::lock_guard lock(resourceNameMutex());
    return resourceNameStorage();
}

std::string SocketIO::portText() const {
    return port_ != 0 ? ":" + std::to_string(port_) : std::string();
}

std::string SocketIO::scheme() const {
    return useSecure_ ? "https" : "http";
}

// Connecting.

void SocketIO::connectToHost(const std::string& host, std::int64_t port) {
    connectToHost(host, port, std::nullopt, "", kDefaultConnectionTimeout);
}

void SocketIO::connectToHost(const std::string& host, std::int64_t port, const std::optional<SocketIOParams>& params) {
    connectToHost(host, port, params, "", kDefaultConnectionTimeout);
}

void SocketIO::connectToHost(const std::string& host, std::int64_t port, const std::optional<SocketIOParams>& params,
                             const std::string& endpoint) {
    connectToHost(host, port, params, endpoint, kDefaultConnectionTimeout);
}

void SocketIO::connectToHost(const std::string& host, std::int64_t port, const std::optional<SocketIOParams>& params,
                             const std::string& endpoint, double connectionTimeout) {
    if (isConnected_ || isConnecting_) return;
    isConnecting_ = true;
    std::string url;
    {
        std::lock_guard lock(addressMutex_);
        host_ = host;
        port_ = port;
        url = scheme() + "://" + host_ + portText() + "/" + resourceName() + "/1/?t=" + SocketIOMillisecondsNow();
    }
    params_ = params;
    endpoint_ = endpoint;
    connectionTimeout_ = connectionTimeout;
    if (params_) {
        for (const auto& [key, value] : *params_) {
            url += '&';
            url += key;
            url += '=';
            url += value;
        }
    }

    if (handshake_) handshake_->cancle();
    handshake_ = VornUrlRequest::initWithUrl(url);
    handshake_->setHttpMethod("GET");
    handshake_->setPostBody(std::string());
    handshake_->setTimeoutInterval(connectionTimeout);
    if (cookies_) handshake_->setCookies(*cookies_);
    httpRequestData_.clear();
    std::weak_ptr<SocketIO> weak = weak_from_this();
    std::weak_ptr<VornUrlRequest> request = handshake_;
    auto current = [weak, request]() -> std::shared_ptr<SocketIO> {
        auto self = weak.lock();
        if (!self || self->handshake_ != request.lock()) return nullptr;
        return self;
    };
    handshake_->setResponseBlock([current](long status) {
        if (auto self = current()) self->handshakeResponse(status);
    });
    handshake_->setCompletionBlock([current] {
        if (auto self = current()) self->handshakeFinished();
    });
    handshake_->setFailedBlock([current] {
        auto self = current();
        if (!self) return;
        VornError underlying{
            kVornErrorDomain, kVornErrorConnectFailed, {{"error", self->handshake_->errorDescription()}}};
        self->handshakeFailed(underlying);
    });
    handshake_->startAsyncConnection();
}

void SocketIO::handshakeResponse(long statusCode) {
    httpRequestData_.clear();
    if (statusCode < 400) return;
    handshake_->cancle();
    handshakeFailed(SocketIOStatusError(statusCode));
}

void SocketIO::handshakeFinished() {
    httpRequestData_ = handshake_->responseData().value_or(std::string());
    handshake_.reset();
    const std::string reply = isAscii(httpRequestData_) ? httpRequestData_ : std::string();
    const std::vector<std::string> fields = split(reply, ':');
    const std::string& sessionId = fields[0];
    if (sessionId.empty() || fields.size() < 4) {
        invalidHandshake(VornError{kSocketIOErrorDomain, kSocketIOErrorInvalidHandshake, {}});
        return;
    }
    // A server that cannot take the session answers with an error marker
    // where the id goes; that is no session, so it is reported and ended.
    const bool singleNonDigit = sessionId.size() == 1 && (sessionId[0] < '0' || sessionId[0] > '9');
    if (sessionId.find("error") != std::string::npos || singleNonDigit) {
        invalidHandshake(VornError{kSocketIOErrorDomain,
                                   kSocketIOErrorInvalidHandshake,
                                   {{"error", "the server refused the session: " + reply}}});
        return;
    }
    {
        std::lock_guard lock(addressMutex_);
        sid_ = sessionId;
    }
    const double heartbeat = readDouble(fields[1]);
    // Not a finite number of seconds in range (0, a day]: no usable timer.
    const bool heartbeatValid = std::isfinite(heartbeat) && heartbeat > 0 && heartbeat <= kMaxHeartbeatSeconds;
    heartbeatTimeout_ = heartbeatValid ? heartbeat + 7.0 : 0.0;

    bool websocket = false;
    bool polling = false;
    for (const std::string& name : split(fields[3], ',')) {
        websocket = websocket || name == "websocket";
        polling = polling || name == "xhr-polling";
    }
    if (transport_) transport_->setDelegate({});
    transport_.reset();
    if (websocket) {
        transport_ = SocketIOTransportWebsocket::initWithDelegate(weak_from_this());
    } else if (polling) {
        transport_ = SocketIOTransportXHR::initWithDelegate(weak_from_this());
    } else {
        invalidHandshake(VornError{kSocketIOErrorDomain, kSocketIOErrorNoTransport, {}});
        return;
    }
    if (!heartbeatValid) {
        invalidHandshake(VornError{kSocketIOErrorDomain, kSocketIOErrorInvalidHandshake, {}});
        return;
    }
    auto transport = transport_;
    armConnectTimer();
    transport->open();
}

void SocketIO::armConnectTimer() {
    // The server's first "connect" (and our namespace's) must come within
    // the connection timeout, or the session would stay connecting for
    // ever behind an upgrade never answered or a poll that keeps failing.
    if (connectTimer_) connectTimer_->cancel();
    connectTimer_ = std::make_unique<boost::asio::steady_timer>(MainLoop::shared().context());
    const bool usable = std::isfinite(connectionTimeout_) && connectionTimeout_ > 0;
    const double seconds = usable ? std::min(connectionTimeout_, kMaxHeartbeatSeconds) : kDefaultConnectionTimeout;
    connectTimer_->expires_after(durationOf(seconds));
    const std::uint64_t generation = ++connectGeneration_;
    std::weak_ptr<SocketIO> weak = weak_from_this();
    connectTimer_->async_wait([weak, generation, seconds](const boost::system::error_code& error) {
        auto self = weak.lock();
        if (error || !self || self->connectGeneration_ != generation || !self->isConnecting_) return;
        VornError failure{kSocketIOErrorDomain, kSocketIOErrorHandshakeFailed, {}};
        failure.userInfo[kSocketIOUnderlyingErrorKey] =
            "the server did not accept the connection within " + std::to_string(seconds) + " s";
        failure.userInfo[kSocketIOUnderlyingErrorDomainKey] = kSocketIOErrorDomain;
        failure.userInfo[kSocketIOUnderlyingErrorCodeKey] = "0";
        self->invalidHandshake(failure);
    });
}

void SocketIO::limitExceeded(const std::string& what) {
    if (!isConnected_ && !isConnecting_) return;
    invalidHandshake(VornError{kSocketIOErrorDomain, kSocketIOErrorLimitExceeded, {{"error", what}}});
}

void SocketIO::handshakeFailed(const VornError& underlying) {
    handshake_.reset();
    isConnected_ = false;
    isConnecting_ = false;
    VornError error{kSocketIOErrorDomain,
                    underlying.code == 403 ? kSocketIOErrorHandshakeForbidden : kSocketIOErrorHandshakeFailed,
                    {}};
    error.userInfo[kSocketIOUnderlyingErrorKey] = underlying.message();
    error.userInfo[kSocketIOUnderlyingErrorDomainKey] = underlying.domain;
    error.userInfo[kSocketIOUnderlyingErrorCodeKey] = std::to_string(underlying.code);
    tellDelegate(
        [&](SocketIODelegate& listener, const std::shared_ptr<SocketIO>& self) { listener.socketIO(self, error); });
}

void SocketIO::invalidHandshake(VornError error) {
    tellDelegate(
        [&](SocketIODelegate& listener, const std::shared_ptr<SocketIO>& self) { listener.socketIO(self, error); });
    onDisconnect(error);
}

// Receiving.

void SocketIO::onData(const std::string& packetText) {
    auto self = shared_from_this();
    if (packetText.size() > limits_.maxPacketBytes) {
        limitExceeded("a packet of " + std::to_string(packetText.size()) + " bytes, over the limit of " +
                      std::to_string(limits_.maxPacketBytes));
        return;
    }
    setTimeout();
    auto packet = SocketIOPacket::fromString(packetText);
    if (!packet) return;
    rememberAckEndpoint(*packet);
    switch (packet->typeAsNumber()) {
        case 0:
            onDisconnect(VornError{kSocketIOErrorDomain, kSocketIOErrorServerDisconnected, {}});
            break;
        case 1:
            onConnect(*packet);
            break;
        case 2:
            sendHeartbeat();
            break;
        case 3:
            if (packet->data && !packet->data->empty()) {
                tellDelegate([&](SocketIODelegate& listener, const std::shared_ptr<SocketIO>& socket) {
                    listener.socketIODidReceiveMessage(socket, *packet);
                });
            }
            break;
        case 4:
            if (packet->data && !packet->data->empty()) {
                tellDelegate([&](SocketIODelegate& listener, const std::shared_ptr<SocketIO>& socket) {
                    listener.socketIODidReceiveJSON(socket, *packet);
                });
            }
            break;
        case 5:
            if (packet->data && !packet->data->empty()) {
                if (auto json = SocketIOJSONSerialization::objectFromJSONData(*packet->data);
                    json && json->is_object()) {
                    if (auto name = json->find("name"); name != json->end() && name->is_string()) {
                        packet->name = name->get<std::string>();
                    }
                    if (auto args = json->find("args"); args != json->end()) packet->args = *args;
                }
                tellDelegate([&](SocketIODelegate& listener, const std::shared_ptr<SocketIO>& socket) {
                    listener.socketIODidReceiveEvent(socket, *packet);
                });
            }
            break;
        case 6:
            onAck(*packet);
            break;
        default:
            break;  // "error" and "noop"
    }
}

void SocketIO::onConnect(const SocketIOPacket& packet) {
    isConnected_ = true;
    if (!endpoint_.empty() && packet.endpoint.value_or("") != endpoint_) {
        // Connected to the default namespace: now join ours.
        sendConnect();
        return;
    }
    isConnecting_ = false;
    ++connectGeneration_;
    if (connectTimer_) connectTimer_->cancel();
    connectTimer_.reset();
    tellDelegate(
        [](SocketIODelegate& listener, const std::shared_ptr<SocketIO>& self) { listener.socketIODidConnect(self); });
    doQueue();
    setTimeout();
}

void SocketIO::onAck(const SocketIOPacket& packet) {
    auto ack = SocketIOPacket::readAckData(packet.data.value_or(""));
    if (!ack) return;
    auto id = canonicalId(ack->id);
    if (!id) return;
    auto it = acks_.find(*id);
    if (it == acks_.end()) return;
    SocketIOCallback callback = std::move(it->second);
    acks_.erase(it);
    nlohmann::json argsData;
    if (!ack->args.empty()) {
        argsData = SocketIOJSONSerialization::objectFromJSONData(ack->args).value_or(nlohmann::json());
        if (!returnAllDataFromAck_ && argsData.is_array() && !argsData.empty()) {
            nlohmann::json first = std::move(argsData.front());
            argsData = std::move(first);
        }
    }
    if (callback) callback(argsData);
}

// Sending.

void SocketIO::rememberAckEndpoint(const SocketIOPacket& packet) {
    const std::size_t type = packet.typeAsNumber();
    if (type < 3 || type > 5 || !packet.pId || packet.pId->empty()) return;
    auto id = canonicalId(*packet.pId);
    if (!id) return;
    if (ackEndpoints_.insert_or_assign(*id, packet.endpoint.value_or("")).second) ackEndpointOrder_.push_back(*id);
    while (ackEndpointOrder_.size() > kMaxRememberedAckEndpoints) {
        ackEndpoints_.erase(ackEndpointOrder_.front());
        ackEndpointOrder_.pop_front();
    }
}

std::optional<std::string> SocketIO::addAcknowledge(SocketIOCallback function) {
    if (!function) return std::nullopt;
    if (acks_.size() >= limits_.maxPendingAcknowledgements) {
        limitExceeded("more than " + std::to_string(limits_.maxPendingAcknowledgements) + " acknowledgements awaited");
        ++ackCount_;
        return std::to_string(ackCount_);
    }
    ++ackCount_;
    std::string id = std::to_string(ackCount_);
    acks_[id] = std::move(function);
    return id;
}

void SocketIO::sendMessage(const std::string& data) {
    sendMessage(data, nullptr);
}

void SocketIO::sendMessage(const std::string& data, SocketIOCallback function) {
    SocketIOPacket packet = SocketIOPacket::initWithType("message");
    packet.data = data;
    packet.pId = addAcknowledge(std::move(function));
    send(packet);
}

void SocketIO::sendJSON(const nlohmann::json& data) {
    sendJSON(data, nullptr);
}

void SocketIO::sendJSON(const nlohmann::json& data, SocketIOCallback function) {
    SocketIOPacket packet = SocketIOPacket::initWithType("json");
    packet.data = SocketIOJSONSerialization::JSONStringFromObject(data);
    packet.pId = addAcknowledge(std::move(function));
    send(packet);
}

void SocketIO::sendEvent(const std::string& eventName, const std::optional<nlohmann::json>& data) {
    sendEvent(eventName, data, nullptr);
}

void SocketIO::sendEvent(const std::string& eventName, const std::optional<nlohmann::json>& data,
                         SocketIOCallback function) {
    nlohmann::json event = nlohmann::json::object();
    event["name"] = eventName;
    if (data) event["args"] = nlohmann::json::array({*data});
    SocketIOPacket packet = SocketIOPacket::initWithType("event");
    packet.data = SocketIOJSONSerialization::JSONStringFromObject(event);
    if (function) packet.ack = "data";
    packet.pId = addAcknowledge(std::move(function));
    send(packet);
}

void SocketIO::sendAcknowledgement(const std::string& pId, const nlohmann::json& data) {
    SocketIOPacket packet = SocketIOPacket::initWithType("ack");
    packet.data = SocketIOJSONSerialization::JSONStringFromObject(data);
    packet.pId = pId;
    if (packet.data) {
        packet.ack = "data";
    } else {
        packet.data = "";  // the id still goes out, without arguments
    }
    // The server handles the acknowledgement in the namespace of the packet
    // it answers.
    packet.endpoint = endpoint_;
    if (auto id = canonicalId(pId); id) {
        if (auto it = ackEndpoints_.find(*id); it != ackEndpoints_.end()) {
            packet.endpoint = it->second;
            ackEndpoints_.erase(it);
            std::erase(ackEndpointOrder_, *id);
        }
    }
    send(packet);
}

void SocketIO::sendConnect() {
    send(SocketIOPacket::initWithType("connect"));
}

void SocketIO::sendDisconnect() {
    ++disconnectRequests_;
    send(SocketIOPacket::initWithType("disconnect"));
    onDisconnect(std::nullopt);
}

void SocketIO::sendHeartbeat() {
    send(SocketIOPacket::initWithType("heartbeat"));
}

void SocketIO::send(const SocketIOPacket& packet) {
    if (!isConnected_ && !isConnecting_) return;
    if (transport_ && transport_->isReady()) {
        auto transport = transport_;
        transport->send(packet.toString(endpoint_));
        tellDelegate([&](SocketIODelegate& listener, const std::shared_ptr<SocketIO>& self) {
            listener.socketIODidSendMessage(self, packet);
        });
    } else {
        if (queue_.size() >= limits_.maxQueuedPackets) {
            limitExceeded("more than " + std::to_string(limits_.maxQueuedPackets) + " packets queued");
            return;
        }
        queue_.push_back(packet);
    }
}

void SocketIO::doQueue() {
    while (!queue_.empty()) {
        SocketIOPacket packet = std::move(queue_.front());
        queue_.pop_front();
        send(packet);
        // A listener may end the session while the queue is sent.
        if (!isConnected_ && !isConnecting_) return;
    }
}

// The heartbeat timer.

void SocketIO::setTimeout() {
    // Every packet moves the deadline on; the timer is moved only when it
    // fires before the deadline, not for each packet.
    timeoutDeadline_ = std::chrono::steady_clock::now() + durationOf(heartbeatTimeout_);
    if (timeout_ && timeout_->expiry() <= timeoutDeadline_) return;
    if (timeout_) timeout_->cancel();
    timeout_ = std::make_unique<boost::asio::steady_timer>(MainLoop::shared().context());
    armTimeout(++timeoutGeneration_);
}

void SocketIO::armTimeout(std::uint64_t generation) {
    timeout_->expires_at(timeoutDeadline_);
    std::weak_ptr<SocketIO> weak = weak_from_this();
    timeout_->async_wait([weak, generation](const boost::system::error_code& error) {
        if (error) return;
        auto self = weak.lock();
        if (!self || self->timeoutGeneration_ != generation || !self->timeout_) return;
        if (std::chrono::steady_clock::now() < self->timeoutDeadline_) {
            self->armTimeout(generation);
        } else {
            self->onTimeout();
        }
    });
}

void SocketIO::onTimeout() {
    ++timeoutGeneration_;
    if (timeout_) timeout_->cancel();
    timeout_.reset();
    onDisconnect(VornError{kSocketIOErrorDomain, kSocketIOErrorHeartbeatTimeout, {}});
}

// Ending.

void SocketIO::disconnect() {
    if (isConnected_) {
        sendDisconnect();
        return;
    }
    ++disconnectRequests_;
    if (isConnecting_) {
        if (handshake_) handshake_->cancle();
        handshake_.reset();
        onDisconnect(std::nullopt);
    }
}

void SocketIO::disconnectForced() {
    if (MainLoop::shared().isCurrentThread()) {
        ++disconnectRequests_;
    } else {
        MainLoop::shared().post([self = shared_from_this()] { ++self->disconnectRequests_; });
    }
    std::string url;
    {
        std::lock_guard lock(addressMutex_);
        url = scheme() + "://" + host_ + portText() + "/" + resourceName() + "/1/xhr-polling/" + sid_.value_or("") +
              "?disconnect";
    }
    const bool onLoop = MainLoop::shared().isCurrentThread();
    if (!onLoop) {
        // What the transport reports while the request runs (the server
        // closing it, above all) must not end the session first.
        MainLoop::shared().post([self = shared_from_this()] {
            if (self->transport_) self->transport_->setDelegate({});
        });
    }
    auto request = VornUrlRequest::initWithUrl(url);
    request->setHttpMethod("GET");
    request->setPostBody(std::string());
    request->startSyncConnection();
    OptionalError error;
    if (!request->responseData()) {
        error = VornError{kVornErrorDomain, kVornErrorConnectFailed, {{"error", request->errorDescription()}}};
    }
    if (onLoop) {
        onDisconnect(error);
    } else {
        MainLoop::shared().post([self = shared_from_this(), error] { self->onDisconnect(error); });
    }
}

void SocketIO::onDisconnect(const OptionalError& error) {
    auto self = shared_from_this();
    const bool wasConnected = isConnected_ || isConnecting_;
    isConnected_ = false;
    isConnecting_ = false;
    {
        std::lock_guard lock(addressMutex_);
        sid_.reset();
    }
    queue_.clear();
    ackEndpoints_.clear();
    ackEndpointOrder_.clear();
    ++timeoutGeneration_;
    if (timeout_) timeout_->cancel();
    timeout_.reset();
    ++connectGeneration_;
    if (connectTimer_) connectTimer_->cancel();
    connectTimer_.reset();
    if (transport_) {
        // Detached here, so that packets sent while a new handshake runs
        // wait in the queue instead of going to the ended session.
        previousTransport_ = std::move(transport_);
        transport_.reset();
        previousTransport_->setDelegate({});
        previousTransport_->close();
    }
    if (wasConnected) {
        tellDelegate([&](SocketIODelegate& listener, const std::shared_ptr<SocketIO>& socket) {
            listener.socketIODidDisconnect(socket, error);
        });
    }
}

void SocketIO::onError(const VornError& error) {
    tellDelegate(
        [&](SocketIODelegate& listener, const std::shared_ptr<SocketIO>& self) { listener.socketIO(self, error); });
}

// Localized texts.

namespace {

std::mutex& localizedMutex() {
    static std::mutex mutex;
    return mutex;
}

std::map<std::string, std::string>& localizedStrings() {
    static std::map<std::string, std::string> strings;
    return strings;
}

}  // namespace

void SocketIOSetLocalizedStrings(std::map<std::string, std::string> strings) {
    std::lock_guard lock(localizedMutex());
    localizedStrings() = std::move(strings);
}

std::string SocketIOStatusMessage(long statusCode) {
    std::string format = "Server returned status code %d";
    {
        std::lock_guard lock(localizedMutex());
        if (auto it = localizedStrings().find(format); it != localizedStrings().end()) format = it->second;
    }
    // Only "%d" is replaced: the translation is text, never a printf format.
    if (auto at = format.find("%d"); at != std::string::npos) format.replace(at, 2, std::to_string(statusCode));
    return format;
}

std::string SocketIOMillisecondsNow() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

VornError SocketIOStatusError(long statusCode) {
    return VornError{
        kSocketIOErrorDomain, static_cast<int>(statusCode), {{"error", SocketIOStatusMessage(statusCode)}}};
}

}  // namespace vorn
