#include "RealtimeHttpConnection.h"

#include <boost/asio/error.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <chrono>
#include <string>

#include "RealtimeCore.h"
#include "RealtimeSession.h"
#include "RealtimeWebSocket.h"

namespace vorn::emulator::realtime {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

namespace {

constexpr std::size_t kHeaderLimit = std::size_t{64} * 1024;
constexpr auto kReadTimeout = std::chrono::seconds(30);
// After a response that ends the connection the rest of the request is read
// and dropped for a while, so that closing with unread input (a reset) does
// not destroy the response before the client reads it.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr std::size_t kLingerBytes = std::size_t{16} * 1024 * 1024;
constexpr std::string_view kContentType = "text/plain; charset=UTF-8";
constexpr std::string_view kBase = "/socket.io/1";

bool hasDisconnect(std::string_view query) {
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view param = query.substr(0, amp);
        if (param.substr(0, param.find('=')) == "disconnect") return true;
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return false;
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        if (!text.empty()) text += ',';
        text += item;
    }
    return text;
}

}  // namespace

RealtimeHttpConnection::RealtimeHttpConnection(net::ip::tcp::socket socket, RealtimeCore& core)
    : socket_(std::move(socket)), core_(core), timer_(socket_.get_executor()) {
    core_.connections.insert(this);
}

RealtimeHttpConnection::~RealtimeHttpConnection() {
    if (!closed_) core_.connections.erase(this);
}

void RealtimeHttpConnection::start() {
    readRequest();
}

