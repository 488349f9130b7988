#pragma once

#include "vorn/net/VornUrlRequest.h"
#include "vorn/realtime/SocketIODelegate.h"
#include "vorn/realtime/SocketIOPacket.h"
#include "vorn/realtime/SocketIOTransport.h"

#include <boost/asio/steady_timer.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vorn {

/// Handshake parameters, sent as "&key=value" in this order, unescaped.
using SocketIOParams = std::vector<std::pair<std::string, std::string>>;
/// An acknowledgement's callback: the acknowledgement's data (the first
/// argument, or every argument with `returnAllDataFromAck`), null when it
/// carried none.
using SocketIOCallback = std::function<void(const nlohmann::json& argsData)>;

/// One client session of Socket.IO protocol revision 1: the HTTP handshake,
/// a transport (WebSocket, else XHR polling), the server's heartbeats,
/// packets in both directions, acknowledgements, and a listener.
///
/// A session lives on the main loop: use it from there (its handshake,
/// timer and transports run there and every listener call is made there).
/// `disconnectForced` may also be called from another thread. A session is
/// owned through `std::shared_ptr`; it can be connected again after it ended.
class SocketIO final : public SocketIOTransportDelegate, public std::enable_shared_from_this<SocketIO> {
    struct PrivateTag {};

public:
    /// A new session that reports to `delegate` (held weakly).
    static std::shared_ptr<SocketIO> initWithDelegate(std::weak_ptr<SocketIODelegate> delegate);
    /// Made only by `initWithDelegate`.
    SocketIO(PrivateTag, std::weak_ptr<SocketIODelegate> delegate);
    ~SocketIO() override;
    SocketIO(const SocketIO&) = delete;
    SocketIO& operator=(const SocketIO&) = delete;

    // Connecting: only while neither connected nor connecting. Port 0 means
    // no port in the URLs; the timeout (seconds) bounds the handshake.
    /// Starts the handshake with the host, with no parameters, the default endpoint and a 10-second timeout. Success
    /// and failure reach the listener on the main loop.
    void connectToHost(const std::string& host, std::int64_t port);
    /// The same, with handshake parameters.
    void connectToHost(const std::string& host, std::int64_t port, const std::optional<SocketIOParams>& params);
    /// The same, with an endpoint.
    void connectToHost(const std::string& host, std::int64_t port, const std::optional<SocketIOParams>& params,
                       const std::string& endpoint);
    /// The same, with a handshake timeout in seconds.
    void connectToHost(const std::string& host, std::int64_t port, const std::optional<SocketIOParams>& params,
                       const std::string& endpoint, double connectionTimeout);

    /// Ends the session: with a "disconnect" packet when connected; by
    /// stopping the handshake when connecting. No error is reported.
    void disconnect();
    /// Tells the server to end the session with a blocking GET of
    /// ".../1/xhr-polling/<sid>?disconnect" (whatever the transport), then
    /// ends it locally with that request's error. Blocks the calling thread
    /// only; called off the main loop, the local end is queued there.
    void disconnectForced();

    // Sending. Packets are dropped unless the session is connected or
    // connecting; they wait in the queue until the transport is ready.
    /// Sends a "message" packet.
    void sendMessage(const std::string& data);
    /// The same; `function` runs on the main loop when the server acknowledges it.
    void sendMessage(const std::string& data, SocketIOCallback function);
    /// Sends a "json" packet of the value.
    void sendJSON(const nlohmann::json& data);
    /// The same; `function` runs on the main loop when the server acknowledges it.
    void sendJSON(const nlohmann::json& data, SocketIOCallback function);
    /// Sends an "event" packet with the name and, when given, `data` as its one argument.
    void sendEvent(const std::string& eventName, const std::optional<nlohmann::json>& data);
    /// The same; `function` runs on the main loop when the server acknowledges it.
    void sendEvent(const std::string& eventName, const std::optional<nlohmann::json>& data, SocketIOCallback function);
    /// Acknowledges the server's packet `pId` with `data` (an array of
    /// arguments; anything that has no JSON array or object form sends the
    /// acknowledgement without arguments). The acknowledgement goes to the
    /// namespace of the packet it answers (the session's when that packet
    /// is not known).
    void sendAcknowledgement(const std::string& pId, const nlohmann::json& data);
    /// Sends a "connect" packet (for a non-default endpoint).
    void sendConnect();
    /// Sends "disconnect", then ends the session locally.
    void sendDisconnect();
    /// Sends a "heartbeat" packet.
    void sendHeartbeat();
    /// Sends the packet, or queues it until the transport is ready; the listener hears of every packet sent.
    void send(const SocketIOPacket& packet);

    /// The first path segment of the handshake and forced-disconnect URLs,
    /// for every session of the process ("socket.io" until set).
    static void setResourceName(const std::string& name);
    /// The first path segment of the session URLs.
    static std::string resourceName();

