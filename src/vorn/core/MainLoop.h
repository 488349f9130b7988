#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

namespace vorn {

/// The library's main loop: the one event loop on which every asynchronous
/// result, progress and failure callback runs. The application drives it
/// with `run()`, `poll()` or `runFor()`, or asks for a thread of its own with
/// `startThread()`. Drive it from one thread at a time.
class MainLoop {
public:
    /// The clock used for run durations and timeouts.
    using Clock = std::chrono::steady_clock;

    /// The one main loop of the process; never destroyed.
    static MainLoop& shared();

    /// The underlying Boost.Asio context, for timers and I/O that must run on the loop.
    boost::asio::io_context& context() { return io_; }

    /// Queues work on the loop; callable from any thread.
    template <typename F>
    void post(F&& work) {
        boost::asio::post(io_, std::forward<F>(work));
    }

    /// Runs handlers until `stop()` is called.
    void run();
    /// Runs the handlers that are ready now, then returns their count.
    std::size_t poll();
    /// Runs handlers for the given time.
    void runFor(Clock::duration duration);
    /// Runs handlers until `condition` holds or `timeout` passes; returns
    /// whether the condition held. The condition is checked on this thread
    /// between handlers.
    bool runUntil(const std::function<bool()>& condition, Clock::duration timeout);
    /// Makes `run()` return (from any thread).
    void stop();

    /// Runs the loop on a thread owned by the library until `stopThread()`.
    void startThread();
    /// Stops the loop and waits for the thread started by `startThread()` to end
    /// (detaches it when called from that thread); does nothing when no such thread runs.
    void stopThread();

    /// Whether the calling thread is the one running the loop now.
    bool isCurrentThread() const;

private:
    MainLoop();
    ~MainLoop();
    void prepare();

    mutable boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    std::mutex threadMutex_;
    std::thread thread_;
};

}  // namespace vorn