void RealtimeHttpConnection::close() {
    if (closed_) return;
    closed_ = true;
    core_.connections.erase(this);
    disarmReadTimer();
    if (heldFor_) {
        const auto session = std::move(heldFor_);
        heldFor_.reset();
        session->pollGone(this);
    }
    error_code ignored;
    socket_.shutdown(net::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    pollLeft();
}

void RealtimeHttpConnection::pollLeft() {
    if (auto written = std::move(pollWritten_)) {
        pollWritten_ = nullptr;
        written();
    }
}

void RealtimeHttpConnection::armReadTimer() {
    timedOut_ = false;
    const unsigned generation = ++timerGeneration_;
    timer_.expires_after(kReadTimeout);
    timer_.async_wait([self = shared_from_this(), generation](error_code ec) {
        if (ec || generation != self->timerGeneration_ || self->closed_) return;
        self->timedOut_ = true;
        error_code ignored;
        self->socket_.cancel(ignored);
    });
}

void RealtimeHttpConnection::disarmReadTimer() {
    ++timerGeneration_;
    timer_.cancel();
}

void RealtimeHttpConnection::readRequest() {
    if (closed_) return;
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(core_.options().maxPacketBytes);
    armReadTimer();
    http::async_read(socket_, buffer_, *parser_,
                     [self = shared_from_this()](error_code ec, std::size_t) { self->onRead(ec); });
}

void RealtimeHttpConnection::onRead(error_code ec) {
    if (closed_) return;
    if (timedOut_) {
        if (core_.verbose()) core_.log("connection closed: no request within the time limit");
        return close();
    }
    disarmReadTimer();
    if (ec) {
        keepAlive_ = false;
        if (ec == http::error::body_limit) {
            return respond(
                413, "body too large: the limit is " + std::to_string(core_.options().maxPacketBytes) + " bytes\n");
        }
        if (ec == http::error::header_limit) return respond(431, "request header too large\n");
        if (ec.category() == http::make_error_code(http::error::bad_method).category() &&
            ec != http::error::end_of_stream && ec != http::error::partial_message) {
            return respond(400, "malformed HTTP request: " + ec.message() + "\n");
        }
        return close();
    }
    request_ = parser_->release();
    parser_.reset();
    keepAlive_ = request_.keep_alive();
    version_ = request_.version();
    route();
}

void RealtimeHttpConnection::route() {
    const std::string_view target(request_.target().data(), request_.target().size());
    const std::size_t mark = target.find('?');
    std::string_view path = target.substr(0, mark);
    const std::string_view query = mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
    if (core_.verbose()) core_.log(std::string(request_.method_string()) + " " + std::string(target));

    if (path == kBase || path == std::string(kBase) + "/") {
        if (request_.method() != http::verb::get) return respond(405, "method not allowed\n", "GET");
        return handshake();
    }
    if (path.substr(0, kBase.size() + 1) != std::string(kBase) + "/") return respond(404, "not found\n");
    path.remove_prefix(kBase.size() + 1);
    if (!path.empty() && path.back() == '/') path.remove_suffix(1);
    const std::size_t slash = path.find('/');
    if (slash == std::string_view::npos) return respond(404, "not found\n");
    const std::string_view transport = path.substr(0, slash);
    const std::string sid(path.substr(slash + 1));
    // "?disconnect" ends a session on either transport path, whichever
    // transports are offered (clients send it on the polling path).
    const bool known = transport == "websocket" || transport == "xhr-polling";
    if (!known || (!core_.serves(transport) && !hasDisconnect(query))) {
        return respond(404, "transport not served\n");
    }
    if (sid.empty() || sid.find('/') != std::string::npos) return respond(404, "not found\n");
    transportRequest(transport, sid, query);
}

void RealtimeHttpConnection::handshake() {
    const auto session = core_.createSession();
    if (!session) {
        return respond(503, "too many sessions: the limit is " + std::to_string(core_.options().maxSessions) + "\n");
    }
    session->start();
    const auto& options = core_.options();
    respond(200, session->sid() + ":" + secondsText(options.heartbeatTimeout) + ":" +
                     secondsText(options.closeTimeout) + ":" + joined(options.transports));
}

void RealtimeHttpConnection::transportRequest(std::string_view transport, const std::string& sid,
                                              std::string_view query) {
    const auto session = core_.find(sid);
    if (!session) {
        // A poll that comes just after its session ended (between two GETs)
        // learns of the end instead of a refusal.
        if (transport == "xhr-polling" && !hasDisconnect(query) && request_.method() == http::verb::get &&
            core_.recentlyEnded(sid)) {
            return respond(200, "0::");
        }
        return respond(404, "unknown session\n");
    }
    if (hasDisconnect(query)) {
        session->end("disconnect requested");
        return respond(200, "");
    }
    const auto current = session->transport();
    if (transport == "websocket") {
        if (!beast::websocket::is_upgrade(request_)) return respond(400, "a WebSocket upgrade is expected\n");
        if (current != RealtimeSession::Transport::None) return respond(409, "the session is open already\n");
        return upgrade(session);
    }
    if (current == RealtimeSession::Transport::WebSocket) return respond(409, "the session is on a WebSocket\n");
    if (request_.method() == http::verb::get) return hold(session);
    if (request_.method() == http::verb::post) {
        session->post(request_.body());
        return respond(200, "1");
    }
    respond(405, "method not allowed\n", "GET, POST");
}

void RealtimeHttpConnection::upgrade(const std::shared_ptr<RealtimeSession>& session) {
    session->claimWebSocket();
    closed_ = true;  // the socket moves on
    core_.connections.erase(this);
    disarmReadTimer();
    auto socket = std::make_shared<RealtimeWebSocket>(std::move(socket_), core_, session);
    socket->accept(std::move(request_));
}

void RealtimeHttpConnection::hold(const std::shared_ptr<RealtimeSession>& session) {
    heldFor_ = session;
    ++holdGeneration_;
    session->poll(shared_from_this());
    if (heldFor_) watchHeld();  // not answered at once
}

void RealtimeHttpConnection::watchHeld() {
    // A client that gives up on the GET closes the connection: then the
    // session no longer counts it as held.
    socket_.async_wait(net::ip::tcp::socket::wait_read,
                       [self = shared_from_this(), generation = holdGeneration_](error_code ec) {
        if (self->closed_ || !self->heldFor_ || generation != self->holdGeneration_) return;
        error_code availableError;
        if (ec || self->socket_.available(availableError) == 0 || availableError) self->close();
        // Otherwise a request was pipelined behind the GET; it is read after the answer.
    });
}

void RealtimeHttpConnection::answerPoll(const std::string& body, std::function<void()> written) {
    if (closed_ || !heldFor_) {
        if (written) written();
        return;
    }
    heldFor_.reset();
    ++holdGeneration_;
    error_code ignored;
    socket_.cancel(ignored);  // the watch
    pollWritten_ = std::move(written);
    const unsigned generation = ++timerGeneration_;
    // A poll's answer must be taken by the client within the write limit: a
    // peer that stops reading cannot hold the connection and the session's
    // bytes for ever.
    timer_.expires_after(core_.options().pollWriteTimeout);
    timer_.async_wait([self = shared_from_this(), generation](error_code ec) {
        if (ec || generation != self->timerGeneration_ || !self->pollWritten_) return;
        // Closed with a reset: what the kernel still holds for a peer that
        // stopped reading is dropped instead of queued on after the close.
        error_code ignored;
        self->socket_.set_option(net::socket_base::linger(true, 0), ignored);
        self->close();
    });
    respond(200, body);
}

void RealtimeHttpConnection::dropPoll() {
    heldFor_.reset();
    close();
}

void RealtimeHttpConnection::respond(unsigned status, std::string body, std::string_view allow) {
    if (closed_) return;
    if (core_.verbose() && status != 200) core_.log("HTTP " + std::to_string(status) + " " + body);
    response_ = {};
    response_.result(status);
    response_.version(version_);
    response_.set(http::field::server, "vorn-emulator");
    response_.set(http::field::content_type, beast::string_view(kContentType.data(), kContentType.size()));
    response_.set(http::field::cache_control, "no-cache");
    if (!allow.empty()) response_.set(http::field::allow, beast::string_view(allow.data(), allow.size()));
    response_.body() = std::move(body);
    response_.keep_alive(keepAlive_);
    response_.prepare_payload();
    const bool closeAfter = response_.need_eof();
    http::async_write(socket_, response_, [self = shared_from_this(), closeAfter](error_code ec, std::size_t) {
        self->onWritten(closeAfter, ec);
    });
}

void RealtimeHttpConnection::onWritten(bool closeAfter, error_code ec) {
    if (pollWritten_) {
        ++timerGeneration_;  // the write limit
        pollLeft();
    }
    if (closed_) return;
    if (ec) return close();
    if (closeAfter) return lingerAndClose();
    readRequest();
}

void RealtimeHttpConnection::lingerAndClose() {
    error_code ignored;
    socket_.shutdown(net::ip::tcp::socket::shutdown_send, ignored);
    buffer_.clear();
    const unsigned generation = ++timerGeneration_;
    timer_.expires_after(kLingerTime);
    timer_.async_wait([self = shared_from_this(), generation](error_code ec) {
        if (!ec && generation == self->timerGeneration_) self->close();
    });
    onLinger({}, 0);
}

void RealtimeHttpConnection::onLinger(error_code ec, std::size_t bytes) {
    lingered_ += bytes;
    if (ec || closed_ || lingered_ > kLingerBytes) return close();
    buffer_.consume(buffer_.size());
    socket_.async_read_some(buffer_.prepare(std::size_t{64} * 1024),
                            [self = shared_from_this()](error_code readError, std::size_t n) {
        self->buffer_.commit(n);
        self->onLinger(readError, n);
    });
}

}  // namespace vorn::emulator::realtime
