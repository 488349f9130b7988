#pragma once

// A WebSocket echo server on loopback built on Boost.Beast, plain or TLS:
// every message goes back with its own type. Used by the tests and by the
// benchmark.

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace vorn::test {

class BeastEchoServer {
public:
    struct Tls {
        std::string certificatePem;
        std::string privateKeyPem;
    };

    explicit BeastEchoServer(std::optional<Tls> tls = std::nullopt)
        : acceptor_(io_, {boost::asio::ip::make_address("127.0.0.1"), 0}) {
        if (tls) {
            tlsContext_.emplace(boost::asio::ssl::context::tls_server);
            tlsContext_->use_certificate_chain(boost::asio::buffer(tls->certificatePem));
            tlsContext_->use_private_key(boost::asio::buffer(tls->privateKeyPem), boost::asio::ssl::context::pem);
        }
        port_ = acceptor_.local_endpoint().port();
        accept();
        thread_ = std::thread([this] { io_.run(); });
    }

    ~BeastEchoServer() {
        io_.stop();
        thread_.join();
    }

    std::uint16_t port() const { return port_; }
    std::string url(const std::string& path = "/") const {
        return std::string(tlsContext_ ? "wss" : "ws") + "://127.0.0.1:" + std::to_string(port_) + path;
    }
    int connections() const { return connections_.load(); }

private:
    template <typename Stream>
    class Session : public std::enable_shared_from_this<Session<Stream>> {
    public:
        template <typename... Args>
        explicit Session(Args&&... args) : ws_(std::forward<Args>(args)...) {
            ws_.auto_fragment(false);
            ws_.read_message_max(64u << 20);
        }

        void start(bool tls) {
            auto self = this->shared_from_this();
            if constexpr (!std::is_same_v<Stream, boost::asio::ip::tcp::socket>) {
                if (tls) {
                    ws_.next_layer().async_handshake(boost::asio::ssl::stream_base::server,
                                                     [self](const boost::system::error_code& error) {
                                                         if (!error) self->acceptUpgrade();
                                                     });
                    return;
                }
            }
            acceptUpgrade();
        }

    private:
        void acceptUpgrade() {
            auto self = this->shared_from_this();
            ws_.async_accept([self](const boost::system::error_code& error) {
                if (!error) self->read();
            });
        }

        void read() {
            auto self = this->shared_from_this();
            ws_.async_read(buffer_, [self](const boost::system::error_code& error, std::size_t) {
                if (error) return;
                self->ws_.text(self->ws_.got_text());
                self->ws_.async_write(self->buffer_.data(), [self](const boost::system::error_code& error, std::size_t) {
                    if (error) return;
                    self->buffer_.consume(self->buffer_.size());
                    self->read();
                });
            });
        }

        boost::beast::websocket::stream<Stream> ws_;
        boost::beast::flat_buffer buffer_;
    };

    void accept() {
        acceptor_.async_accept([this](const boost::system::error_code& error, boost::asio::ip::tcp::socket socket) {
            if (error) return;
            ++connections_;
            socket.set_option(boost::asio::ip::tcp::no_delay(true));
            if (tlsContext_) {
                std::make_shared<Session<boost::asio::ssl::stream<boost::asio::ip::tcp::socket>>>(std::move(socket),
                                                                                                 *tlsContext_)
                    ->start(true);
            } else {
                std::make_shared<Session<boost::asio::ip::tcp::socket>>(std::move(socket))->start(false);
            }
            accept();
        });
    }

    boost::asio::io_context io_{1};
    boost::asio::ip::tcp::acceptor acceptor_;
    std::optional<boost::asio::ssl::context> tlsContext_;
    std::uint16_t port_ = 0;
    std::atomic<int> connections_{0};
    std::thread thread_;
};

}  // namespace vorn::test
