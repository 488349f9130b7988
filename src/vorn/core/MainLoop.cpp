#include "vorn/core/MainLoop.h"

namespace vorn {

MainLoop& MainLoop::shared() {
    // Never destroyed: other threads (the WebSocket client's, the
    // application's) may still post to it during exit.
    static MainLoop* loop = new MainLoop();
    return *loop;
}

MainLoop::MainLoop() : io_(1), work_(boost::asio::make_work_guard(io_)) {}

MainLoop::~MainLoop() {
    stopThread();
}

void MainLoop::prepare() {
    if (io_.stopped()) io_.restart();
}

void MainLoop::run() {
    prepare();
    io_.run();
}

std::size_t MainLoop::poll() {
    prepare();
    return io_.poll();
}

void MainLoop::runFor(Clock::duration duration) {
    prepare();
    io_.run_for(duration);
}

bool MainLoop::runUntil(const std::function<bool()>& condition, Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    prepare();
    while (!condition()) {
        const auto now = Clock::now();
        if (now >= deadline) return false;
        // Waits for the next handler (not a fixed sleep), bounded by the deadline.
        io_.run_one_for(std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(50)));
        if (io_.stopped()) io_.restart();
    }
    return true;
}

void MainLoop::stop() {
    io_.stop();
}

void MainLoop::startThread() {
    std::lock_guard lock(threadMutex_);
    if (thread_.joinable()) return;
    prepare();
    thread_ = std::thread([this] { io_.run(); });
}

void MainLoop::stopThread() {
    std::lock_guard lock(threadMutex_);
    if (!thread_.joinable()) return;
    io_.stop();
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

bool MainLoop::isCurrentThread() const {
    return io_.get_executor().running_in_this_thread();
}

}  // namespace vorn