    // Properties.
    /// The listener; empty when none is set or it is gone.
    std::shared_ptr<SocketIODelegate> delegate() const { return delegate_.lock(); }
    /// Sets the listener (held weakly).
    void setDelegate(std::weak_ptr<SocketIODelegate> delegate) { delegate_ = std::move(delegate); }
    std::string host() const override;
    std::int64_t port() const override;
    std::optional<std::string> sid() const override;
    double heartbeatTimeout() const override { return heartbeatTimeout_; }
    bool useSecure() const override;
    /// Sets whether the session uses TLS.
    void setUseSecure(bool useSecure);
    /// The handshake parameters of the last connect.
    const std::optional<SocketIOParams>& params() const { return params_; }
    /// The endpoint of the last connect.
    const std::string& endpoint() const { return endpoint_; }
    /// The cookies sent with the handshake.
    const std::optional<std::vector<VornHttpCookie>>& cookies() const { return cookies_; }
    /// Sets the cookies sent with the handshake.
    void setCookies(std::optional<std::vector<VornHttpCookie>> cookies) { cookies_ = std::move(cookies); }
    /// Whether the session is connected.
    bool isConnected() const { return isConnected_; }
    /// Whether a handshake or connect is in progress.
    bool isConnecting() const { return isConnecting_; }
    /// Whether acknowledgement callbacks get every argument (else the first).
    bool returnAllDataFromAck() const { return returnAllDataFromAck_; }
    /// Sets whether acknowledgement callbacks get every argument.
    void setReturnAllDataFromAck(bool value) { returnAllDataFromAck_ = value; }
    /// The transport in use; empty before the handshake ends.
    const std::shared_ptr<SocketIOTransport>& transport() const { return transport_; }
    /// Packets waiting for the transport.
    std::size_t queuedPacketCount() const { return queue_.size(); }
    /// Acknowledgements still awaited.
    std::size_t pendingAcknowledgementCount() const { return acks_.size(); }
    /// What the session holds at most (`SocketIOLimits`).
    SocketIOLimits limits() const override { return limits_; }
    /// Sets the limits; they apply to what is received and queued from now on.
    void setLimits(const SocketIOLimits& limits) { limits_ = limits; }
    /// How often the application asked the session to end (`disconnect`,
    /// `disconnectForced`, `sendDisconnect`), whatever its state then; one
    /// that owns the session can tell its own ends from the server's.
    std::uint64_t disconnectRequestCount() const { return disconnectRequests_; }

    // Transport events (the session is its transport's delegate).
    void onData(const std::string& packetText) override;
    void onDisconnect(const OptionalError& error) override;
    void onError(const VornError& error) override;

private:
    void handshakeResponse(long statusCode);
    void handshakeFinished();
    void handshakeFailed(const VornError& underlying);
    void invalidHandshake(VornError error);
    void onConnect(const SocketIOPacket& packet);
    void armConnectTimer();
    void limitExceeded(const std::string& what);
    void rememberAckEndpoint(const SocketIOPacket& packet);
    void onAck(const SocketIOPacket& packet);
    void doQueue();
    void setTimeout();
    void armTimeout(std::uint64_t generation);
    void onTimeout();
    std::optional<std::string> addAcknowledge(SocketIOCallback function);
    std::string portText() const;
    std::string scheme() const;

    template <typename Call>
    void tellDelegate(Call&& call);

    std::weak_ptr<SocketIODelegate> delegate_;
    // Read by disconnectForced from any thread.
    mutable std::mutex addressMutex_;
    std::string host_;
    std::int64_t port_ = 0;
    std::optional<std::string> sid_;
    bool useSecure_ = false;

    std::optional<SocketIOParams> params_;
    std::string endpoint_;
    std::optional<std::vector<VornHttpCookie>> cookies_;
    double heartbeatTimeout_ = 0;
    bool isConnected_ = false;
    bool isConnecting_ = false;
    bool returnAllDataFromAck_ = false;
    std::shared_ptr<VornUrlRequest> handshake_;
    std::string httpRequestData_;
    std::shared_ptr<SocketIOTransport> transport_;
    // The transport of the session that ended last, detached and closing:
    // kept until the next one replaces it, never sent to.
    std::shared_ptr<SocketIOTransport> previousTransport_;
    std::deque<SocketIOPacket> queue_;
    std::map<std::string, SocketIOCallback> acks_;
    std::int64_t ackCount_ = 0;
    // The namespaces of received packets that asked for an acknowledgement,
    // by id; the oldest are forgotten past a bound.
    std::map<std::string, std::string> ackEndpoints_;
    std::deque<std::string> ackEndpointOrder_;
    SocketIOLimits limits_;
    std::uint64_t disconnectRequests_ = 0;
    double connectionTimeout_ = 0;
    // Timers carry the generation they were armed in: a callback that
    // comes after its timer was cancelled or replaced does nothing.
    std::unique_ptr<boost::asio::steady_timer> timeout_;
    std::uint64_t timeoutGeneration_ = 0;
    std::chrono::steady_clock::time_point timeoutDeadline_;  // the heartbeat timeout's, moved by each packet
    std::unique_ptr<boost::asio::steady_timer> connectTimer_;
    std::uint64_t connectGeneration_ = 0;
};

}  // namespace vorn
