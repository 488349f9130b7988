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

#include "vorn_emulator/ErrorCodes.h"
#include "vorn_emulator/Faults.h"
#include "vorn_emulator/Router.h"

namespace vorn::emulator {

class FaultInjector;
class Router;
class HttpSession;

// What the sessions share with the server.
struct ServerCore {
  Router& router;
  bool verbose = false;
  std::size_t bodyLimit = 0;
  FaultInjector* faults = nullptr;  // may be null: no fault injection
  std::unordered_set<HttpSession*> sessions;  // open connections, closed on stop

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

 private:
  using error_code = boost::system::error_code;

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
  };
  void handle();
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
  std::string localEndpoint_;  // see Request::localEndpoint
  std::string remoteAddress_;
  std::size_t drained_ = 0;
  bool closed_ = false;
};

}  // namespace vorn::emulator
