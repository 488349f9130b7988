#include "vorn/websocket/SRRunLoopThread.h"

#include <boost/asio/steady_timer.hpp>

#include <openssl/ssl.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace vorn {

SRRunLoopThread& SRRunLoopThread::sharedThread() {
    // Lives for the process: sockets may use the loop until exit.
    static SRRunLoopThread* shared = [] {
        // OpenSSL frees its state in an exit handler of its own. Initialising
        // it first puts that handler after ours, which parks the thread: a
        // socket's handler (a mask key, a TLS record) must not run on freed
        // OpenSSL state while the process exits.
        OPENSSL_init_ssl(0, nullptr);
        auto* thread = new SRRunLoopThread();
        std::atexit([] { sharedThread().parkForExit(); });
        return thread;
    }();
    return *shared;
}

SRRunLoopThread::SRRunLoopThread() {
    thread_ = std::thread([this] { main(); });
    threadId_ = thread_.get_id();
    ownerProcess_ = ::getpid();
    thread_.detach();
}

void SRRunLoopThread::parkForExit() noexcept {
    // A child forked from this process has no network thread to wait for.
    if (::getpid() != ownerProcess_) return;
    try {
        std::unique_lock lock(mutex_);
        if (runLoop_ == nullptr || std::this_thread::get_id() == threadId_) return;
        exiting_ = true;
        runLoop_->stop();
        // The thread parks once the handler it runs returns; handlers never
        // block, so the bound only guards against one that does.
        published_.wait_for(lock, std::chrono::seconds(2), [this] { return parked_; });
    } catch (...) {
        // Exiting goes on whatever happens here.
    }
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
        {
            std::unique_lock lock(mutex_);
            if (exiting_) {
                // The process is exiting: run nothing more, and keep the
                // loop and what its handlers own as they are until the end.
                parked_ = true;
                published_.notify_all();
                published_.wait(lock, [] { return false; });
            }
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
