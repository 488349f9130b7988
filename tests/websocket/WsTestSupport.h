#pragma once

#include "vorn/websocket/vSRWebSocket.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vorn::test {

using namespace std::chrono_literals;

/// A frame as the peer read it off the wire.
struct WireFrame {
    bool fin = false;
    std::uint8_t rsv = 0;
    std::uint8_t opcode = 0;
    bool masked = false;
    std::uint8_t lengthField = 0;
    std::size_t headerLength = 0;  // bytes before the mask key
    std::string payload;           // unmasked

    /// The close code of a close frame (0 when it has none).
    int closeCode() const;
    std::string closeReason() const;
};

/// The server side of one accepted connection: blocking reads and writes
/// with deadlines, for scripts that write arbitrary bytes.
class RawPeer {
public:
    explicit RawPeer(int fd) : fd_(fd) {}
    ~RawPeer();
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    /// The bytes up to and including the first "\r\n\r\n" ("" on timeout or end).
    std::string readRequest(std::chrono::milliseconds timeout = 10s);
    void write(std::string_view bytes);
    /// Writes one byte at a time, each in its own segment.
    void writeInPieces(std::string_view bytes, std::size_t pieceSize = 1);
    /// The next client frame; empty at the end of the stream or on timeout.
    std::optional<WireFrame> readFrame(std::chrono::milliseconds timeout = 10s);
    /// Everything until the client ends the stream; empty optional on timeout.
    std::optional<std::string> readUntilEnd(std::chrono::milliseconds timeout = 10s);
    void shutdownSend();
    void close();

private:
    bool readExact(std::string& out, std::size_t count, std::chrono::steady_clock::time_point deadline);

    int fd_;
    std::string pending_;
};

/// A loopback TCP server that accepts one connection and runs a script on it
/// in its own thread; the connection is closed when the script returns.
class RawServer {
public:
    using Script = std::function<void(RawPeer& peer)>;

    explicit RawServer(Script script);
    ~RawServer();

    std::uint16_t port() const { return port_; }
    std::string url(const std::string& path = "/") const;
    /// The script has returned (or no connection came within the deadline).
    bool finished() const { return finished_.load(std::memory_order_acquire); }

private:
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> finished_{false};
};

/// The 101 answer to a handshake request, with the right accept key unless
/// one is given, and any extra header lines ("Name: value\r\n").
std::string handshakeResponse(const std::string& request, const std::string& extraHeaders = "", int status = 101,
                              std::optional<std::string> accept = std::nullopt);
/// A header field of a request ("" when absent; names without case).
std::string headerValue(const std::string& request, const std::string& name);
/// The names of the request's header fields, in order.
std::vector<std::string> headerNames(const std::string& request);

/// Reads frames until the client's close frame (or the end); the caller then
/// ends the connection.
void awaitClose(RawPeer& peer);

/// A server frame: `firstByte` holds FIN, RSV and opcode; the length is
/// encoded in the shortest form unless `lengthField` forces 126 or 127.
std::string rawFrame(std::uint8_t firstByte, std::string_view payload, bool masked = false,
                     std::optional<std::uint8_t> lengthField = std::nullopt);
std::string frame(std::uint8_t opcode, std::string_view payload, bool fin = true);
std::string closeFrame(int code, std::string_view reason = "");

/// Records the listener calls, on the main loop.
class RecordingDelegate : public SRWebSocketDelegate {
public:
    using SRWebSocketDelegate::webSocket;

    struct Close {
        std::int32_t code = 0;
        std::optional<std::string> reason;
        bool wasClean = false;
    };

    void webSocket(const std::shared_ptr<vSRWebSocket>& socket, SRMessage message) override;
    void webSocketDidOpen(const std::shared_ptr<vSRWebSocket>& socket) override;
    void webSocket(const std::shared_ptr<vSRWebSocket>& socket, const VornError& error) override;
    void webSocket(const std::shared_ptr<vSRWebSocket>& socket, std::int32_t code,
                   const std::optional<std::string>& reason, bool wasClean) override;

    bool ended() const { return error.has_value() || closed.has_value(); }

    int opens = 0;
    std::vector<SRMessage> messages;
    std::optional<VornError> error;
    std::optional<Close> closed;
    std::vector<std::string> order;  // "open", "message", "fail", "close"
    std::function<void(const std::shared_ptr<vSRWebSocket>&, const SRMessage&)> onMessage;
    std::function<void(const std::shared_ptr<vSRWebSocket>&)> onOpen;
};

/// A socket for the URL with a recording listener.
struct Client {
    std::shared_ptr<vSRWebSocket> socket;
    std::shared_ptr<RecordingDelegate> delegate;
};
Client makeClient(const std::string& url, vSRWebSocket::Protocols protocols = std::nullopt);
Client makeClient(const SRURLRequest& request, vSRWebSocket::Protocols protocols = std::nullopt);

/// A self-signed certificate (EC P-256) made at test time.
struct TestCertificate {
    std::string certificatePem;
    std::string privateKeyPem;
    SRCertificateData der;
};
TestCertificate makeCertificate(const std::string& subjectAltNames = "IP:127.0.0.1,DNS:localhost");

/// Writes text to a fresh file in the temporary directory; returns its path.
std::string writeTemporaryFile(const std::string& contents);

std::string textOf(const SRMessage& message);
bool isText(const SRMessage& message);

}  // namespace vorn::test
