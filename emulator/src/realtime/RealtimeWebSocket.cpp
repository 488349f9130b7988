#include "RealtimeWebSocket.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/websocket/error.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <boost/beast/websocket/stream_base.hpp>

#include <chrono>

#include "RealtimeCore.h"
#include "RealtimeSession.h"

namespace vorn::emulator::realtime {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;

namespace {

constexpr auto kHandshakeTimeout = std::chrono::seconds(30);
constexpr auto kFinishTime = std::chrono::seconds(5);

}  // namespace

RealtimeWebSocket::RealtimeWebSocket(net::ip::tcp::socket socket, RealtimeCore& core,
                                     std::shared_ptr<RealtimeSession> session)
    : ws_(std::move(socket)), core_(core), session_(std::move(session)), lingerTimer_(ws_.get_executor()) {
    core_.webSockets.insert(this);
}

RealtimeWebSocket::~RealtimeWebSocket() {
    core_.webSockets.erase(this);
}

void RealtimeWebSocket::accept(beast::http::request<beast::http::string_body> request) {
    request_ = std::move(request);
    websocket::stream_base::timeout timeout{};
    timeout.handshake_timeout = kHandshakeTimeout;
    timeout.idle_timeout = websocket::stream_base::none();
    timeout.keep_alive_pings = false;
    ws_.set_option(timeout);
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& response) { response.set(beast::http::field::server, "vorn-emulator"); }));
    ws_.read_message_max(core_.options().maxPacketBytes);
    ws_.async_accept(request_, [self = shared_from_this()](error_code ec) { self->onAccept(ec); });
}

void RealtimeWebSocket::onAccept(error_code ec) {
    if (dead_) return;
    if (ec) {
        if (core_.verbose()) core_.log(session_->sid() + " WebSocket upgrade failed: " + ec.message());
        abort();
        return session_->end("WebSocket upgrade failed");
    }
    open_ = true;
    read();
    if (session_->ended()) return finish();  // disconnected during the upgrade
    session_->openWebSocket(shared_from_this());
}

void RealtimeWebSocket::read() {
    ws_.async_read(buffer_, [self = shared_from_this()](error_code ec, std::size_t) { self->onRead(ec); });
}

void RealtimeWebSocket::onRead(error_code ec) {
    if (dead_) return;
    if (ec) {
        if (core_.verbose()) core_.log(session_->sid() + " WebSocket read ended: " + ec.message());
        if (ec == websocket::error::message_too_big) {
            // Closed with 1009 by the stream already.
            abort();
            return session_->end("message over " + std::to_string(core_.options().maxPacketBytes) + " bytes");
        }
        abort();
        return session_->end("WebSocket closed");
    }
    const bool text = ws_.got_text();
    std::string message = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    if (text) {
        session_->receive(message);
    } else if (core_.verbose()) {
        core_.log(session_->sid() + " ignored a binary message");
    }
    if (!dead_) read();
}

void RealtimeWebSocket::pump() {
    if (!open_ || dead_ || writePending_ || closeSent_) return;
    auto next = session_->takeNext();
    if (!next) {
        if (finishing_) closeNormally();
        return;
    }
    writing_ = std::move(*next);
    writePending_ = true;
    ws_.text(true);
    ws_.async_write(net::buffer(writing_),
                    [self = shared_from_this()](error_code ec, std::size_t) { self->onWrite(ec); });
}

void RealtimeWebSocket::onWrite(error_code ec) {
    writePending_ = false;
    session_->written(writing_.size());
    writing_.clear();
    if (dead_) return;
    if (ec) {
        abort();
        return session_->end("WebSocket write failed");
    }
    pump();
}

void RealtimeWebSocket::finish() {
    if (dead_ || finishing_) return;
    if (core_.silent) return abort();
    finishing_ = true;
    lingerTimer_.expires_after(kFinishTime);
    lingerTimer_.async_wait([self = shared_from_this()](error_code ec) {
        if (!ec) self->abort();
    });
    pump();
}

void RealtimeWebSocket::closeNormally() {
    closeSent_ = true;
    ws_.async_close(websocket::close_code::normal, [self = shared_from_this()](error_code) {
        // The pending read ends once the peer's close frame came.
        self->lingerTimer_.cancel();
        self->dead_ = true;
        error_code ignored;
        beast::get_lowest_layer(self->ws_).close(ignored);
    });
}

void RealtimeWebSocket::abort() {
    if (dead_) return;
    dead_ = true;
    lingerTimer_.cancel();
    error_code ignored;
    beast::get_lowest_layer(ws_).close(ignored);
}

}  // namespace vorn::emulator::realtime
