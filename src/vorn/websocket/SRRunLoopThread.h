#pragma once

#include <boost/asio/io_context.hpp>

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace vorn {

/// The one network thread of the process that drives every WebSocket's
/// stream: it runs its own run loop (an Asio io_context) forever. Created on
/// first use, never ended: when the process exits, it stops running handlers
/// before OpenSSL frees its state, and is left parked.
class SRRunLoopThread {
public:
    /// The shared thread, created and started once.
    static SRRunLoopThread& sharedThread();

    /// The thread's run loop; waits (without time limit) until the thread has
    /// published it.
    boost::asio::io_context& runLoop();

    /// The label the thread carries.
    static constexpr const char* kThreadName = "com.vorn.ws.net";

    /// Stops the loop and waits (briefly) until the thread has parked for
    /// good. Called once, from the process's exit handlers.
    void parkForExit() noexcept;

    SRRunLoopThread(const SRRunLoopThread&) = delete;
    SRRunLoopThread& operator=(const SRRunLoopThread&) = delete;

private:
    SRRunLoopThread();
    // Only allocation failures can escape; they end the process, as they would anywhere.
    void main();  // NOLINT(bugprone-exception-escape)

    std::mutex mutex_;
    std::condition_variable published_;
    boost::asio::io_context* runLoop_ = nullptr;
    bool exiting_ = false;
    bool parked_ = false;
    std::thread thread_;
    std::thread::id threadId_;
    pid_t ownerProcess_ = 0;
};

/// The shared network run loop (`SRRunLoopThread::sharedThread().runLoop()`).
boost::asio::io_context& SR_networkRunLoop();

}  // namespace vorn
