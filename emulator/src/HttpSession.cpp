#include "HttpSession.h"

#include "console/RequestLog.h"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include <chrono>
#include <cstdio>
#include <string>

#include "console/RequestLog.h"
#include "vorn_emulator/Faults.h"
#include "vorn_emulator/Router.h"

namespace vorn::emulator {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

namespace {

constexpr std::size_t kHeaderLimit = std::size_t{64} * 1024;
// After a response that ends the connection the rest of the request is read
// and dropped for a while, so that closing with unread input (which resets
// the connection) does not destroy the response before the client reads it.
constexpr auto kLingerTime = std::chrono::seconds(5);
constexpr std::size_t kLingerBytes = std::size_t{256} * 1024 * 1024;

}  // namespace

void ServerCore::log(std::string_view line) const {
    std::string text(line);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
}

HttpSession::HttpSession(net::ip::tcp::socket socket, ServerCore& core)
    : socket_(std::move(socket)),
      core_(core),
      lingerTimer_(socket_.get_executor()),
      delayTimer_(socket_.get_executor()),
      readTimer_(socket_.get_executor()) {
    core_.sessions.insert(this);
    ++core_.openConnections;
    error_code ec;
    const auto local = socket_.local_endpoint(ec);
    if (!ec) {
        const auto address = local.address();
        localEndpoint_ = (address.is_v6() ? "[" + address.to_string() + "]" : address.to_string()) + ":" +
                         std::to_string(core_.publicPort != 0 ? core_.publicPort : local.port());
    }
    const auto remote = socket_.remote_endpoint(ec);
    if (!ec) remoteAddress_ = remote.address().to_string();
}

HttpSession::~HttpSession() {
    if (!closed_) --core_.openConnections;
    core_.sessions.erase(this);
}

void HttpSession::start() {
    // The first request is due from the accept on: a connection that sends
    // nothing is held for the read limit, not the idle one.
    armReadTimer(core_.readTimeout);
    readHeader();
}

void HttpSession::close() {
    if (closed_) return;
    closed_ = true;
    --core_.openConnections;
    error_code ignored;
    lingerTimer_.cancel();
    delayTimer_.cancel();
    disarmReadTimer();
    socket_.shutdown(net::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
}

void HttpSession::finish() {
    finishing_ = true;
    if (!busy_) close();
}

void HttpSession::armReadTimer(std::chrono::milliseconds limit) {
    timedOut_ = false;
    const unsigned generation = ++readTimerGeneration_;
    readTimer_.expires_after(limit);
    readTimer_.async_wait([self = shared_from_this(), generation](error_code ec) {
        if (ec || generation != self->readTimerGeneration_ || self->closed_) return;
        self->timedOut_ = true;
        // The pending read (or wait) ends with operation_aborted; its handler
        // sees timedOut_. The socket itself stays open for the answer.
        error_code ignored;
        self->socket_.cancel(ignored);
    });
}

void HttpSession::disarmReadTimer() {
    ++readTimerGeneration_;
    readTimer_.cancel();
}

void HttpSession::onReadTimeout() {
    disarmReadTimer();
    if (closed_) return;
    const bool begun = (parser_ && parser_->got_some()) || buffer_.size() > 0;
    if (!begun) {
        if (core_.verbose) core_.log("- - connection closed: no request within the time limit");
        return close();
    }
    replyAndClose(408, ErrorCode::RequestTimeout,
                  "request not received in time: the limit is " + std::to_string(core_.readTimeout.count()) + " ms");
}

void HttpSession::awaitNextRequest() {
    busy_ = false;
    if (closed_) return;
    if (finishing_) return close();
    if (buffer_.size() > 0) {
        // A pipelined request has begun already.
        armReadTimer(core_.readTimeout);
        return readHeader();
    }
    armReadTimer(core_.idleTimeout);
    socket_.async_wait(net::ip::tcp::socket::wait_read,
                       [self = shared_from_this()](error_code ec) { self->onReadable(ec); });
}

void HttpSession::onReadable(error_code ec) {
    if (closed_) return;
    if (timedOut_) {
        // Idle: closed without an answer, as nothing was asked.
        disarmReadTimer();
        if (core_.verbose) core_.log("- - idle connection closed");
        return close();
    }
    if (ec) return onReadError(ec);
    // Bytes (or the end of the stream) are there: the request's own limit runs.
    armReadTimer(core_.readTimeout);
    readHeader();
}

void HttpSession::readHeader() {
    if (closed_) return;
    if (timedOut_) return onReadTimeout();
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(core_.bodyLimit);
    http::async_read_header(socket_, buffer_, *parser_,
                            [self = shared_from_this()](error_code ec, std::size_t) { self->onHeader(ec); });
}

void HttpSession::onHeader(error_code ec) {
    if (timedOut_) return onReadTimeout();
    if (ec) return onReadError(ec);
    const auto& request = parser_->get();
    const auto expect = request[http::field::expect];
    if (!parser_->is_done() && beast::iequals(expect, "100-continue")) {
        // The client waits for a go-ahead before it sends the body.
        continue_ = {};
        continue_.result(http::status::continue_);
        continue_.version(request.version());
        http::async_write(socket_, continue_, [self = shared_from_this()](error_code writeError, std::size_t) {
            if (writeError) return self->close();
            self->readBody();
        });
        return;
    }
    readBody();
}

void HttpSession::readBody() {
    if (closed_) return;
    if (timedOut_) return onReadTimeout();
    http::async_read(socket_, buffer_, *parser_,
                     [self = shared_from_this()](error_code ec, std::size_t) { self->onBody(ec); });
}

void HttpSession::onBody(error_code ec) {
    if (ec && timedOut_) return onReadTimeout();
    if (ec) return onReadError(ec);
    // Complete: preparing and writing the response is not limited.
    disarmReadTimer();
    handle();
}

void HttpSession::onReadError(error_code ec) {
    if (closed_ || ec == net::error::operation_aborted) return;
    disarmReadTimer();
    if (ec == http::error::end_of_stream || ec == net::error::eof || ec == net::error::connection_reset ||
        ec == http::error::partial_message) {
        return close();
    }
    if (ec == http::error::body_limit) {
        return replyAndClose(413, ErrorCode::BodyTooLarge,
                             "request body too large: the limit is " + std::to_string(core_.bodyLimit) + " bytes");
    }
    if (ec == http::error::header_limit) {
        return replyAndClose(431, ErrorCode::BodyTooLarge, "request header too large");
    }
    if (ec.category() == http::make_error_code(http::error::bad_method).category()) {
        return replyAndClose(400, ErrorCode::InvalidJson, "malformed HTTP request: " + ec.message());
    }
    close();
}

void HttpSession::replyAndClose(unsigned status, ErrorCode code, std::string_view message) {
    response_ = {};
    response_.result(status);
    response_.version(11);
    response_.set(http::field::server, "vorn-emulator");
    response_.set(http::field::content_type, "application/json");
    response_.body() = envelopeReplyBody(toInt(code), message);
    response_.keep_alive(false);
    response_.prepare_payload();
    if (core_.verbose) core_.log("- - " + std::to_string(toInt(code)) + " (" + std::string(message) + ")");
    send();
}

void HttpSession::handle() {
    busy_ = true;
    const auto started = std::chrono::steady_clock::now();
    auto message = parser_->release();
    parser_.reset();

    Request request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    for (const auto& field : message) request.headers.add(std::string(field.name_string()), std::string(field.value()));
    request.body = std::move(message.body());
    request.localEndpoint = localEndpoint_;
    request.secure = core_.secure;
    request.remoteAddress = remoteAddress_;

    auto logLine = [&](const std::string& outcome) {
        if (!core_.verbose) return;
        const auto micros =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count();
        core_.log(request.method + " " + request.target + " " + outcome + " " + std::to_string(micros) + "us");
    };

    RequestLogEntry described;
    if (core_.requestLog != nullptr && !RequestLog::ignored(request.target)) {
        described.target = request.target;
        summarize(described, request.body, request.headers.get("X-Vorn-Session-Token").has_value());
    }

    std::optional<Fault> fault;
    if (core_.faults != nullptr) {
        const std::string_view target = request.target;
        fault = core_.faults->take(target.substr(0, target.find('?')));
    }
    if (fault && fault->mode == FaultMode::Drop) {
        logLine("(fault: drop)");
        note(Pending{request.method, request.target, message.version(), false, fault, started, std::move(described)}, 0,
             0);
        return close();
    }

    HttpResponse reply;
    if (fault && fault->mode == FaultMode::Garbage) {
        reply.status = 200;
        reply.contentType = "text/html";
        reply.body = "<html><body>vorn-emulator: injected garbage, not JSON</body></html>";
    } else if (fault && fault->mode == FaultMode::Error) {
        reply.status = 200;
        reply.serviceCode = fault->code;
        const ErrorCodeInfo* info = findErrorCode(fault->code);
        reply.body = envelopeReplyBody(
            fault->code, std::string("injected fault") + (info ? ": " + std::string(info->message) : std::string()));
    } else {
        reply = core_.router.dispatch(request);
    }

    Pending pending{request.method, request.target, message.version(),   message.keep_alive(),
                    fault,          started,        std::move(described)};
    if (reply.deferred) {
        // The answer comes from another thread; it is written from this
        // connection's executor. The connection stays alive until then.
        auto deferred = std::move(reply.deferred);
        deferred([self = shared_from_this(), pending](HttpResponse later) mutable {
            net::post(self->socket_.get_executor(),
                      [self, pending = std::move(pending), later = std::move(later)]() mutable {
                self->respond(std::move(later), pending);
            });
        });
        return;
    }
    respond(std::move(reply), pending);
}

void HttpSession::respond(HttpResponse reply, const Pending& pending) {
    if (closed_) return;
    const auto& fault = pending.fault;
    auto logLine = [&](const std::string& outcome) {
        if (!core_.verbose) return;
        const auto micros =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - pending.started)
                .count();
        core_.log(pending.method + " " + pending.target + " " + outcome + " " + std::to_string(micros) + "us");
    };
    if (fault && fault->mode == FaultMode::DropAfter) {
        logLine("(fault: drop-after)");
        note(pending, 0, 0);
        return close();
    }

    response_ = {};
    response_.result(reply.status);
    response_.version(pending.version);
    response_.set(http::field::server, "vorn-emulator");
    response_.set(http::field::content_type, reply.contentType);
    for (auto& [name, value] : reply.headers) response_.set(name, value);
    const std::size_t bodySize = reply.body.size();
    response_.body() = std::move(reply.body);
    response_.keep_alive(pending.keepAlive && !finishing_);
    response_.prepare_payload();
    if (pending.method == "HEAD") {
        // The header of the GET answer, without its body.
        response_.body().clear();
        if (reply.status != 304 && reply.status != 204) response_.content_length(bodySize);
    }

    const int code = reply.serviceCode != 0 ? reply.serviceCode : static_cast<int>(reply.status);
    note(pending, reply.status, code, bodySize);
    if (fault)
        logLine(std::to_string(code) + " (fault: " + std::string(faultModeName(fault->mode)) + ")");
    else
        logLine(std::to_string(code));

    if (fault && fault->mode == FaultMode::Delay && fault->delay.count() > 0) {
        delayTimer_.expires_after(fault->delay);
        delayTimer_.async_wait([self = shared_from_this()](error_code ec) {
            if (!ec) self->send();
        });
        return;
    }
    send();
}

void HttpSession::note(const Pending& pending, unsigned status, int code, std::size_t replyBytes) const {
    if (core_.requestLog == nullptr || RequestLog::ignored(pending.target)) return;
    RequestLogEntry entry = pending.described;
    entry.atMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    entry.method = pending.method;
    entry.replyBytes = replyBytes;
    entry.status = status;
    entry.code = code;
    entry.micros =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - pending.started)
            .count();
    if (pending.fault) entry.fault = std::string(faultModeName(pending.fault->mode));
    entry.remote = remoteAddress_;
    core_.requestLog->record(std::move(entry));
}

