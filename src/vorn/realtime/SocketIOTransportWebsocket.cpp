#include "vorn/realtime/SocketIOTransportWebsocket.h"

#include "vorn/websocket/vSRWebSocket.h"

namespace vorn {

std::shared_ptr<SocketIOTransportWebsocket> SocketIOTransportWebsocket::initWithDelegate(
    std::weak_ptr<SocketIOTransportDelegate> delegate) {
    return std::make_shared<SocketIOTransportWebsocket>(PrivateTag{}, std::move(delegate));
}

SocketIOTransportWebsocket::SocketIOTransportWebsocket(PrivateTag, std::weak_ptr<SocketIOTransportDelegate> delegate)
    : delegate_(std::move(delegate)) {}

SocketIOTransportWebsocket::~SocketIOTransportWebsocket() {
    if (webSocket_) webSocket_->setDelegate({});
}

std::string SocketIOTransportWebsocket::urlFor(const SocketIOTransportDelegate& session) {
    std::string url = session.useSecure() ? "wss://" : "ws://";
    url += session.host();
    if (session.port() != 0) url += ":" + std::to_string(session.port());
    url += "/socket.io/1/websocket/";
    url += session.sid().value_or("");
    return url;
}

void SocketIOTransportWebsocket::open() {
    auto session = delegate_.lock();
    if (!session) return;
    if (webSocket_) webSocket_->setDelegate({});
    webSocket_.reset();
    try {
        webSocket_ = vSRWebSocket::initWithURL(urlFor(*session), std::vector<std::string>{});
    } catch (const std::exception& e) {
        // A host or session id that makes no URL: the connection fails.
        session->onDisconnect(VornError{kVornErrorDomain, kVornErrorConnectFailed, {{"error", e.what()}}});
        return;
    }
    webSocket_->setDelegate(weak_from_this());
    // One message is one packet: one past the session's limit is refused
    // by the socket as it arrives (close 1009).
    webSocket_->setMaximumMessageSize(session->limits().maxPacketBytes);
    webSocket_->open();
}

void SocketIOTransportWebsocket::close() {
    if (webSocket_) webSocket_->close();
}

bool SocketIOTransportWebsocket::isReady() const {
    return webSocket_ && webSocket_->readyState() == SRReadyState::OPEN;
}

void SocketIOTransportWebsocket::send(const std::string& packetText) {
    if (!webSocket_) return;
    try {
        webSocket_->send(packetText);
    } catch (const std::invalid_argument&) {
        // Text that is not UTF-8 cannot go out as a text message.
    }
}

void SocketIOTransportWebsocket::webSocket(const std::shared_ptr<vSRWebSocket>& socket, SRMessage message) {
    if (!isCurrent(socket)) return;
    auto* text = std::get_if<std::string>(&message);
    if (text == nullptr) return;  // the protocol's packets are text
    if (auto session = delegate_.lock()) session->onData(*text);
}

void SocketIOTransportWebsocket::webSocketDidOpen(const std::shared_ptr<vSRWebSocket>&) {
    // The session waits for the server's "connect" packet.
}

void SocketIOTransportWebsocket::webSocket(const std::shared_ptr<vSRWebSocket>& socket, const VornError& error) {
    if (!isCurrent(socket)) return;
    auto session = delegate_.lock();
    if (!session) return;
    if (error.domain == kSRWebSocketErrorDomain && error.code == kSRErrorMessageTooBig) {
        // A packet past the session's limit: reported as the session's own limit.
        VornError limit{
            kSocketIOErrorDomain,
            kSocketIOErrorLimitExceeded,
            {{"error", "a packet over the limit of " + std::to_string(session->limits().maxPacketBytes) + " bytes"}}};
        session->onError(limit);
        session->onDisconnect(limit);
        return;
    }
    session->onDisconnect(error);
}

void SocketIOTransportWebsocket::webSocket(const std::shared_ptr<vSRWebSocket>& socket, std::int32_t,
                                           const std::optional<std::string>&, bool) {
    if (!isCurrent(socket)) return;
    if (auto session = delegate_.lock()) {
        session->onDisconnect(VornError{kSocketIOErrorDomain, kSocketIOErrorWebSocketClosed, {}});
    }
}

}  // namespace vorn
