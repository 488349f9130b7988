#include "support/ScriptedHttpServer.h"

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>

#include <sys/socket.h>

namespace vorn::test {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

std::string RecordedRequest::header(const std::string& name) const {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    auto it = headers.find(lower);
    return it == headers.end() ? std::string() : it->second;
}

ScriptedHttpServer::ScriptedHttpServer(Script script)
    : script_(std::move(script)), acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
    port_ = acceptor_.local_endpoint().port();
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

ScriptedHttpServer::~ScriptedHttpServer() {
    stopping_ = true;
    boost::system::error_code ec;
    // Wakes the blocking accept; closing alone does not.
    ::shutdown(acceptor_.native_handle(), SHUT_RDWR);
    {
        std::lock_guard lock(mutex_);
        for (auto& socket : open_) ::shutdown(socket->native_handle(), SHUT_RDWR);
    }
    acceptThread_.join();
    for (auto& worker : workers_) worker.join();
    // Closed only once no thread uses it.
    acceptor_.close(ec);
}

std::vector<RecordedRequest> ScriptedHttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

bool ScriptedHttpServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void ScriptedHttpServer::acceptLoop() {
    while (!stopping_) {
        boost::system::error_code ec;
        tcp::socket socket(io_);
        acceptor_.accept(socket, ec);
        if (ec) return;
        const int connection = ++accepted_;
        std::lock_guard lock(mutex_);
        workers_.emplace_back([this, s = std::move(socket), connection]() mutable { serve(std::move(s), connection); });
    }
}

void ScriptedHttpServer::serve(tcp::socket socket, int connection) {
    auto shared = std::make_shared<tcp::socket>(std::move(socket));
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        open_.push_back(shared);
    }
    // Whatever ends this connection closes it.
    struct Closer {
        tcp::socket& socket;
        std::mutex& mutex;
        ~Closer() {
            std::lock_guard lock(mutex);
            boost::system::error_code ignored;
            socket.shutdown(tcp::socket::shutdown_both, ignored);
            socket.close(ignored);
        }
    } closer{*shared, mutex_};
    boost::beast::flat_buffer buffer;
    for (;;) {
        http::request_parser<http::string_body> parser;
        parser.body_limit(64 * 1024 * 1024);
        boost::system::error_code ec;
        http::read(*shared, buffer, parser, ec);
        if (ec) return;
        const auto& request = parser.get();
        RecordedRequest recorded;
        recorded.method = std::string(request.method_string());
        recorded.target = std::string(request.target());
        for (const auto& field : request) {
            std::string name(field.name_string());
            std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
            recorded.headers[name] = std::string(field.value());
        }
        recorded.body = request.body();
        recorded.connection = connection;
        const ScriptedAction action = script_(recorded);
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(recorded);
        }
        changed_.notify_all();

        switch (action.kind) {
            case ScriptedAction::Kind::Close:
                shared->shutdown(tcp::socket::shutdown_both, ec);
                return;
            case ScriptedAction::Kind::Raw:
                asio::write(*shared, asio::buffer(action.raw), ec);
                shared->shutdown(tcp::socket::shutdown_both, ec);
                return;
            case ScriptedAction::Kind::Hang: {
                // Holds the request until the client goes away or the server stops.
                char byte;
                asio::read(*shared, asio::buffer(&byte, 1), ec);
                if (!stopping_) ++droppedByClient_;
                return;
            }
            case ScriptedAction::Kind::Reply: {
                http::response<http::string_body> response{static_cast<http::status>(action.status), 11};
                for (const auto& [name, value] : action.headers) response.set(name, value);
                if (response.find(http::field::content_type) == response.end()) {
                    response.set(http::field::content_type, "application/json");
                }
                response.body() = action.body;
                response.keep_alive(request.keep_alive());
                response.prepare_payload();
                http::write(*shared, response, ec);
                if (ec || !request.keep_alive()) return;
                break;
            }
        }
    }
}

}  // namespace vorn::test
