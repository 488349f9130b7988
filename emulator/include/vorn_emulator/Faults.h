#pragma once

// Fault injection: the next requests of a path fail in a chosen way, so that
// clients' retry and error paths can be exercised against a real socket.
//
//   drop        close the connection at once, without handling or answering
//   drop-after  handle the request (its effects happen), then close without answering
//   garbage     answer HTTP 200 with a body that is not JSON (not handled)
//   error       answer an envelope error with `code` (not handled)
//   delay       handle the request, then answer after `delay`
//
// Faults are matched by exact path (the target without "?query"); paths under
// "/admin/" are never faulted. Several faults of one path apply in the order
// they were added. Thread-safe.

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "vorn_emulator/ErrorCodes.h"

namespace vorn::emulator {

enum class FaultMode { Drop, DropAfter, Garbage, Error, Delay };

std::string_view faultModeName(FaultMode mode);
std::optional<FaultMode> parseFaultMode(std::string_view name);

inline constexpr std::size_t kMaxFaultCount = 1000000;
inline constexpr std::chrono::milliseconds kMaxFaultDelay{60000};
inline constexpr std::size_t kMaxFaults = 256;

struct Fault {
    std::string path;  // e.g. "/7/mkfile"
    FaultMode mode = FaultMode::Drop;
    std::size_t count = 1;                       // requests it applies to; 0: every request until cleared
    int code = toInt(ErrorCode::InjectedFault);  // mode error
    std::chrono::milliseconds delay{0};          // mode delay

    nlohmann::json toJson() const;  // {"path", "mode", "count", "code", "delayMs"}
    // Reads the admin form; throws std::invalid_argument with a readable reason.
    static Fault fromJson(const nlohmann::json& value);
    // Reads the command-line form PATH=MODE[:ARG][xCOUNT], ARG being the code
    // of error or the milliseconds of delay. Throws std::invalid_argument.
    static Fault parse(std::string_view text);
};

class FaultInjector {
public:
    // Adds a fault after the ones already set. Throws std::invalid_argument for
    // an invalid one (path not starting with '/', delay out of range, too many).
    void add(Fault fault);
    // Consumes one use of the first fault of `path`, if any.
    std::optional<Fault> take(std::string_view path);
    std::vector<Fault> list() const;  // remaining counts
    // Removes every fault (or those of one path); returns how many.
    std::size_t clear();
    std::size_t clear(std::string_view path);

private:
    mutable std::mutex mutex_;
    std::deque<Fault> faults_;
};

}  // namespace vorn::emulator
