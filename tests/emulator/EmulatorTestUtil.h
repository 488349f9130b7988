#pragma once

// Helpers for the emulator tests: a small HTTP/1.1 client over a real
// loopback socket whose every wait has a deadline, temporary folders, and
// envelope bodies.

#include <boost/beast/http/verb.hpp>

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/Sanitizers.h"
#include "vorn_emulator/Server.h"

namespace vorn::emulator::emutest {

namespace http = boost::beast::http;
using Json = nlohmann::json;
using namespace std::chrono_literals;

// Under the sanitizers a 10 MiB upload alone takes several seconds.
inline constexpr auto kDeadline = vorn::test::kUnderSanitizer ? 30s : 10s;

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
    std::vector<std::pair<std::string, std::string>> headers;  // every header field, in order

    // The first header field of that name (case-insensitive), "" when absent.
    std::string header(std::string_view name) const;

    int code() const { return json.at("result").at("code").get<int>(); }
    std::string message() const { return json.at("result").at("message").get<std::string>(); }
    const Json& data() const { return json.at("data"); }
};

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// An HTTP/1.1 request as the tests write it to the wire.
struct HttpRequest {
    http::verb method = http::verb::post;
    std::string target;
    std::string body;
    HeaderList headers;
    bool keepAlive = true;

    std::string head() const;  // the request line and header, through the blank line
    std::string wire() const { return head() + body; }
};

inline std::ostream& operator<<(std::ostream& out, const HttpRequest& request) {
    return out << request.wire();
}

inline HttpRequest makeRequest(http::verb method, const std::string& target, std::string body,
                               const HeaderList& headers = {}) {
    return HttpRequest{method, target, std::move(body), headers, true};
}

// One keep-alive connection. Each operation runs the client's own io_context
// until it completes or the deadline passes (then it throws).
class TestHttpClient {
public:
    explicit TestHttpClient(unsigned short port);
    ~TestHttpClient();
    TestHttpClient(const TestHttpClient&) = delete;
    TestHttpClient& operator=(const TestHttpClient&) = delete;

    void sendRaw(const std::string& bytes);
    void send(const HttpRequest& request) { sendRaw(request.wire()); }

    // Reads one response; nullopt when the server closed the connection first.
    // `headResponse`: the answer to a HEAD request (a header without a body).
    std::optional<Reply> read(bool headResponse = false);

    // Reads the interim "100 Continue" response header.
    unsigned readInterimStatus();

    Reply roundTrip(const HttpRequest& request) {
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
    bool closedByServer();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
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
