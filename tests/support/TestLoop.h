#pragma once

#include "vorn/core/MainLoop.h"

#include <chrono>
#include <functional>

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

}  // namespace vorn::test
