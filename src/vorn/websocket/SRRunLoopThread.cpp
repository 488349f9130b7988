#include "vorn/websocket/SRRunLoopThread.h"

#include <boost/asio/steady_timer.hpp>

#include <pthread.h>

namespace vorn {

SRRunLoopThread& SRRunLoopThread::sharedThread() {
    // Lives for the process: sockets may use the loop until exit.
    static SRRunLoopThread* shared = new SRRunLoopThread();
    return *shared;
}

SRRunLoopThread::SRRunLoopThread() {
    thread_ = std::thread([this] { main(); });
    thread_.detach();
}

void SRRunLoopThread::main() {  // NOLINT(bugprone-exception-escape): see the header
    ::pthread_setname_np(::pthread_self(), kThreadName);
    boost::asio::io_context loop(1);
    // A timer that fires only in the distant future keeps the loop from
    // running out of work.
    boost::asio::steady_timer distantFuture(loop, boost::asio::steady_timer::time_point::max());
    distantFuture.async_wait([](const boost::system::error_code&) {});
    {
        std::lock_guard lock(mutex_);
        runLoop_ = &loop;
    }
    published_.notify_all();
    for (;;) {
        try {
            loop.run();
        } catch (...) {
            // A handler that threw must not end the process (sockets fail
            // themselves on what they catch); the loop goes on serving.
        }
        // Someone stopped the loop from outside, or a handler threw: keep serving.
        loop.restart();
    }
}

boost::asio::io_context& SRRunLoopThread::runLoop() {
    std::unique_lock lock(mutex_);
    published_.wait(lock, [this] { return runLoop_ != nullptr; });
    return *runLoop_;
}

boost::asio::io_context& SR_networkRunLoop() {
    return SRRunLoopThread::sharedThread().runLoop();
}

}  // namespace vorn
