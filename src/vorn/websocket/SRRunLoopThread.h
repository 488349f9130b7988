#pragma once

#include <boost/asio/io_context.hpp>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace vorn {

/// The one network thread of the process that drives every WebSocket's
/// stream: it runs its own run loop (an Asio io_context) forever. Created on
/// first use, never ended.
class SRRunLoopThread {
public:
    /// The shared thread, created and started once.
    static SRRunLoopThread& sharedThread();

    /// The thread's run loop; waits (without time limit) until the thread has
    /// published it.
    boost::asio::io_context& runLoop();

    /// The label the thread carries.
    static constexpr const char* kThreadName = "com.vorn.ws.net";

    SRRunLoopThread(const SRRunLoopThread&) = delete;
    SRRunLoopThread& operator=(const SRRunLoopThread&) = delete;

private:
    SRRunLoopThread();
    // Only allocation failures can escape; they end the process, as they would anywhere.
    void main();  // NOLINT(bugprone-exception-escape)

    std::mutex mutex_;
    std::condition_variable published_;
    boost::asio::io_context* runLoop_ = nullptr;
    std::thread thread_;
};

/// The shared network run loop (`SRRunLoopThread::sharedThread().runLoop()`).
boost::asio::io_context& SR_networkRunLoop();

}  // namespace vorn
