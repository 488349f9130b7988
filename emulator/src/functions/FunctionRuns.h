#pragma once

// The recent calls of cloud functions, for the console: the latest run of
// each function and the last kRecent runs of all. Thread-safe (a call ends
// on one of the function host's workers).

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

namespace vorn::emulator {

struct FunctionRun {
    std::string name;
    bool builtin = false;
    std::int64_t atMs = 0;    // epoch milliseconds of the call
    std::int64_t millis = 0;  // how long it took
    unsigned status = 0;      // the HTTP status answered
    std::string outcome;      // "answered", "failed", "timeout", "output too large", "not found", "busy"
    std::string input;        // the parameters, cut at kMaxText bytes
    std::string output;       // the answer or the refusal's message, cut at kMaxText bytes
    std::string errors;       // what it wrote to standard error, cut at kMaxText bytes

    nlohmann::json toJson() const;
};

class FunctionRuns {
public:
    static constexpr std::size_t kRecent = 100;
    static constexpr std::size_t kMaxText = 2048;
    static constexpr std::size_t kMaxNames = 1000;

    void record(FunctionRun run);
    // The latest run of `name`, or null.
    nlohmann::json latest(const std::string& name) const;
    // The names that ran, sorted.
    std::vector<std::string> names() const;
    // The recent runs, newest first.
    nlohmann::json recent() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, FunctionRun> latest_;
    std::deque<FunctionRun> recent_;
};

}  // namespace vorn::emulator
