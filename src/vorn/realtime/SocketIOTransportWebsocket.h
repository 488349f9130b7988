#pragma once

#include "vorn/realtime/SocketIOTransport.h"
#include "vorn/websocket/SRWebSocketDelegate.h"

#include <memory>
#include <string>

namespace vorn {

class vSRWebSocket;

/// Carries each packet as one WebSocket text message, at
/// "ws[s]://host[:port]/socket.io/1/websocket/<sid>". The socket's listener
/// calls arrive on the main loop.
class SocketIOTransportWebsocket final : public SocketIOTransport,
                                         public SRWebSocketDelegate,
                                         public std::enable_shared_from_this<SocketIOTransportWebsocket> {
    struct PrivateTag {};

public:
    /// A new transport that reports to `delegate` (held weakly).
    static std::shared_ptr<SocketIOTransportWebsocket> initWithDelegate(
        std::weak_ptr<SocketIOTransportDelegate> delegate);
    /// Made only by `initWithDelegate`.
    SocketIOTransportWebsocket(PrivateTag, std::weak_ptr<SocketIOTransportDelegate> delegate);
    ~SocketIOTransportWebsocket() override;

    /// The URL `open` connects to, from the session's values.
    static std::string urlFor(const SocketIOTransportDelegate& session);

    void open() override;
    void close() override;
    bool isReady() const override;
    void send(const std::string& packetText) override;
    void setDelegate(std::weak_ptr<SocketIOTransportDelegate> delegate) override { delegate_ = std::move(delegate); }

    /// The WebSocket in use; empty before `open`.
    const std::shared_ptr<vSRWebSocket>& webSocket() const { return webSocket_; }

    using SRWebSocketDelegate::webSocket;
    void webSocket(const std::shared_ptr<vSRWebSocket>& socket, SRMessage message) override;
    void webSocketDidOpen(const std::shared_ptr<vSRWebSocket>& socket) override;
    void webSocket(const std::shared_ptr<vSRWebSocket>& socket, const VornError& error) override;
    void webSocket(const std::shared_ptr<vSRWebSocket>& socket, std::int32_t code,
                   const std::optional<std::string>& reason, bool wasClean) override;

private:
    bool isCurrent(const std::shared_ptr<vSRWebSocket>& socket) const { return socket && socket == webSocket_; }

    std::weak_ptr<SocketIOTransportDelegate> delegate_;
    std::shared_ptr<vSRWebSocket> webSocket_;
};

}  // namespace vorn
