#pragma once

// One keep-alive HTTP connection: read a request, let the router answer it,
// write the response, repeat. Lives on the server's io_context thread.

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "console/RequestLog.h"
#include "vorn_emulator/ErrorCodes.h"
#include "vorn_emulator/Faults.h"
#include "vorn_emulator/Router.h"

namespace vorn::emulator {

class FaultInjector;
class RequestLog;
class Router;
class HttpSession;

// What the sessions share with the server.
struct ServerCore {
    Router& router;
    bool verbose = false;
    std::size_t bodyLimit = 0;
    FaultInjector* faults = nullptr;               // may be null: no fault injection
    std::chrono::milliseconds readTimeout{30000};  // see Options::readTimeout
    std::chrono::milliseconds idleTimeout{60000};  // see Options::idleTimeout
    std::unordered_set<HttpSession*> sessions;     // open connections, closed on stop
    std::size_t openConnections = 0;   // sessions not closed yet (a closed one may linger until its handlers end)
    RequestLog* requestLog = nullptr;  // may be null: answered requests are not kept
    // Behind TLS (tls/TlsFront.h) the sessions' connections come from the
    // relay: requests are marked secure and name the public port as theirs.
    bool secure = false;
    unsigned short publicPort = 0;

    void log(std::string_view line) const;
};

class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(boost::asio::ip::tcp::socket socket, ServerCore& core);
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    void start();
    // Closes the socket; pending operations finish with operation_aborted.
    void close();
    // Ends the connection when the server stops: at once while it waits for
    // a request, else once the answer of the call in progress is written.
    void finish();
    bool closed() const { return closed_; }

private:
    using error_code = boost::system::error_code;

    // The read limit: armed while a request is awaited or arriving, disarmed
    // once it is complete. On expiry the pending read is cancelled and its
    // handler sees timedOut_.
    void armReadTimer(std::chrono::milliseconds limit);
    void disarmReadTimer();
    void onReadTimeout();
    // After a response: waits for the next request under the idle limit.
    void awaitNextRequest();
    void onReadable(error_code ec);
    void readHeader();
    void onHeader(error_code ec);
    void readBody();
    void onBody(error_code ec);
    // What answering a request needs once its response is made.
    struct Pending {
        std::string method;
        std::string target;
        unsigned version = 11;
        bool keepAlive = true;
        std::optional<Fault> fault;
        std::chrono::steady_clock::time_point started;
        RequestLogEntry described;  // what the call was, for the request log (summarize())
    };
    void handle();
    // Keeps the answer (status 0: dropped) in the request log.
    void note(const Pending& pending, unsigned status, int code, std::size_t replyBytes = 0) const;
    void respond(HttpResponse reply, const Pending& pending);
    void onWrite(bool close, error_code ec);
    void onReadError(error_code ec);
    void replyAndClose(unsigned status, ErrorCode code, std::string_view message);
    void send();
    void drainAndClose();
    void onDrain(error_code ec, std::size_t bytes);

    boost::asio::ip::tcp::socket socket_;
    ServerCore& core_;
    boost::beast::flat_buffer buffer_;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
    boost::beast::http::response<boost::beast::http::empty_body> continue_;
    boost::beast::http::response<boost::beast::http::string_body> response_;
    boost::asio::steady_timer lingerTimer_;
    boost::asio::steady_timer delayTimer_;  // injected answer delays
    boost::asio::steady_timer readTimer_;   // read and idle limits
    unsigned readTimerGeneration_ = 0;      // a stale expiry (disarmed meanwhile) is ignored
    bool timedOut_ = false;
    std::string localEndpoint_;  // see Request::localEndpoint
    std::string remoteAddress_;
    std::size_t drained_ = 0;
    bool closed_ = false;
    bool busy_ = false;       // a request is being answered
    bool finishing_ = false;  // see finish()
};

}  // namespace vorn::emulator
