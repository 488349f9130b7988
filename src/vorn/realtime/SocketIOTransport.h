#pragma once

#include "vorn/core/VornError.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace vorn {

/// The error domain of the realtime session and its transports.
inline constexpr const char* kSocketIOErrorDomain = "SocketIOError";

/// Error codes of `kSocketIOErrorDomain`. A polling response or handshake
/// with HTTP status 400 or more is reported with the status as its code.
enum SocketIOErrorCode : int {
    kSocketIOErrorInvalidHandshake = -1,    ///< the handshake reply is not valid
    kSocketIOErrorServerDisconnected = -2,  ///< the server sent "disconnect"
    kSocketIOErrorHeartbeatTimeout = -3,    ///< nothing came for the heartbeat timeout
    kSocketIOErrorWebSocketClosed = -4,     ///< the WebSocket closed
    kSocketIOErrorNoTransport = -5,         ///< neither "websocket" nor "xhr-polling" offered
    kSocketIOErrorHandshakeFailed = -6,     ///< the handshake connection failed
    kSocketIOErrorPollingFailed = -7,       ///< a polling request failed three times
    kSocketIOErrorHandshakeForbidden = -8,  ///< the handshake was refused with status 403
    /// A limit of `SocketIOLimits` was passed: a received packet or polling
    /// body too large, or too many packets or acknowledgements waiting. The
    /// session ends; the user information's "error" names the limit.
    kSocketIOErrorLimitExceeded = -9,
};

/// What a session holds at most, so that a server (or anyone on the path)
/// cannot make it grow without bound. Passing one ends the session with
/// `kSocketIOErrorLimitExceeded`, reported through `socketIO:onError:` and
/// the disconnect report.
struct SocketIOLimits {
    /// One received packet's text (a WebSocket message is one packet).
    std::size_t maxPacketBytes = std::size_t{16} << 20;
    /// One polling response's body, which may frame several packets.
    std::size_t maxPollingBodyBytes = std::size_t{16} << 20;
    /// Packets queued while the transport is not ready.
    std::size_t maxQueuedPackets = 10000;
    /// Callbacks waiting for their acknowledgement.
    std::size_t maxPendingAcknowledgements = 10000;
};

/// User-info keys of realtime errors: the underlying error of -6 and -8
/// (its description, domain and code), and the failure of -7.
inline constexpr const char* kSocketIOUnderlyingErrorKey = "underlyingError";
inline constexpr const char* kSocketIOUnderlyingErrorDomainKey = "underlyingErrorDomain";
inline constexpr const char* kSocketIOUnderlyingErrorCodeKey = "underlyingErrorCode";

/// What a transport reports to its session, and the session values it
/// reads. Every call happens on the main loop.
class SocketIOTransportDelegate {
public:
    virtual ~SocketIOTransportDelegate() = default;
    /// One packet's text arrived.
    virtual void onData(const std::string& packetText) = 0;
    /// The transport ended, with an error or none.
    virtual void onDisconnect(const OptionalError& error) = 0;
    /// An error that does not end the transport by itself.
    virtual void onError(const VornError& error) = 0;

    /// The session's host.
    virtual std::string host() const = 0;
    /// The session's port.
    virtual std::int64_t port() const = 0;
    /// The session id from the handshake; empty before it.
    virtual std::optional<std::string> sid() const = 0;
    /// Seconds.
    virtual double heartbeatTimeout() const = 0;
    /// Whether the session uses TLS ("wss"/"https").
    virtual bool useSecure() const = 0;
    /// The session's limits; transports bound what they receive by them.
    virtual SocketIOLimits limits() const { return {}; }
};

/// A way of carrying packet texts between a session and the server. A
/// transport holds its session weakly and is driven from the main loop.
class SocketIOTransport {
public:
    virtual ~SocketIOTransport() = default;
    /// Connects to the session's host, with its session id.
    virtual void open() = 0;
    /// Ends the connection.
    virtual void close() = 0;
    /// Whether packets can be sent now.
    virtual bool isReady() const = 0;
    /// Sends one packet's text.
    virtual void send(const std::string& packetText) = 0;
    /// Stops reporting to the session (which is going away or moving on).
    virtual void setDelegate(std::weak_ptr<SocketIOTransportDelegate> delegate) = 0;
};

/// The application's translations of the realtime errors' texts, by their
/// English text (the format "Server returned status code %d" included; its
/// translation keeps the "%d"). Replaces the previous table.
void SocketIOSetLocalizedStrings(std::map<std::string, std::string> strings);

/// "Server returned status code %d" for the status, after the application's
/// localized text for that format when it gave one.
std::string SocketIOStatusMessage(long statusCode);
/// An error of `kSocketIOErrorDomain` for an HTTP status of 400 or more.
VornError SocketIOStatusError(long statusCode);
/// Milliseconds since the epoch, the "t" query parameter that keeps
/// caches from answering a handshake or a poll.
std::string SocketIOMillisecondsNow();

}  // namespace vorn
