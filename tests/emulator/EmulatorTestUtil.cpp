#include "EmulatorTestUtil.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <sstream>

namespace vorn::emulator::emutest {

namespace net = boost::asio;
namespace beast = boost::beast;
using tcp = net::ip::tcp;

std::string HttpRequest::head() const {
    http::request<http::string_body> request{method, target, 11};
    request.set(http::field::host, "127.0.0.1");
    request.set(http::field::content_type, "application/json");
    for (const auto& [name, value] : headers) request.set(name, value);
    request.body() = body;
    request.keep_alive(keepAlive);
    request.prepare_payload();
    std::ostringstream out;
    out << request.base();
    return out.str();
}

struct TestHttpClient::Impl {
    net::io_context ioc;
    tcp::socket socket{ioc};
    beast::flat_buffer buffer;

    void runUntil(bool& done, const char* what) {
        ioc.restart();
        ioc.run_for(kDeadline);
        if (!done) {
            boost::system::error_code ignored;
            socket.close(ignored);
            ioc.restart();
            ioc.run();  // let the cancelled operation finish
            throw std::runtime_error(std::string(what) + " did not complete before the deadline");
        }
    }
};

TestHttpClient::TestHttpClient(unsigned short port) : impl_(std::make_unique<Impl>()) {
    bool done = false;
    boost::system::error_code result;
    impl_->socket.async_connect(tcp::endpoint(net::ip::address_v4::loopback(), port),
                                [&](boost::system::error_code ec) {
        result = ec;
        done = true;
    });
    impl_->runUntil(done, "connect");
    if (result) throw std::runtime_error("connect failed: " + result.message());
}

TestHttpClient::~TestHttpClient() = default;

void TestHttpClient::sendRaw(const std::string& bytes) {
    bool done = false;
    boost::system::error_code result;
    net::async_write(impl_->socket, net::buffer(bytes), [&](boost::system::error_code ec, std::size_t) {
        result = ec;
        done = true;
    });
    impl_->runUntil(done, "write");
    if (result) throw std::runtime_error("write failed: " + result.message());
}

std::string Reply::header(std::string_view name) const {
    const auto lower = [](std::string_view text) {
        std::string out(text);
        for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        return out;
    };
    for (const auto& [field, value] : headers) {
        if (lower(field) == lower(name)) return value;
    }
    return {};
}

std::optional<Reply> TestHttpClient::read(bool headResponse) {
    http::response_parser<http::string_body> parser;
    parser.body_limit(256 * 1024 * 1024);
    parser.skip(headResponse);
    bool done = false;
    boost::system::error_code result;
    http::async_read(impl_->socket, impl_->buffer, parser, [&](boost::system::error_code ec, std::size_t) {
        result = ec;
        done = true;
    });
    impl_->runUntil(done, "read");
    if (result == http::error::end_of_stream || result == net::error::eof || result == net::error::connection_reset) {
        return std::nullopt;
    }
    if (result) throw std::runtime_error("read failed: " + result.message());
    auto response = parser.release();
    Reply reply;
    reply.status = response.result_int();
    reply.keepAlive = response.keep_alive();
    reply.contentType = std::string(response[http::field::content_type]);
    for (const auto& field : response)
        reply.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    reply.body = std::move(response.body());
    reply.json = Json::parse(reply.body, nullptr, false);
    return reply;
}

unsigned TestHttpClient::readInterimStatus() {
    http::response_parser<http::empty_body> parser;
    bool done = false;
    boost::system::error_code result;
    http::async_read_header(impl_->socket, impl_->buffer, parser, [&](boost::system::error_code ec, std::size_t) {
        result = ec;
        done = true;
    });
    impl_->runUntil(done, "read");
    if (result) throw std::runtime_error("read failed: " + result.message());
    return parser.get().result_int();
}

bool TestHttpClient::closedByServer() {
    for (;;) {
        char scratch[4096];
        bool done = false;
        boost::system::error_code result;
        impl_->socket.async_read_some(net::buffer(scratch), [&](boost::system::error_code ec, std::size_t) {
            result = ec;
            done = true;
        });
        impl_->runUntil(done, "read");
        if (result) return true;
    }
}

}  // namespace vorn::emulator::emutest
