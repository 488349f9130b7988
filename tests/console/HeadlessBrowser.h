#pragma once

// A headless Chromium for page tests, driven through the DevTools protocol
// over --remote-debugging-pipe: no WebDriver, no debugging port. The browser
// reads commands from its fd 3 and writes replies and events to its fd 4,
// each message one JSON text ended by a NUL byte.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace vorn::consoletest {

class HeadlessBrowser {
public:
    static constexpr std::chrono::milliseconds kCommandTimeout = std::chrono::seconds(15);

    /// The browser to run: $VORN_CHROMIUM when set and executable, else
    /// /usr/bin/chromium, else /usr/bin/chromium-browser; nullopt when there
    /// is none (a test then skips).
    static std::optional<std::filesystem::path> executable();

    /// Starts the browser with a fresh profile in a temporary folder and
    /// attaches to a blank page of width x height CSS pixels. Throws
    /// std::runtime_error when there is no browser or it does not come up.
    /// The browser dies with the thread that started it (and with the test
    /// process): use one from the thread that made it, or a longer-lived one.
    explicit HeadlessBrowser(int width = 1280, int height = 900);
    /// Closes the browser (killing it when it does not exit within 5 s),
    /// reaps it and removes the profile folder.
    ~HeadlessBrowser();
    HeadlessBrowser(const HeadlessBrowser&) = delete;
    HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

    /// Sends a DevTools command and returns the "result" of its reply; page
    /// commands go to the attached page's session, the others to the browser.
    /// Throws std::runtime_error with the browser's message on an error reply,
    /// on timeout and when the browser is gone.
    nlohmann::json command(const std::string& method, nlohmann::json params = nlohmann::json::object(),
                           bool pageSession = true, std::chrono::milliseconds timeout = kCommandTimeout);

    /// Loads url in the page and returns once its load event fired. Throws
    /// when the navigation fails (unreachable host, ...) or the page does not
    /// load in time. An HTTP error status is not a failure: its page loads.
    void navigate(const std::string& url, std::chrono::milliseconds timeout = kCommandTimeout);

    /// Evaluates a JavaScript expression in the page, awaiting a promise, and
    /// returns its value as JSON (null for undefined; NaN, Infinity, -0 and
    /// bigints as their text). A thrown exception or a rejection becomes a
    /// std::runtime_error with its description.
    nlohmann::json evaluate(const std::string& expression, std::chrono::milliseconds timeout = kCommandTimeout);

    /// Waits until the JavaScript expression jsCondition is truthy and returns
    /// its value. The page re-checks it on every animation frame (at least
    /// every 20 ms); an exception in it counts as false. Throws, naming the
    /// condition, when it does not hold within timeout.
    nlohmann::json waitFor(const std::string& jsCondition,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10));

    /// Clicks the first element matching cssSelector; throws when none does.
    void click(const std::string& cssSelector);
    /// Sets the value of the first element matching cssSelector (an input,
    /// select or textarea) and dispatches "input" and "change" on it.
    void setValue(const std::string& cssSelector, const std::string& value);

    /// Writes a PNG of the viewport to file, replacing it in one step; the
    /// parent folders are created.
    void screenshot(const std::filesystem::path& file);

    /// Uncaught exceptions, console.error calls and error log entries of the
    /// page so far, as text. The HTTP error status of a page itself (and of
    /// the browser's own /favicon.ico request) is not among them; that of a
    /// resource the page loads is.
    std::vector<std::string> pageErrors() const;
    /// The URL of every request the page made so far, in order.
    std::vector<std::string> requestedUrls() const;

    /// Waits for a page event not yet waited for (method such as
    /// "Page.javascriptDialogOpening"), removes it from the queue and returns
    /// its params. Only the last 2000 events are kept.
    nlohmann::json waitForEvent(const std::string& method, std::chrono::milliseconds timeout = kCommandTimeout);

    /// The last few kilobytes of the browser's stderr, without its D-Bus
    /// complaints, for diagnostics.
    std::string browserLog() const;

private:
    struct Event {
        std::uint64_t sequence = 0;
        std::string method;
        std::string sessionId;
        nlohmann::json params;
    };
    using Deadline = std::chrono::steady_clock::time_point;

    void launch(int width, int height);
    void attach(int width, int height);
    void shutdown() noexcept;
    void readLoop();
    void dispatch(const std::string& text);
    void recordEvent(Event event);
    void send(const std::string& text, Deadline deadline);
    // Waits for the first queued page event of `method` after sequence `after`
    // that `accept` takes; removes it and returns it.
    template <class Accept>
    Event takeEvent(const std::string& method, std::uint64_t after, Deadline deadline, Accept accept);
    std::string goneReason() const;  // with mutex_ held

    std::filesystem::path rootDir_;  // the profile and the log
    std::filesystem::path logFile_;
    pid_t pid_ = -1;
    int commandFd_ = -1;  // our end of the browser's fd 3
    int replyFd_ = -1;    // our end of the browser's fd 4
    int wakeRead_ = -1;   // a byte on it stops the reader
    int wakeWrite_ = -1;
    std::thread reader_;
    std::mutex writeMutex_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int nextId_ = 0;
    std::set<int> awaiting_;
    std::map<int, nlohmann::json> replies_;
    std::deque<Event> events_;
    std::uint64_t eventSequence_ = 0;
    std::vector<std::string> pageErrors_;
    std::vector<std::string> requestedUrls_;
    std::set<std::string> documentRequests_;  // request ids of pages (not of their resources)
    std::string sessionId_;
    bool gone_ = false;        // no more replies: every command fails
    bool pipeClosed_ = false;  // the browser's end of a pipe closed: it is exiting
    std::string goneWhy_;
};

}  // namespace vorn::consoletest