void HttpSession::send() {
    if (closed_) return;
    const bool closeAfter = response_.need_eof();
    http::async_write(socket_, response_, [self = shared_from_this(), closeAfter](error_code ec, std::size_t) {
        self->onWrite(closeAfter, ec);
    });
}

void HttpSession::onWrite(bool closeAfter, error_code ec) {
    if (ec) return close();
    if (closeAfter) return drainAndClose();
    awaitNextRequest();
}

void HttpSession::drainAndClose() {
    error_code ignored;
    socket_.shutdown(net::ip::tcp::socket::shutdown_send, ignored);
    buffer_.clear();
    lingerTimer_.expires_after(kLingerTime);
    lingerTimer_.async_wait([self = shared_from_this()](error_code ec) {
        if (!ec) self->close();
    });
    onDrain({}, 0);
}

void HttpSession::onDrain(error_code ec, std::size_t bytes) {
    drained_ += bytes;
    if (ec || closed_ || drained_ > kLingerBytes) return close();
    buffer_.consume(buffer_.size());
    socket_.async_read_some(buffer_.prepare(std::size_t{64} * 1024),
                            [self = shared_from_this()](error_code readError, std::size_t n) {
        self->buffer_.commit(n);
        self->onDrain(readError, n);
    });
}

}  // namespace vorn::emulator
