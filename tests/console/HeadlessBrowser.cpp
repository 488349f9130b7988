#include "HeadlessBrowser.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

namespace vorn::consoletest {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

// A screenshot of a large viewport is several MiB of base64; anything past
// this is a runaway and ends the session.
constexpr std::size_t kMaxBrowserMessage = std::size_t{64} * 1024 * 1024;
// Kept page events; older ones are dropped first.
constexpr std::size_t kMaxQueuedEvents = 2000;
// A cold start of the browser on a busy machine takes a few seconds.
constexpr std::chrono::milliseconds kStartupTimeout = std::chrono::seconds(30);
constexpr std::chrono::milliseconds kCloseTimeout = std::chrono::seconds(3);
constexpr std::chrono::milliseconds kExitTimeout = std::chrono::seconds(5);
constexpr std::size_t kLogTail = 4096;
constexpr std::streamoff kLogScan = 65536;

std::string systemError(const std::string& what, int error) {
    return what + ": " + std::error_code(error, std::generic_category()).message();
}

long long millisOf(std::chrono::milliseconds duration) {
    return static_cast<long long>(duration.count());
}

// A write to the browser's pipe after it died must fail with EPIPE, not end
// the test process. A handler someone installed stays.
void ignoreSigpipe() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL &&
            !(current.sa_flags & SA_SIGINFO)) {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            sigemptyset(&ignore.sa_mask);
            ::sigaction(SIGPIPE, &ignore, nullptr);
        }
    });
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);  // not retried on EINTR: the descriptor is gone either way on Linux
    fd = -1;
}

bool usableExecutable(const fs::path& path) {
    std::error_code error;
    return !path.empty() && fs::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

// A JavaScript string literal with the text of `text`.
std::string jsString(const std::string& text) {
    return json(text).dump(-1, ' ', true, json::error_handler_t::replace);
}

// What a value in a console call or an exception looks like as text.
std::string remoteObjectText(const json& object) {
    if (!object.is_object()) return object.dump();
    if (auto value = object.find("value"); value != object.end()) {
        return value->is_string() ? value->get<std::string>() : value->dump();
    }
    if (auto description = object.find("description"); description != object.end() && description->is_string()) {
        return description->get<std::string>();
    }
    if (auto unserializable = object.find("unserializableValue"); unserializable != object.end()) {
        return unserializable->is_string() ? unserializable->get<std::string>() : unserializable->dump();
    }
    return object.value("type", std::string("undefined"));
}

// " (URL:LINE:COLUMN)" of an exception or log entry, when it has a URL.
std::string whereText(const json& details) {
    const std::string url = details.value("url", std::string());
    if (url.empty()) return {};
    std::string where = " (" + url;
    if (auto line = details.find("lineNumber"); line != details.end() && line->is_number_integer()) {
        where += ":" + std::to_string(line->get<long long>() + 1);
        if (auto column = details.find("columnNumber"); column != details.end() && column->is_number_integer()) {
            where += ":" + std::to_string(column->get<long long>() + 1);
        }
    }
    return where + ")";
}

// The text of Runtime exceptionDetails: the exception's description (its
// stack, for an Error), else the rejected value, else the bare message.
std::string exceptionText(const json& details) {
    if (auto exception = details.find("exception"); exception != details.end() && exception->is_object()) {
        if (exception->contains("description") || exception->contains("value")) {
            return remoteObjectText(*exception);
        }
    }
    return details.value("text", std::string("exception"));
}

std::string decodeBase64(const std::string& text) {
    if (text.size() % 4 != 0 || text.size() > static_cast<std::size_t>(INT32_MAX)) {
        throw std::runtime_error("screenshot: the browser sent malformed base64 (" + std::to_string(text.size()) +
                                 " characters)");
    }
    std::string bytes(text.size() / 4 * 3, '\0');
    const int written =
        ::EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                          reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (written < 0) throw std::runtime_error("screenshot: the browser sent malformed base64");
    // EVP_DecodeBlock counts the zero bytes that stand for the padding.
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') ++padding;
    if (text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
    bytes.resize(static_cast<std::size_t>(written) - padding);
    return bytes;
}

void writeFileAtomically(const fs::path& file, const std::string& bytes) {
    static std::atomic<unsigned> counter{0};
    const fs::path parent = file.parent_path();
    if (!parent.empty()) fs::create_directories(parent);
    fs::path temporary = file;
    temporary += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.flush();
        if (!out) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            throw std::runtime_error("cannot write " + temporary.string());
        }
    }
    std::error_code error;
    fs::rename(temporary, file, error);
    if (error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw std::runtime_error("cannot replace " + file.string() + ": " + error.message());
    }
}

}  // namespace

