#pragma once

// Runs the developer's cloud functions: every executable file of a folder is
// a function named by its file name. A call runs the file as a child process
// in a process group of its own, with the parameters as JSON on standard
// input and the caller's facts in environment variables; what it writes to
// standard output is the answer. A few calls run at once, the others wait
// their turn; each has a time limit after which its whole process group is
// killed. Children are always reaped; stopping kills whatever still runs.

#include <sys/types.h>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vorn::emulator {

struct FunctionCall {
    std::string name;
    std::string input;                                     // standard input
    std::vector<std::pair<std::string, std::string>> env;  // added to a minimal environment
};

struct FunctionOutcome {
    enum class Kind {
        Answered,        // exit status 0: `output` is the answer
        Failed,          // another exit status or a signal; `message` says which
        TimedOut,        // killed at the time limit
        OutputTooLarge,  // wrote more than the limit to standard output; killed
        NotFound,        // no such function
        Busy,            // too many calls waiting
        Unavailable,     // could not be started, or the host is stopping
    };
    Kind kind = Kind::Unavailable;
    std::string output;
    std::string message;
    std::string errors;  // what the function wrote to standard error (its last maxErrorBytes)
};

class FunctionHost {
public:
    struct Options {
        std::filesystem::path directory;  // empty: no folder, only the built-in functions
        std::chrono::milliseconds timeout{10000};
        std::size_t maxRunning = 4;
        std::size_t maxWaiting = 64;
        std::size_t maxOutputBytes = std::size_t{1024} * 1024;
        std::size_t maxErrorBytes =
            std::size_t{64} * 1024;  // kept of standard error; its last line is the failure's message
    };

    explicit FunctionHost(Options options);
    ~FunctionHost();  // stop()
    FunctionHost(const FunctionHost&) = delete;
    FunctionHost& operator=(const FunctionHost&) = delete;

    // Whether `name` is a valid function name: 1 to 64 letters, digits, "_" and "-".
    static bool validName(std::string_view name);
    // The executable of the function in the folder, if there is one (a regular
    // executable file whose real path lies inside the folder).
    std::optional<std::filesystem::path> find(const std::string& name) const;
    // The names of the folder's functions, sorted (at most kMaxListed).
    static constexpr std::size_t kMaxListed = 1000;
    std::vector<std::string> names() const;

    // Queues the call; `done` runs on a worker thread of the host (or at once,
    // when the call cannot be queued).
    void run(FunctionCall call, std::function<void(FunctionOutcome)> done);

    // Kills every running function, answers the waiting calls with
    // Unavailable and joins the workers. Idempotent.
    void stop();

    const Options& options() const { return options_; }

private:
    struct Job {
        FunctionCall call;
        std::function<void(FunctionOutcome)> done;
    };
    void work();
    FunctionOutcome execute(const FunctionCall& call);

    Options options_;
    std::filesystem::path realDirectory_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> waiting_;
    std::vector<pid_t> runningGroups_;
    std::vector<std::thread> workers_;
    bool stopping_ = false;
};

}  // namespace vorn::emulator
