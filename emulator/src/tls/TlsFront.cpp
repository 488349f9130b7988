#include "tls/TlsFront.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <memory>
#include <stdexcept>

namespace vorn::emulator {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

// One TLS connection and its plain twin to the private listener. Each
// direction reads a chunk and writes it whole before reading the next, so a
// side that does not take its bytes holds the other back (and the server's
// own limits see it). The end of the client's bytes is passed on as the end
// of the twin's; the twin's end, or any failure, closes both.
class TlsRelay : public std::enable_shared_from_this<TlsRelay> {
public:
    TlsRelay(std::shared_ptr<TlsFront::Shared> shared, net::io_context& ioc, tcp::socket socket)
        : shared_(std::move(shared)), outer_(std::move(socket), shared_->context), inner_(ioc), timer_(ioc) {
        shared_->relays.insert(this);
    }
    ~TlsRelay() { shared_->relays.erase(this); }
    TlsRelay(const TlsRelay&) = delete;
    TlsRelay& operator=(const TlsRelay&) = delete;

    void start() {
        timer_.expires_after(shared_->limits.handshake);
        timer_.async_wait([weak = weak_from_this()](error_code ec) {
            if (ec) return;
            if (auto self = weak.lock()) self->close();
        });
        outer_.async_handshake(ssl::stream_base::server, [self = shared_from_this()](error_code ec) {
            self->timer_.cancel();
            if (ec || self->closed_) return self->close();
            self->handshakeDone_ = true;
            self->inner_.async_connect(self->shared_->inner, [self](error_code connectError) {
                if (connectError || self->closed_) return self->close();
                error_code ignored;
                self->inner_.set_option(tcp::no_delay(true), ignored);
                self->up();
                self->down();
            });
        });
    }

    bool handshaking() const { return !handshakeDone_; }

    void close() {
        if (closed_) return;
        closed_ = true;
        error_code ignored;
        timer_.cancel();
        outer_.lowest_layer().shutdown(tcp::socket::shutdown_both, ignored);
        outer_.lowest_layer().close(ignored);
        inner_.shutdown(tcp::socket::shutdown_both, ignored);
        inner_.close(ignored);
    }

private:
    static constexpr std::size_t kChunk = std::size_t{16} * 1024;

    // Client to server.
    void up() {
        outer_.async_read_some(net::buffer(upBytes_), [self = shared_from_this()](error_code ec, std::size_t n) {
            if (self->closed_) return;
            if (ec) {
                // The client is done sending (close_notify, or its socket
                // closed): the server sees the end and answers what is left.
                error_code ignored;
                const bool ended = ec == net::error::eof || ec == ssl::error::stream_truncated;
                if (!ended) return self->close();
                self->inner_.shutdown(tcp::socket::shutdown_send, ignored);
                return;
            }
            net::async_write(self->inner_, net::buffer(self->upBytes_.data(), n),
                             [self](error_code writeError, std::size_t) {
                if (writeError || self->closed_) return self->close();
                self->up();
            });
        });
    }

    // Server to client.
    void down() {
        inner_.async_read_some(net::buffer(downBytes_), [self = shared_from_this()](error_code ec, std::size_t n) {
            if (ec || self->closed_) return self->close();
            net::async_write(self->outer_, net::buffer(self->downBytes_.data(), n),
                             [self](error_code writeError, std::size_t) {
                if (writeError || self->closed_) return self->close();
                self->down();
            });
        });
    }

    std::shared_ptr<TlsFront::Shared> shared_;
    ssl::stream<tcp::socket> outer_;
    tcp::socket inner_;
    net::steady_timer timer_;
    std::array<char, kChunk> upBytes_{};
    std::array<char, kChunk> downBytes_{};
    bool handshakeDone_ = false;
    bool closed_ = false;
};

namespace {

ssl::context serverContext(const TlsIdentity& identity) {
    ssl::context context(ssl::context::tls_server);
    context.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                        ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
    error_code ec;
    context.use_certificate_chain(net::buffer(identity.certificatePem), ec);
    if (ec) throw std::runtime_error("cannot use the TLS certificate: " + ec.message());
    context.use_private_key(net::buffer(identity.privateKeyPem), ssl::context::pem, ec);
    if (ec) throw std::runtime_error("cannot use the TLS key: " + ec.message());
    if (SSL_CTX_check_private_key(context.native_handle()) != 1) {
        throw std::runtime_error("the TLS key does not belong to the certificate");
    }
    return context;
}

}  // namespace

TlsFront::TlsFront(net::io_context& ioc, const TlsIdentity& identity, Limits limits, AcceptLoop::Hooks served)
    : ioc_(ioc),
      shared_(std::make_shared<Shared>(Shared{serverContext(identity), limits, {}, {}})),
      served_(std::move(served)),
      inner_(ioc, served_) {}

AcceptLoop::Hooks TlsFront::publicHooks() {
    AcceptLoop::Hooks hooks;
    hooks.atLimit = [this] { return shared_->relays.size() >= shared_->limits.connections; };
    hooks.serve = [this](tcp::socket socket) { std::make_shared<TlsRelay>(shared_, ioc_, std::move(socket))->start(); };
    hooks.refused = served_.refused;
    hooks.acceptFailed = served_.acceptFailed;
    return hooks;
}

void TlsFront::listen(const net::ip::address& address) {
    shared_->inner = tcp::endpoint(address, inner_.listen(address, 0));
}

void TlsFront::stopAccepting() {
    inner_.close();
    // Closing leaves the set as it is: a relay leaves it when it is destroyed.
    for (TlsRelay* relay : shared_->relays) {
        if (relay->handshaking()) relay->close();
    }
}

std::size_t TlsFront::openRelays() const {
    return shared_->relays.size();
}

void TlsFront::closeAll() {
    for (TlsRelay* relay : shared_->relays) relay->close();
}

}  // namespace vorn::emulator
