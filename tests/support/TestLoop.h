#pragma once

#include "vorn/core/MainLoop.h"
#include "vorn/core/VornError.h"

#include <chrono>
#include <functional>
#include <thread>

namespace vorn::test {

/// Runs the main loop until `condition` holds or `timeout` passes.
inline bool runUntil(const std::function<bool()>& condition,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return MainLoop::shared().runUntil(condition, timeout);
}

/// Runs every handler that is ready now, repeatedly, until none is left.
inline void drainLoop() {
    while (MainLoop::shared().poll() > 0) {}
}

/// What a (success, error) callback reported, how often, and on which thread.
struct BooleanResult {
    int calls = 0;
    bool called = false;
    bool succeeded = false;
    OptionalError error;
    std::thread::id thread;

    VornBooleanResultBlock block() {
        return [this](bool ok, const OptionalError& e) {
            ++calls;
            called = true;
            succeeded = ok;
            error = e;
            thread = std::this_thread::get_id();
        };
    }
    /// Runs the main loop until the callback ran (or the time is up).
    bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        return runUntil([this] { return called; }, timeout);
    }
    /// The error's code, 0 without an error.
    int code() const { return error ? error->code : 0; }
};

}  // namespace vorn::test
