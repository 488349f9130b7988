#pragma once

// A WebSocket echo server on loopback built on Boost.Beast, plain or TLS:
// every message goes back with its own type. Used by the tests and by the
// benchmark.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vorn::test {

class BeastEchoServer {
public:
    struct Tls {
        std::string certificatePem;
        std::string privateKeyPem;
    };

    /// What a session does once open: echo every message, or read the first
    /// bytes of the first message and then close (code 1000), reading what
    /// the client still sends until its close frame.
    enum class Mode { Echo, CloseDuringFirstMessage };

    explicit BeastEchoServer(std::optional<Tls> tls = std::nullopt, Mode mode = Mode::Echo);
    ~BeastEchoServer();
    BeastEchoServer(const BeastEchoServer&) = delete;
    BeastEchoServer& operator=(const BeastEchoServer&) = delete;

    std::uint16_t port() const;
    std::string url(const std::string& path = "/") const;
    int connections() const;
    /// Sessions whose closing handshake completed without error (the
    /// client's close frame arrived after everything it sent).
    int cleanCloses() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vorn::test