std::optional<std::filesystem::path> HeadlessBrowser::executable() {
    if (const char* configured = std::getenv("VORN_CHROMIUM"); configured && *configured) {
        if (usableExecutable(configured)) return fs::path(configured);
    }
    for (const char* candidate : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
        if (usableExecutable(candidate)) return fs::path(candidate);
    }
    return std::nullopt;
}

HeadlessBrowser::HeadlessBrowser(int width, int height) {
    try {
        launch(width, height);
        attach(width, height);
    } catch (...) {
        shutdown();
        throw;
    }
}

HeadlessBrowser::~HeadlessBrowser() {
    shutdown();
}

void HeadlessBrowser::launch(int width, int height) {
    const auto program = executable();
    if (!program) throw std::runtime_error("no Chromium: set VORN_CHROMIUM or install /usr/bin/chromium");
    ignoreSigpipe();

    std::string pattern = (fs::temp_directory_path() / "vorn-chromium-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error(systemError("mkdtemp " + pattern, errno));
    rootDir_ = pattern;
    const fs::path profile = rootDir_ / "profile";
    fs::create_directories(profile);
    logFile_ = rootDir_ / "chromium.log";

    std::vector<std::string> arguments = {program->string(),
                                          "--headless=new",
                                          "--no-sandbox",
                                          "--disable-gpu",
                                          "--disable-quic",
                                          "--no-first-run",
                                          "--no-default-browser-check",
                                          "--disable-background-networking",
                                          "--disable-component-update",
                                          "--disable-sync",
                                          "--disable-extensions",
                                          "--disable-dev-shm-usage",
                                          "--hide-scrollbars",
                                          "--mute-audio",
                                          "--remote-debugging-pipe",
                                          "--user-data-dir=" + profile.string(),
                                          "--window-size=" + std::to_string(width) + "," + std::to_string(height),
                                          "about:blank"};
    // Chromium keeps its crash database and caches under the XDG folders,
    // whatever the --user-data-dir: they go to the temporary folder too.
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view variable = *entry;
        if (variable.starts_with("XDG_CONFIG_HOME=") || variable.starts_with("XDG_CACHE_HOME=")) continue;
        environment.emplace_back(variable);
    }
    for (const auto& [name, folder] : {std::pair{"XDG_CONFIG_HOME", "config"}, std::pair{"XDG_CACHE_HOME", "cache"}}) {
        fs::create_directories(rootDir_ / folder);
        environment.push_back(std::string(name) + "=" + (rootDir_ / folder).string());
    }
    // Everything the child needs exists before the fork: after it only
    // async-signal-safe calls are allowed.
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);

    int toBrowser[2] = {-1, -1};
    int fromBrowser[2] = {-1, -1};
    int wake[2] = {-1, -1};
    int execStatus[2] = {-1, -1};  // the child's errno when exec fails; closed by a successful exec
    int devNull = -1;
    int log = -1;
    auto closeAll = [&] {
        for (int* fd : {&toBrowser[0], &toBrowser[1], &fromBrowser[0], &fromBrowser[1], &wake[0], &wake[1],
                        &execStatus[0], &execStatus[1], &devNull, &log}) {
            closeFd(*fd);
        }
    };
    if (::pipe2(toBrowser, O_CLOEXEC) != 0 || ::pipe2(fromBrowser, O_CLOEXEC) != 0 || ::pipe2(wake, O_CLOEXEC) != 0 ||
        ::pipe2(execStatus, O_CLOEXEC) != 0) {
        const int error = errno;
        closeAll();
        throw std::runtime_error(systemError("pipe2", error));
    }
    devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    log = ::open(logFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (devNull < 0 || log < 0) {
        const int error = errno;
        closeAll();
        throw std::runtime_error(systemError("open " + logFile_.string(), error));
    }

    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        closeAll();
        throw std::runtime_error(systemError("fork", error));
    }
    if (child == 0) {
        auto fail = [&] {
            const int error = errno;
            [[maybe_unused]] auto ignored = ::write(execStatus[1], &error, sizeof error);
            ::_exit(127);
        };
        // The test process may block or ignore signals; the browser starts clean.
        sigset_t none;
        sigemptyset(&none);
        ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
        struct sigaction byDefault {};
        byDefault.sa_handler = SIG_DFL;
        sigemptyset(&byDefault.sa_mask);
        ::sigaction(SIGPIPE, &byDefault, nullptr);
        // A group of its own, so that its helper processes can be killed
        // with it; and no browser outliving a crashed test.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        // Above the standard descriptors first, so that the dup2 calls
        // below cannot overwrite one another.
        const int commands = ::fcntl(toBrowser[0], F_DUPFD_CLOEXEC, 10);
        const int replies = ::fcntl(fromBrowser[1], F_DUPFD_CLOEXEC, 10);
        const int input = ::fcntl(devNull, F_DUPFD_CLOEXEC, 10);
        const int output = ::fcntl(log, F_DUPFD_CLOEXEC, 10);
        const int status = ::fcntl(execStatus[1], F_DUPFD_CLOEXEC, 10);
        if (commands < 0 || replies < 0 || input < 0 || output < 0 || status < 0) fail();
        execStatus[1] = status;
        if (::dup2(input, 0) < 0 || ::dup2(output, 1) < 0 || ::dup2(output, 2) < 0 || ::dup2(commands, 3) < 0 ||
            ::dup2(replies, 4) < 0) {
            fail();
        }
        // Every other descriptor of the test process (sockets of a running
        // emulator, ...) stays out of the browser: exec closes them, the
        // status pipe among them.
        if (::close_range(5, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
            struct rlimit limit {};
            const int highest = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536
                                    ? static_cast<int>(limit.rlim_cur)
                                    : 65536;
            for (int fd = 5; fd < highest; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        ::execve(argv[0], argv.data(), envp.data());
        fail();
    }

    pid_ = child;
    ::setpgid(child, child);  // also here: whichever runs first, the group exists before it is used
    closeFd(toBrowser[0]);
    closeFd(fromBrowser[1]);
    closeFd(execStatus[1]);
    closeFd(devNull);
    closeFd(log);
    commandFd_ = std::exchange(toBrowser[1], -1);
    replyFd_ = std::exchange(fromBrowser[0], -1);
    wakeRead_ = std::exchange(wake[0], -1);
    wakeWrite_ = std::exchange(wake[1], -1);
    // Writes wait with a deadline (poll) instead of blocking on a browser
    // that stopped reading.
    ::fcntl(commandFd_, F_SETFL, ::fcntl(commandFd_, F_GETFL) | O_NONBLOCK);

    int childError = 0;
    ssize_t got;
    do {
        got = ::read(execStatus[0], &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    closeFd(execStatus[0]);
    if (got == static_cast<ssize_t>(sizeof childError)) {
        throw std::runtime_error(systemError("cannot start " + program->string(), childError));
    }

    reader_ = std::thread([this] { readLoop(); });
}

void HeadlessBrowser::attach(int width, int height) {
    const json targets = command("Target.getTargets", json::object(), false, kStartupTimeout);
    std::string targetId;
    for (const auto& target : targets.value("targetInfos", json::array())) {
        if (target.value("type", std::string()) == "page") {
            targetId = target.value("targetId", std::string());
            if (!targetId.empty()) break;
        }
    }
    if (targetId.empty()) {
        targetId = command("Target.createTarget", {{"url", "about:blank"}}, false).at("targetId").get<std::string>();
    }
    const std::string session =
        command("Target.attachToTarget", {{"targetId", targetId}, {"flatten", true}}, false).at("sessionId");
    {
        std::lock_guard lock(mutex_);
        sessionId_ = session;
    }
    for (const char* domain : {"Page.enable", "Runtime.enable", "Network.enable", "Log.enable"}) command(domain);
    command("Emulation.setDeviceMetricsOverride",
            {{"width", width}, {"height", height}, {"deviceScaleFactor", 1}, {"mobile", false}});
}

void HeadlessBrowser::shutdown() noexcept {
    if (pid_ > 0) {
        bool connected = false;
        {
            std::lock_guard lock(mutex_);
            connected = !gone_ && commandFd_ >= 0;
        }
        // A browser that does not even answer is killed at once; one that
        // answered, or closed its pipe, gets a moment to exit.
        bool closing = false;
        if (connected) {
            try {
                command("Browser.close", json::object(), false, kCloseTimeout);
                closing = true;
            } catch (...) {}
        }
        {
            std::lock_guard lock(mutex_);
            closing = closing || pipeClosed_;
        }
        // Waited for without reaping, so that its process group cannot be
        // reused before the helpers left in it are killed.
        bool exited = false;
        const auto until = Clock::now() + (closing ? kExitTimeout : std::chrono::milliseconds(0));
        for (;;) {
            siginfo_t info{};
            const int result = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
            if (result == 0 && info.si_pid == pid_) {
                exited = true;
                break;
            }
            if (result < 0 && errno != EINTR) break;
            if (Clock::now() >= until) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(-pid_, SIGKILL);
        if (!exited) ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {}
        pid_ = -1;
    }
    if (reader_.joinable()) {
        const char stop = 1;
        while (::write(wakeWrite_, &stop, 1) < 0 && errno == EINTR) {}
        reader_.join();
    }
    for (int* fd : {&commandFd_, &replyFd_, &wakeRead_, &wakeWrite_}) closeFd(*fd);
    if (!rootDir_.empty()) {
        // Killed helpers may still be letting go of files for a moment.
        for (int attempt = 0; attempt < 10; ++attempt) {
            std::error_code error;
            fs::remove_all(rootDir_, error);
            if (!error) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        rootDir_.clear();
    }
}

void HeadlessBrowser::readLoop() {
    std::string message;
    std::vector<char> chunk(std::size_t{1} << 16);
    auto end = [this](std::string why) {
        std::lock_guard lock(mutex_);
        if (!gone_) {
            gone_ = true;
            goneWhy_ = std::move(why);
        }
        changed_.notify_all();
    };
    for (;;) {
        pollfd fds[2] = {{replyFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return end(systemError("poll", errno));
        }
        if (fds[1].revents != 0) return end("the browser was closed");
        if (fds[0].revents == 0) continue;
        const ssize_t got = ::read(replyFd_, chunk.data(), chunk.size());
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return end(systemError("reading from the browser", errno));
        }
        if (got == 0) {
            {
                std::lock_guard lock(mutex_);
                pipeClosed_ = true;
            }
            return end("the browser exited (its DevTools pipe closed)");
        }
        const char* data = chunk.data();
        std::size_t left = static_cast<std::size_t>(got);
        while (left > 0) {
            const void* nul = std::memchr(data, '\0', left);
            const std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - data) : left;
            message.append(data, length);
            if (message.size() > kMaxBrowserMessage) {
                return end("the browser sent a message of more than " + std::to_string(kMaxBrowserMessage) + " bytes");
            }
            if (!nul) break;
            dispatch(message);
            message.clear();
            data += length + 1;
            left -= length + 1;
        }
    }
}

void HeadlessBrowser::dispatch(const std::string& text) {
    json message = json::parse(text, nullptr, false);
    if (!message.is_object()) return;
    if (auto id = message.find("id"); id != message.end() && id->is_number_integer()) {
        const int key = id->get<int>();
        std::lock_guard lock(mutex_);
        if (awaiting_.count(key) != 0) {
            replies_[key] = std::move(message);
            changed_.notify_all();
        }
        return;
    }
    auto method = message.find("method");
    if (method == message.end() || !method->is_string()) return;
    Event event;
    event.method = method->get<std::string>();
    event.sessionId = message.value("sessionId", std::string());
    if (auto params = message.find("params"); params != message.end()) event.params = std::move(*params);
    recordEvent(std::move(event));
}

void HeadlessBrowser::recordEvent(Event event) {
    const json& params = event.params;
    std::optional<std::string> error;
    std::optional<std::string> url;
    if (!params.is_object()) {
    } else if (event.method == "Runtime.exceptionThrown") {
        const json details = params.value("exceptionDetails", json::object());
        error = "uncaught " + exceptionText(details) + whereText(details);
    } else if (event.method == "Runtime.consoleAPICalled") {
        if (params.value("type", std::string()) == "error") {
            std::string text = "console.error:";
            for (const auto& argument : params.value("args", json::array())) text += " " + remoteObjectText(argument);
            error = std::move(text);
        }
    } else if (event.method == "Log.entryAdded") {
        const json entry = params.value("entry", json::object());
        if (entry.value("level", std::string()) == "error") {
            error = entry.value("source", std::string("log")) + ": " + entry.value("text", std::string()) +
                    whereText(entry);
        }
    } else if (event.method == "Network.requestWillBeSent") {
        if (auto request = params.find("request"); request != params.end() && request->is_object()) {
            url = request->value("url", std::string());
        }
    }

    std::lock_guard lock(mutex_);
    if (event.method == "Network.requestWillBeSent" && params.value("type", std::string()) == "Document") {
        documentRequests_.insert(params.value("requestId", std::string()));
    }
    if (error && event.method == "Log.entryAdded") {
        // Chromium logs every HTTP error status as an error. That of a page
        // itself is the test's to check (an error page is a page), and the
        // browser asks for /favicon.ico on its own; a failed script, style
        // sheet or fetch of the page still counts.
        const json entry = params.value("entry", json::object());
        if (entry.value("source", std::string()) == "network") {
            const std::string entryUrl = entry.value("url", std::string());
            const std::string_view favicon = "/favicon.ico";
            if (documentRequests_.count(entry.value("networkRequestId", std::string())) != 0 ||
                (entryUrl.size() >= favicon.size() &&
                 entryUrl.compare(entryUrl.size() - favicon.size(), favicon.size(), favicon) == 0)) {
                error.reset();
            }
        }
    }
    if (error) pageErrors_.push_back(std::move(*error));
    if (url) requestedUrls_.push_back(std::move(*url));
    event.sequence = ++eventSequence_;
    events_.push_back(std::move(event));
    if (events_.size() > kMaxQueuedEvents) events_.pop_front();
    changed_.notify_all();
}

void HeadlessBrowser::send(const std::string& text, Deadline deadline) {
    std::lock_guard writing(writeMutex_);
    const char* data = text.c_str();  // with the NUL that ends the message
    std::size_t left = text.size() + 1;
    bool started = false;
    auto broken = [&](const std::string& why) {
        // Half a message on the pipe leaves nothing to talk to.
        if (started) {
            std::lock_guard lock(mutex_);
            if (!gone_) {
                gone_ = true;
                goneWhy_ = why + " in the middle of a message";
            }
            changed_.notify_all();
        }
        return std::runtime_error(why);
    };
    while (left > 0) {
        const ssize_t written = ::write(commandFd_, data, left);
        if (written > 0) {
            started = true;
            data += written;
            left -= static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno == EPIPE) {
            std::lock_guard lock(mutex_);
            pipeClosed_ = true;
            if (!gone_) {
                gone_ = true;
                goneWhy_ = "the browser exited (its DevTools pipe closed)";
            }
            changed_.notify_all();
            throw std::runtime_error(goneReason());
        }
        if (written < 0 && errno != EAGAIN) throw broken(systemError("writing to the browser", errno));
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (remaining.count() <= 0) throw broken("the browser does not read its commands");
        pollfd fd{commandFd_, POLLOUT, 0};
        if (::poll(&fd, 1, static_cast<int>(std::min<long long>(remaining.count(), 60000))) < 0 && errno != EINTR) {
            throw broken(systemError("poll", errno));
        }
    }
}

json HeadlessBrowser::command(const std::string& method, json params, bool pageSession,
                              std::chrono::milliseconds timeout) {
    const Deadline deadline = Clock::now() + timeout;
    json message = {{"method", method}};
    if (params.is_null()) params = json::object();
    message["params"] = std::move(params);
    int id = 0;
    {
        std::lock_guard lock(mutex_);
        if (gone_) throw std::runtime_error(method + ": " + goneReason());
        if (pageSession) {
            if (sessionId_.empty()) throw std::runtime_error(method + ": not attached to a page");
            message["sessionId"] = sessionId_;
        }
        id = ++nextId_;
        awaiting_.insert(id);
    }
    message["id"] = id;
    try {
        send(message.dump(-1, ' ', false, json::error_handler_t::replace), deadline);
    } catch (const std::exception& error) {
        std::lock_guard lock(mutex_);
        awaiting_.erase(id);
        throw std::runtime_error(method + ": " + error.what());
    }

    json reply;
    {
        std::unique_lock lock(mutex_);
        const bool answered = changed_.wait_until(lock, deadline, [&] { return replies_.count(id) != 0 || gone_; }) &&
                              replies_.count(id) != 0;
        awaiting_.erase(id);
        if (!answered) {
            if (gone_) throw std::runtime_error(method + ": " + goneReason());
            throw std::runtime_error(method + ": no reply from the browser within " +
                                     std::to_string(millisOf(timeout)) + " ms");
        }
        auto found = replies_.find(id);
        reply = std::move(found->second);
        replies_.erase(found);
    }
    if (auto error = reply.find("error"); error != reply.end()) {
        std::string text = method + " failed: " + error->value("message", std::string("unknown error"));
        if (auto data = error->find("data"); data != error->end()) {
            text += " (" + (data->is_string() ? data->get<std::string>() : data->dump()) + ")";
        }
        if (auto code = error->find("code"); code != error->end()) text += " [" + code->dump() + "]";
        throw std::runtime_error(text);
    }
    auto result = reply.find("result");
    return result == reply.end() ? json::object() : std::move(*result);
}

template <class Accept>
HeadlessBrowser::Event HeadlessBrowser::takeEvent(const std::string& method, std::uint64_t after, Deadline deadline,
                                                  Accept accept) {
    std::unique_lock lock(mutex_);
    for (;;) {
        for (auto it = events_.begin(); it != events_.end(); ++it) {
            if (it->sequence > after && it->method == method && it->sessionId == sessionId_ && accept(it->params)) {
                Event event = std::move(*it);
                events_.erase(it);
                return event;
            }
        }
        if (gone_) throw std::runtime_error("waiting for " + method + ": " + goneReason());
        if (Clock::now() >= deadline) throw std::runtime_error("no " + method + " came in time");
        changed_.wait_until(lock, deadline);
    }
}

json HeadlessBrowser::waitForEvent(const std::string& method, std::chrono::milliseconds timeout) {
    return takeEvent(method, 0, Clock::now() + timeout, [](const json&) { return true; }).params;
}

void HeadlessBrowser::navigate(const std::string& url, std::chrono::milliseconds timeout) {
    const Deadline deadline = Clock::now() + timeout;
    std::uint64_t mark = 0;
    {
        // Events of earlier navigations are of no use any more.
        std::lock_guard lock(mutex_);
        std::erase_if(events_, [](const Event& event) {
            return event.method == "Page.frameNavigated" || event.method == "Page.loadEventFired";
        });
        mark = eventSequence_;
    }
    const json result = command("Page.navigate", {{"url", url}}, true, timeout);
    if (const std::string failure = result.value("errorText", std::string()); !failure.empty()) {
        throw std::runtime_error("navigating to " + url + " failed: " + failure);
    }
    const std::string loaderId = result.value("loaderId", std::string());
    if (loaderId.empty()) return;  // a fragment change in the same document: nothing loads
    const std::string frameId = result.value("frameId", std::string());
    try {
        // The load event of this navigation is the first one after its
        // document was committed.
        const Event committed = takeEvent("Page.frameNavigated", mark, deadline, [&](const json& params) {
            const json frame = params.value("frame", json::object());
            return frame.value("id", std::string()) == frameId && frame.value("loaderId", std::string()) == loaderId;
        });
        takeEvent("Page.loadEventFired", committed.sequence, deadline, [](const json&) { return true; });
    } catch (const std::exception& error) {
        throw std::runtime_error("navigating to " + url + " (within " + std::to_string(millisOf(timeout)) +
                                 " ms): " + error.what());
    }
}

json HeadlessBrowser::evaluate(const std::string& expression, std::chrono::milliseconds timeout) {
    const json result =
        command("Runtime.evaluate", {{"expression", expression}, {"awaitPromise", true}, {"returnByValue", true}}, true,
                timeout);
    if (auto details = result.find("exceptionDetails"); details != result.end()) {
        throw std::runtime_error("JavaScript error: " + exceptionText(*details));
    }
    const json remote = result.value("result", json::object());
    if (auto value = remote.find("value"); value != remote.end()) return *value;
    if (auto unserializable = remote.find("unserializableValue"); unserializable != remote.end()) {
        return *unserializable;
    }
    return nullptr;
}

json HeadlessBrowser::waitFor(const std::string& jsCondition, std::chrono::milliseconds timeout) {
    // The page polls: on each animation frame, or after 20 ms when frames do
    // not come. The condition goes in on lines of its own so that a trailing
    // comment in it cannot swallow the rest.
    const std::string script =
        "(async (condition, limit, text) => {\n"
        "  const deadline = performance.now() + limit;\n"
        "  let lastError = null;\n"
        "  for (;;) {\n"
        "    try {\n"
        "      const value = await condition();\n"
        "      if (value) return value;\n"
        "      lastError = null;\n"
        "    } catch (error) {\n"
        "      lastError = error;\n"
        "    }\n"
        "    if (performance.now() >= deadline) {\n"
        "      throw new Error('timed out after ' + limit + ' ms waiting for ' + text +\n"
        "                      (lastError ? ' (it threw ' + lastError + ')' : ''));\n"
        "    }\n"
        "    await new Promise((tick) => {\n"
        "      const timer = setTimeout(tick, 20);\n"
        "      requestAnimationFrame(() => { clearTimeout(timer); tick(); });\n"
        "    });\n"
        "  }\n"
        "})(() => (\n" +
        jsCondition + "\n), " + std::to_string(millisOf(timeout)) + ", " + jsString(jsCondition) + ")";
    return evaluate(script, timeout + kCommandTimeout);
}

void HeadlessBrowser::click(const std::string& cssSelector) {
    const std::string selector = jsString(cssSelector);
    evaluate(
        "(() => {\n"
        "  const element = document.querySelector(" +
        selector +
        ");\n"
        "  if (!element) throw new Error('no element matches ' + " +
        selector +
        ");\n"
        "  element.click();\n"
        "})()");
}

void HeadlessBrowser::setValue(const std::string& cssSelector, const std::string& value) {
    // Through the prototype's setter, as typing would: a framework that
    // wraps the element's own value property still sees the change.
    const std::string selector = jsString(cssSelector);
    evaluate(
        "(() => {\n"
        "  const element = document.querySelector(" +
        selector +
        ");\n"
        "  if (!element) throw new Error('no element matches ' + " +
        selector +
        ");\n"
        "  const prototype = Object.getPrototypeOf(element);\n"
        "  const property = prototype && Object.getOwnPropertyDescriptor(prototype, 'value');\n"
        "  if (property && property.set) property.set.call(element, " +
        jsString(value) + ");\n  else element.value = " + jsString(value) +
        ";\n"
        "  element.dispatchEvent(new Event('input', {bubbles: true}));\n"
        "  element.dispatchEvent(new Event('change', {bubbles: true}));\n"
        "})()");
}

void HeadlessBrowser::screenshot(const std::filesystem::path& file) {
    const json result = command("Page.captureScreenshot", {{"format", "png"}, {"captureBeyondViewport", false}}, true,
                                std::chrono::seconds(30));
    auto data = result.find("data");
    if (data == result.end() || !data->is_string()) throw std::runtime_error("screenshot: no image in the reply");
    writeFileAtomically(file, decodeBase64(data->get_ref<const std::string&>()));
}

std::vector<std::string> HeadlessBrowser::pageErrors() const {
    std::lock_guard lock(mutex_);
    return pageErrors_;
}

std::vector<std::string> HeadlessBrowser::requestedUrls() const {
    std::lock_guard lock(mutex_);
    return requestedUrls_;
}

std::string HeadlessBrowser::browserLog() const {
    std::ifstream in(logFile_, std::ios::binary);
    if (!in) return {};
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    const std::streamoff start = size > kLogScan ? size - kLogScan : 0;
    in.seekg(start);
    std::string text(static_cast<std::size_t>(size - start), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    // Without a session bus (a container, CI) every start logs a screenful
    // of D-Bus failures, which say nothing about the page.
    std::vector<std::string_view> lines;
    std::string_view rest = text;
    if (start > 0) rest.remove_prefix(std::min(rest.size(), rest.find('\n') + 1));  // a partial first line
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.size(), rest.find('\n'));
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(rest.size(), end + 1));
        if (!line.empty() && line.find(":ERROR:dbus/") == std::string_view::npos) lines.push_back(line);
    }
    std::string tail;
    for (auto line = lines.rbegin(); line != lines.rend() && tail.size() + line->size() < kLogTail; ++line) {
        tail.insert(0, std::string(*line) + "\n");
    }
    return tail;
}

std::string HeadlessBrowser::goneReason() const {
    std::string reason = goneWhy_.empty() ? std::string("the browser is gone") : goneWhy_;
    const std::string log = browserLog();
    if (!log.empty()) reason += "; its last output:\n" + log;
    return reason;
}

}  // namespace vorn::consoletest
