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

    explicit BeastEchoServer(std::optional<Tls> tls = std::nullopt);
    ~BeastEchoServer();
    BeastEchoServer(const BeastEchoServer&) = delete;
    BeastEchoServer& operator=(const BeastEchoServer&) = delete;

    std::uint16_t port() const;
    std::string url(const std::string& path = "/") const;
    int connections() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vorn::test
