#include "BeastEchoServer.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <atomic>
#include <thread>
#include <type_traits>

namespace vorn::test {

namespace {

template <typename Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
public:
    template <typename... Args>
    explicit Session(BeastEchoServer::Mode mode, std::atomic<int>& cleanCloses, Args&&... args)
        : mode_(mode), cleanCloses_(cleanCloses), ws_(std::forward<Args>(args)...) {
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
            if (error) return;
            if (self->mode_ == BeastEchoServer::Mode::Echo) {
                self->read();
            } else {
                self->closeDuringFirstMessage();
            }
        });
    }

    void closeDuringFirstMessage() {
        auto self = this->shared_from_this();
        ws_.async_read_some(buffer_.prepare(1), [self](const boost::system::error_code& error, std::size_t) {
            if (error) return;
            self->ws_.async_close(boost::beast::websocket::close_code::normal,
                                  [self](const boost::system::error_code& closeError) {
                if (!closeError) ++self->cleanCloses_;
            });
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

    BeastEchoServer::Mode mode_;
    std::atomic<int>& cleanCloses_;
    boost::beast::websocket::stream<Stream> ws_;
    boost::beast::flat_buffer buffer_;
};

}  // namespace

struct BeastEchoServer::Impl {
    boost::asio::io_context io{1};
    boost::asio::ip::tcp::acceptor acceptor{io, {boost::asio::ip::make_address("127.0.0.1"), 0}};
    std::optional<boost::asio::ssl::context> tlsContext;
    std::uint16_t port = 0;
    std::atomic<int> connections{0};
    std::atomic<int> cleanCloses{0};
    BeastEchoServer::Mode mode = BeastEchoServer::Mode::Echo;
    std::thread thread;

    void accept() {
        acceptor.async_accept([this](const boost::system::error_code& error, boost::asio::ip::tcp::socket socket) {
            if (error) return;
            ++connections;
            socket.set_option(boost::asio::ip::tcp::no_delay(true));
            if (tlsContext) {
                std::make_shared<Session<boost::asio::ssl::stream<boost::asio::ip::tcp::socket>>>(
                    mode, cleanCloses, std::move(socket), *tlsContext)
                    ->start(true);
            } else {
                std::make_shared<Session<boost::asio::ip::tcp::socket>>(mode, cleanCloses, std::move(socket))
                    ->start(false);
            }
            accept();
        });
    }
};

BeastEchoServer::BeastEchoServer(std::optional<Tls> tls, Mode mode) : impl_(std::make_unique<Impl>()) {
    impl_->mode = mode;
    if (tls) {
        impl_->tlsContext.emplace(boost::asio::ssl::context::tls_server);
        impl_->tlsContext->use_certificate_chain(boost::asio::buffer(tls->certificatePem));
        impl_->tlsContext->use_private_key(boost::asio::buffer(tls->privateKeyPem), boost::asio::ssl::context::pem);
    }
    impl_->port = impl_->acceptor.local_endpoint().port();
    impl_->accept();
    impl_->thread = std::thread([impl = impl_.get()] { impl->io.run(); });
}

BeastEchoServer::~BeastEchoServer() {
    impl_->io.stop();
    impl_->thread.join();
}

std::uint16_t BeastEchoServer::port() const {
    return impl_->port;
}

std::string BeastEchoServer::url(const std::string& path) const {
    return std::string(impl_->tlsContext ? "wss" : "ws") + "://127.0.0.1:" + std::to_string(impl_->port) + path;
}

int BeastEchoServer::connections() const {
    return impl_->connections.load();
}

int BeastEchoServer::cleanCloses() const {
    return impl_->cleanCloses.load();
}

}  // namespace vorn::test
