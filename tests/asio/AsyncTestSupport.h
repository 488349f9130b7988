#pragma once

#include "support/TestLoop.h"
#include "vorn/async/VornAsync.h"
#include "vorn/core/MainLoop.h"

#include <gtest/gtest.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <chrono>
#include <exception>
#include <future>
#include <optional>
#include <utility>

namespace vorn::test {

/// The main loop's executor.
inline boost::asio::io_context::executor_type mainExecutor() {
    return MainLoop::shared().context().get_executor();
}

/// Runs the main loop until the future is ready (or the time is up).
template <typename T>
bool waitForFuture(const std::future<T>& future, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    return runUntil([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, timeout);
}

/// Runs the main loop until the callback ran (or the time is up).
inline bool waitFor(const bool& done, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    return runUntil([&] { return done; }, timeout);
}

#if defined(BOOST_ASIO_HAS_CO_AWAIT)
/// Runs a coroutine on the main loop to its end; its exception, if any,
/// is thrown again here. False when it did not end in time.
inline bool runCoroutine(boost::asio::awaitable<void> coroutine,
                         std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    bool done = false;
    std::exception_ptr failure;
    boost::asio::co_spawn(mainExecutor(), std::move(coroutine), [&](std::exception_ptr e) {
        failure = std::move(e);
        done = true;
    });
    if (!waitFor(done, timeout)) return false;
    if (failure) std::rethrow_exception(failure);
    return true;
}
#endif

/// The code and domain of what an operation failed with.
inline std::pair<std::string, int> failureOf(const std::exception_ptr& failure) {
    auto error = async::errorOf(failure);
    return error ? std::pair{error->domain, error->code} : std::pair{std::string(), 0};
}

}  // namespace vorn::test
