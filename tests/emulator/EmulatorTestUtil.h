#pragma once

// Helpers for the emulator tests: a small HTTP/1.1 client over a real
// loopback socket whose every wait has a deadline, temporary folders, and
// envelope bodies.

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "vorn_emulator/Server.h"

namespace vorn::emulator::emutest {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Json = nlohmann::json;
using namespace std::chrono_literals;

inline constexpr auto kDeadline = 10s;

// A standard request envelope as the client library sends it.
inline Json envelope(Json data = nullptr) {
  return Json{{"client",
               {{"caller", "iOS"},
                {"ex", {{"latitude", 0}, {"longitude", 0}, {"uuid", "test-uuid"}, {"package", "test.package"}}}}},
              {"v", "v1.4.9"},
              {"c", nullptr},
              {"objectId", nullptr},
              {"data", std::move(data)}};
}

// An in-memory server on a free port.
inline Options memoryOptions() {
  Options options;
  options.port = 0;
  options.memory = true;
  return options;
}

struct Reply {
  unsigned status = 0;
  std::string body;
  Json json;  // discarded when the body is not JSON
  bool keepAlive = false;
  std::string contentType;

  int code() const { return json.at("result").at("code").get<int>(); }
  std::string message() const { return json.at("result").at("message").get<std::string>(); }
  const Json& data() const { return json.at("data"); }
};

using HeaderList = std::vector<std::pair<std::string, std::string>>;

inline http::request<http::string_body> makeRequest(http::verb method, const std::string& target, std::string body,
                                                    const HeaderList& headers = {}) {
  http::request<http::string_body> request{method, target, 11};
  request.set(http::field::host, "127.0.0.1");
  request.set(http::field::content_type, "application/json");
  for (const auto& [name, value] : headers) request.set(name, value);
  request.body() = std::move(body);
  request.keep_alive(true);
  request.prepare_payload();
  return request;
}

// One keep-alive connection. Each operation runs the client's own io_context
// until it completes or the deadline passes (then it throws).
class TestHttpClient {
 public:
  explicit TestHttpClient(unsigned short port) : socket_(ioc_) {
    bool done = false;
    boost::system::error_code result;
    socket_.async_connect(tcp::endpoint(net::ip::address_v4::loopback(), port),
                          [&](boost::system::error_code ec) {
                            result = ec;
                            done = true;
                          });
    runUntil(done, "connect");
    if (result) throw std::runtime_error("connect failed: " + result.message());
  }

  void sendRaw(const std::string& bytes) {
    bool done = false;
    boost::system::error_code result;
    net::async_write(socket_, net::buffer(bytes), [&](boost::system::error_code ec, std::size_t) {
      result = ec;
      done = true;
    });
    runUntil(done, "write");
    if (result) throw std::runtime_error("write failed: " + result.message());
  }

  void send(const http::request<http::string_body>& request) {
    bool done = false;
    boost::system::error_code result;
    http::async_write(socket_, request, [&](boost::system::error_code ec, std::size_t) {
      result = ec;
      done = true;
    });
    runUntil(done, "write");
    if (result) throw std::runtime_error("write failed: " + result.message());
  }

  // Reads one response; nullopt when the server closed the connection first.
  std::optional<Reply> read() {
    http::response_parser<http::string_body> parser;
    parser.body_limit(256 * 1024 * 1024);
    bool done = false;
    boost::system::error_code result;
    http::async_read(socket_, buffer_, parser, [&](boost::system::error_code ec, std::size_t) {
      result = ec;
      done = true;
    });
    runUntil(done, "read");
    if (result == http::error::end_of_stream || result == net::error::eof ||
        result == net::error::connection_reset) {
      return std::nullopt;
    }
    if (result) throw std::runtime_error("read failed: " + result.message());
    auto response = parser.release();
    Reply reply;
    reply.status = response.result_int();
    reply.keepAlive = response.keep_alive();
    reply.contentType = std::string(response[http::field::content_type]);
    reply.body = std::move(response.body());
    reply.json = Json::parse(reply.body, nullptr, false);
    return reply;
  }

  // Reads the interim "100 Continue" response header.
  unsigned readInterimStatus() {
    http::response_parser<http::empty_body> parser;
    bool done = false;
    boost::system::error_code result;
    http::async_read_header(socket_, buffer_, parser, [&](boost::system::error_code ec, std::size_t) {
      result = ec;
      done = true;
    });
    runUntil(done, "read");
    if (result) throw std::runtime_error("read failed: " + result.message());
    return parser.get().result_int();
  }

  Reply roundTrip(const http::request<http::string_body>& request) {
    send(request);
    auto reply = read();
    if (!reply) throw std::runtime_error("the server closed the connection instead of replying");
    return *reply;
  }

  Reply post(const std::string& path, std::string body, const HeaderList& headers = {}) {
    return roundTrip(makeRequest(http::verb::post, path, std::move(body), headers));
  }

  Reply postEnvelope(const std::string& path, Json data = nullptr, const HeaderList& headers = {}) {
    return post(path, envelope(std::move(data)).dump(), headers);
  }

  Reply get(const std::string& path) { return roundTrip(makeRequest(http::verb::get, path, "")); }

  // True when the server closes the connection (EOF or reset) before the
  // deadline; any bytes that arrive first are skipped.
  bool closedByServer() {
    for (;;) {
      char scratch[4096];
      bool done = false;
      boost::system::error_code result;
      socket_.async_read_some(net::buffer(scratch), [&](boost::system::error_code ec, std::size_t) {
        result = ec;
        done = true;
      });
      runUntil(done, "read");
      if (result) return true;
    }
  }

 private:
  void runUntil(bool& done, const char* what) {
    ioc_.restart();
    ioc_.run_for(kDeadline);
    if (!done) {
      boost::system::error_code ignored;
      socket_.close(ignored);
      ioc_.restart();
      ioc_.run();  // let the cancelled operation finish
      throw std::runtime_error(std::string(what) + " did not complete before the deadline");
    }
  }

  net::io_context ioc_;
  tcp::socket socket_;
  beast::flat_buffer buffer_;
};

// A fresh folder under the system temp folder, removed with the object.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vorn-emulator-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace vorn::emulator::emutest
