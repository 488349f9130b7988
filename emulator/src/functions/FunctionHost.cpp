#include "functions/FunctionHost.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

extern char** environ;

namespace vorn::emulator {

namespace {

// A descriptor closed when it goes out of scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

bool makePipe(Fd& readEnd, Fd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    readEnd = Fd(fds[0]);
    writeEnd = Fd(fds[1]);
    return true;
}

// Waits for the child until the deadline: its process descriptor becomes
// readable when it exits. False when the deadline passed first.
bool awaitExit(pid_t pid, std::chrono::steady_clock::time_point deadline) {
    const Fd exited(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (exited.get() < 0) return true;  // no process descriptors here: waitpid alone, as before
        pollfd fd{exited.get(), POLLIN, 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return true;
    }
}

std::string lastLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const auto newline = text.find_last_of('\n');
    std::string line = newline == std::string::npos ? text : text.substr(newline + 1);
    if (line.size() > 500) line.resize(500);
    return line;
}

}  // namespace

FunctionHost::FunctionHost(Options options) : options_(std::move(options)) {
    if (!options_.directory.empty()) {
        std::error_code ec;
        realDirectory_ = std::filesystem::canonical(options_.directory, ec);
        if (ec || !std::filesystem::is_directory(realDirectory_)) {
            throw std::runtime_error("functions folder " + options_.directory.string() + " is not a folder");
        }
    }
    options_.maxRunning = std::max<std::size_t>(1, options_.maxRunning);
    for (std::size_t i = 0; i < options_.maxRunning; ++i) workers_.emplace_back([this] { work(); });
}

FunctionHost::~FunctionHost() {
    stop();
}

bool FunctionHost::validName(std::string_view name) {
    if (name.empty() || name.size() > 64) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

std::optional<std::filesystem::path> FunctionHost::find(const std::string& name) const {
    if (realDirectory_.empty() || !validName(name)) return std::nullopt;
    std::error_code ec;
    const auto path = std::filesystem::canonical(realDirectory_ / name, ec);
    if (ec || path.parent_path() != realDirectory_) return std::nullopt;
    if (!std::filesystem::is_regular_file(path, ec) || ::access(path.c_str(), X_OK) != 0) return std::nullopt;
    return path;
}

std::vector<std::string> FunctionHost::names() const {
    std::vector<std::string> found;
    if (realDirectory_.empty()) return found;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(realDirectory_, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (find(name)) found.push_back(std::move(name));
        if (found.size() >= kMaxListed) break;
    }
    std::sort(found.begin(), found.end());
    return found;
}

void FunctionHost::run(FunctionCall call, std::function<void(FunctionOutcome)> done) {
    {
        std::lock_guard lock(mutex_);
        if (!stopping_ && waiting_.size() < options_.maxWaiting) {
            waiting_.push_back(Job{std::move(call), std::move(done)});
            wake_.notify_one();
            return;
        }
    }
    FunctionOutcome outcome;
    outcome.kind = FunctionOutcome::Kind::Busy;
    outcome.message = "too many function calls waiting";
    done(std::move(outcome));
}

void FunctionHost::stop() {
    std::deque<Job> abandoned;
    {
        std::lock_guard lock(mutex_);
        if (stopping_ && workers_.empty()) return;
        stopping_ = true;
        abandoned.swap(waiting_);
        for (pid_t group : runningGroups_) ::kill(-group, SIGKILL);
        wake_.notify_all();
    }
    for (auto& job : abandoned) {
        FunctionOutcome outcome;
        outcome.message = "the emulator is stopping";
        job.done(std::move(outcome));
    }
    for (auto& worker : workers_) {
        if (worker.joinable()) worker.join();
    }
    workers_.clear();
}

void FunctionHost::work() {
    // A function that exits without reading its input makes the write fail
    // with EPIPE; the signal stays blocked (and pending) on this thread.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
            if (stopping_) return;
            job = std::move(waiting_.front());
            waiting_.pop_front();
        }
        job.done(execute(job.call));
    }
}

