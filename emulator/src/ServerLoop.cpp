#include "ServerLoop.h"

#include <boost/system/system_error.hpp>

#include <chrono>
#include <exception>
#include <stdexcept>
#include <utility>

#include "LoopbackAddress.h"

namespace vorn::emulator {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

AcceptLoop::AcceptLoop(net::io_context& ioc, Hooks hooks)
    : acceptor_(ioc), retryTimer_(ioc), hooks_(std::move(hooks)) {}

unsigned short AcceptLoop::listen(const net::ip::address& address, unsigned short port) {
    const tcp::endpoint endpoint(address, port);
    try {
        acceptor_.open(endpoint.protocol());
        acceptor_.set_option(net::socket_base::reuse_address(true));
        acceptor_.bind(endpoint);
        acceptor_.listen(net::socket_base::max_listen_connections);
    } catch (const boost::system::system_error& e) {
        error_code ignored;
        acceptor_.close(ignored);
        throw std::runtime_error("cannot listen on " + endpointText(address, port) + ": " + e.code().message());
    }
    const unsigned short bound = acceptor_.local_endpoint().port();
    accept();
    return bound;
}

void AcceptLoop::close() {
    error_code ignored;
    acceptor_.close(ignored);
    retryTimer_.cancel();
}

void AcceptLoop::accept() {
    acceptor_.async_accept([this](error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || !acceptor_.is_open()) return;
        if (ec) {
            if (hooks_.acceptFailed) hooks_.acceptFailed(ec.message());
            retryTimer_.expires_after(std::chrono::milliseconds(50));
            retryTimer_.async_wait([this](error_code timerError) {
                if (!timerError && acceptor_.is_open()) accept();
            });
            return;
        }
        error_code ignored;
        if (hooks_.atLimit()) {
            if (hooks_.refused) hooks_.refused();
            socket.close(ignored);
            accept();
            return;
        }
        socket.set_option(tcp::no_delay(true), ignored);
        hooks_.serve(std::move(socket));
        accept();
    });
}

void runServerLoop(net::io_context& ioc, std::string_view what, const std::function<void(const std::string&)>& log) {
    for (;;) {
        try {
            ioc.run();
            break;
        } catch (const std::exception& e) {
            log("unexpected error in the " + std::string(what) + " loop: " + e.what());
        }
    }
    try {
        ioc.restart();
        ioc.poll();
    } catch (const std::exception& e) {
        log(std::string("error while stopping: ") + e.what());
    }
}

void joinOrDetach(std::thread& thread) {
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
    } else {
        thread.join();
    }
}

}  // namespace vorn::emulator
