#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorn::test {

/// A request as the scripted server received it.
struct RecordedRequest {
    std::string method;
    std::string target;
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;
    int connection = 0;  // which accepted connection carried it (1, 2, ...)

    std::string header(const std::string& name) const;
};

/// What the scripted server does with a request.
struct ScriptedAction {
    enum class Kind { Reply, Close, Hang, Raw };
    Kind kind = Kind::Reply;
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string raw;  // bytes written as they are (Kind::Raw), then the connection closes

    static ScriptedAction reply(std::string body, int status = 200) {
        ScriptedAction action;
        action.body = std::move(body);
        action.status = status;
        return action;
    }
    static ScriptedAction close() {
        ScriptedAction action;
        action.kind = Kind::Close;
        return action;
    }
    static ScriptedAction hang() {
        ScriptedAction action;
        action.kind = Kind::Hang;
        return action;
    }
    static ScriptedAction rawBytes(std::string bytes) {
        ScriptedAction action;
        action.kind = Kind::Raw;
        action.raw = std::move(bytes);
        return action;
    }
};

/// A small HTTP/1.1 peer on loopback for tests, whose answers a script
/// decides: replies, dropped connections, requests left hanging, raw bytes.
/// Connections are kept alive between replies.
class ScriptedHttpServer {
public:
    using Script = std::function<ScriptedAction(const RecordedRequest&)>;

    explicit ScriptedHttpServer(Script script);
    ~ScriptedHttpServer();

    unsigned short port() const { return port_; }
    std::string hostAndPort() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string url(const std::string& path = "/") const { return "http://" + hostAndPort() + path; }

    std::vector<RecordedRequest> requests() const;
    int acceptedConnections() const { return accepted_.load(); }
    /// Connections that the client closed while a request hung.
    int droppedByClient() const { return droppedByClient_.load(); }
    /// Waits (on this thread) until `count` requests have arrived.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    void acceptLoop();
    void serve(boost::asio::ip::tcp::socket socket, int connection);

    Script script_;
    boost::asio::io_context io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    unsigned short port_ = 0;
    std::thread acceptThread_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<RecordedRequest> requests_;
    std::vector<std::thread> workers_;
    std::vector<std::shared_ptr<boost::asio::ip::tcp::socket>> open_;
    std::atomic<int> accepted_{0};
    std::atomic<int> droppedByClient_{0};
    std::atomic<bool> stopping_{false};
};

}  // namespace vorn::test