FunctionOutcome FunctionHost::execute(const FunctionCall& call) {
    FunctionOutcome outcome;
    const auto executable = find(call.name);
    if (!executable) {
        outcome.kind = FunctionOutcome::Kind::NotFound;
        outcome.message = "function not found: " + call.name;
        return outcome;
    }

    Fd inRead, inWrite, outRead, outWrite, errRead, errWrite;
    if (!makePipe(inRead, inWrite) || !makePipe(outRead, outWrite) || !makePipe(errRead, errWrite)) {
        outcome.message = "cannot start the function: " + std::error_code(errno, std::generic_category()).message();
        return outcome;
    }

    // A small environment: PATH for scripts, then the caller's facts.
    std::vector<std::string> environment;
    environment.reserve(call.env.size() + 2);
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the emulator never changes its environment
    if (const char* path = std::getenv("PATH")) environment.push_back(std::string("PATH=") + path);
    environment.push_back("HOME=" + realDirectory_.string());
    for (const auto& [key, value] : call.env) {
        std::string entry = key;
        entry += '=';
        entry += value;
        environment.push_back(std::move(entry));
    }
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = executable->string();
    std::vector<char*> argv{program.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inRead.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outWrite.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errWrite.get(), STDERR_FILENO);
    // The child holds its standard input, output and error only: no socket
    // of the emulator (a function that leaves a process behind would keep
    // the port bound) and no other descriptor.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawn_file_actions_addchdir_np(&actions, realDirectory_.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = -1;
    int spawned = 0;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            spawned = ECANCELED;
        } else {
            spawned = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
            if (spawned == 0) runningGroups_.push_back(pid);
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    inRead.reset();
    outWrite.reset();
    errWrite.reset();
    if (spawned != 0) {
        if (spawned == ECANCELED) {
            outcome.message = "the emulator is stopping";
        } else {
            // Not runnable (no "#!" line, a foreign format, ...): the function's fault.
            outcome.kind = FunctionOutcome::Kind::Failed;
            outcome.message =
                "cannot start the function: " + std::error_code(spawned, std::generic_category()).message();
        }
        return outcome;
    }

    ::fcntl(inWrite.get(), F_SETFL, O_NONBLOCK);
    std::size_t written = 0;
    std::string errors;
    const auto deadline = std::chrono::steady_clock::now() + options_.timeout;
    bool timedOut = false;
    bool tooLarge = false;
    // The input is one line: it ends with a newline, so that "read" sees it.
    const std::string input = call.input.empty() || call.input.back() == '\n' ? call.input : call.input + '\n';
    if (input.empty()) inWrite.reset();
    while (outRead.get() >= 0 || errRead.get() >= 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd fds[3];
        nfds_t count = 0;
        const auto watch = [&](const Fd& fd, short events) {
            if (fd.get() >= 0) fds[count++] = pollfd{fd.get(), events, 0};
        };
        watch(outRead, POLLIN);
        watch(errRead, POLLIN);
        watch(inWrite, POLLOUT);
        const int ready = ::poll(fds, count, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR) break;
        for (nfds_t i = 0; i < count && ready > 0; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == inWrite.get()) {
                const auto n = ::write(inWrite.get(), input.data() + written, input.size() - written);
                if (n > 0) written += static_cast<std::size_t>(n);
                if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) inWrite.reset();
                continue;
            }
            char chunk[16384];
            const auto n = ::read(fds[i].fd, chunk, sizeof chunk);
            if (n <= 0) {
                if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    (fds[i].fd == outRead.get() ? outRead : errRead).reset();
                }
                continue;
            }
            if (fds[i].fd == outRead.get()) {
                outcome.output.append(chunk, static_cast<std::size_t>(n));
                if (outcome.output.size() > options_.maxOutputBytes) tooLarge = true;
            } else {
                errors.append(chunk, static_cast<std::size_t>(n));
                if (errors.size() > options_.maxErrorBytes) errors.erase(0, errors.size() - options_.maxErrorBytes);
            }
        }
        if (tooLarge) break;
    }
    inWrite.reset();
    outRead.reset();
    errRead.reset();

    // A child that closed its output may still run: it gets what is left of
    // the time limit, then goes like any other.
    if (!timedOut && !tooLarge && !awaitExit(pid, deadline)) timedOut = true;
    // Whatever still runs of the group goes, and the child is reaped.
    if (timedOut || tooLarge) ::kill(-pid, SIGKILL);
    int status = 0;
    pid_t reaped = -1;
    while ((reaped = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {}
    // A process that ignores SIGCHLD has its children reaped by the
    // kernel: the exit status is lost, and a lost status is no answer.
    const bool statusLost = reaped < 0;
    ::kill(-pid, SIGKILL);
    bool stopped = false;
    {
        std::lock_guard lock(mutex_);
        runningGroups_.erase(std::remove(runningGroups_.begin(), runningGroups_.end(), pid), runningGroups_.end());
        stopped = stopping_;
    }

    outcome.errors = errors;
    if (timedOut) {
        outcome.kind = FunctionOutcome::Kind::TimedOut;
        outcome.message = "timeout";
    } else if (tooLarge) {
        outcome.kind = FunctionOutcome::Kind::OutputTooLarge;
        outcome.message = "the function wrote more than " + std::to_string(options_.maxOutputBytes) + " bytes";
    } else if (stopped) {
        outcome.kind = FunctionOutcome::Kind::Unavailable;
        outcome.message = "the emulator is stopping";
    } else if (statusLost) {
        outcome.kind = FunctionOutcome::Kind::Failed;
        outcome.message = "the function's exit status could not be read (the emulator's process ignores SIGCHLD)";
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        outcome.kind = FunctionOutcome::Kind::Answered;
        return outcome;
    } else {
        outcome.kind = FunctionOutcome::Kind::Failed;
        const std::string line = lastLine(errors);
        if (!line.empty()) {
            outcome.message = line;
        } else if (WIFEXITED(status)) {
            outcome.message = "the function exited with status " + std::to_string(WEXITSTATUS(status));
        } else {
            outcome.message = "the function was killed by signal " + std::to_string(WTERMSIG(status));
        }
    }
    outcome.output.clear();
    return outcome;
}

}  // namespace vorn::emulator
