#pragma once

#include "TestLoop.h"

#include <chrono>
#include <stdexcept>
#include <string>

namespace vorn::test {

/// Runs `start`, which starts a server again on the ports it had before,
/// until it succeeds or `timeout` passes. Those ports came from the kernel's
/// ephemeral range, so between the stop and this start another test's
/// outgoing connection (or a client dialling the closed port, which can
/// connect to itself) may hold one as its local port for a moment; the main
/// loop runs while the port is busy. Any other failure is thrown at once.
template <class Start>
auto startOnSamePorts(Start&& start, std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        try {
            return start();
        } catch (const std::runtime_error& e) {
            const bool busy = std::string(e.what()).find("Address already in use") != std::string::npos;
            if (!busy || std::chrono::steady_clock::now() >= deadline) throw;
        }
        runUntil([] { return false; }, std::chrono::milliseconds(50));
    }
}

}  // namespace vorn::test
