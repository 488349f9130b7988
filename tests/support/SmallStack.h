#pragma once

#include <pthread.h>

#include <cstddef>
#include <exception>
#include <functional>
#include <stdexcept>

#include "support/Sanitizers.h"

namespace vorn::test {

/// The small stack: 256 KiB, or 1 MiB under the sanitizers, whose frames
/// (each local in its own guarded slot, the test code unoptimized) are
/// several times larger. Either is overflowed long before a 300,000-level
/// input ends by anything that recurses once per level.
inline constexpr std::size_t kSmallStackBytes = std::size_t{kUnderSanitizer ? 1024 : 256} * 1024;

/// Runs `work` on a thread of its own whose stack holds `stackBytes`
/// (kSmallStackBytes unless told), and waits for it: what recurses once per
/// level of its input overflows such a stack long before a 300,000-level
/// input ends, so a limit, not a large default stack, must keep the work
/// safe. An exception thrown by `work` is thrown again here.
inline void runOnSmallStack(const std::function<void()>& work, std::size_t stackBytes = kSmallStackBytes) {
    struct Job {
        const std::function<void()>* work;
        std::exception_ptr failure;
    } job{&work, nullptr};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, stackBytes);
    pthread_t thread;
    const int started = pthread_create(
        &thread, &attributes,
        [](void* argument) -> void* {
            auto* running = static_cast<Job*>(argument);
            try {
                (*running->work)();
            } catch (...) {
                running->failure = std::current_exception();
            }
            return nullptr;
        },
        &job);
    pthread_attr_destroy(&attributes);
    if (started != 0) throw std::runtime_error("no thread for the small stack");
    pthread_join(thread, nullptr);
    if (job.failure) std::rethrow_exception(job.failure);
}

/// JSON text of arrays nested `depth` deep around one number.
inline std::string deeplyNested(std::size_t depth) {
    return std::string(depth, '[') + "1" + std::string(depth, ']');
}

}  // namespace vorn::test
