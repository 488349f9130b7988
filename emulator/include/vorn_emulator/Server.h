#pragma once

// The emulator's HTTP/1.1 server: keep-alive connections on loopback, one
// io_context thread that runs every handler and owns the Storage.

#include <chrono>
#include <cstddef>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "vorn_emulator/Faults.h"
#include "vorn_emulator/Realtime.h"

namespace boost::asio {
class io_context;
}

namespace vorn::emulator {

class FileService;
class Router;
class Storage;

struct Options {
    std::string address = "127.0.0.1";  // must be a loopback address ("localhost" means 127.0.0.1)
    unsigned short port = 8470;         // 0 picks a free port
    std::string appKey;                 // empty: any key accepted
    std::string dataDir = "vorn-emulator-data";
    bool memory = false;                                    // in-memory database, nothing written under dataDir
    bool verbose = false;                                   // one line per request on stderr
    std::size_t bodyLimit = std::size_t{64} * 1024 * 1024;  // largest accepted request body in bytes
    bool absoluteFileUrls = false;  // file replies carry "http://HOST:PORT/files/..." instead of "files/..."
    std::chrono::milliseconds uploadSessionIdleTime = std::chrono::minutes(10);  // unfinished uploads expire
    std::vector<Fault> faults;                                                   // set at start, see Faults.h
    std::string functionsDir;  // cloud functions: every executable file in it; empty: only the built-ins
    std::chrono::milliseconds functionTimeout =
        std::chrono::seconds(10);  // then the function's process group is killed
    // A request (header and body) must arrive within readTimeout: from the
    // accept for a connection's first request, from its first byte for later
    // ones. Past it the connection is closed, with HTTP 408 (code 109) when
    // part of the request came. A response being prepared (delayed, deferred)
    // is not limited.
    std::chrono::milliseconds readTimeout = std::chrono::seconds(30);
    // A kept-alive connection with no request begun for this long is closed.
    std::chrono::milliseconds idleTimeout = std::chrono::seconds(60);
    // Open connections at most; beyond it a new connection is accepted and
    // closed at once, without a byte.
    std::size_t maxConnections = 512;
    // Parsed objects kept between finds, in (estimated) bytes at most; 0
    // keeps none.
    std::size_t objectCacheBytes = std::size_t{256} * 1024 * 1024;
    // The realtime host (Realtime.h) on a port of its own, started and
    // stopped with the server; nullopt: none.
    std::optional<RealtimeOptions> realtime;
    // Serve TLS with this identity: the HTTP port and, unless its own
    // options name another identity, the realtime port. nullopt: plain TCP.
    std::optional<TlsIdentity> tls;
};

class Server {
public:
    // Opens the storage and registers the built-in handlers. Throws
    // std::invalid_argument for a non-loopback address or a time or connection
    // limit of 0, and the storage's errors when the data folder cannot be opened.
    explicit Server(Options options);
    ~Server();  // stops
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds, then serves on a thread of its own. Returns the bound port.
    // The realtime host, when configured, is started first, on its own thread.
    unsigned short start();

    // Binds, calls onListening(port), then serves on the calling thread until
    // stop() (from any thread, a handler, or a signal handler on ioContext()).
    void run(const std::function<void(unsigned short)>& onListening = {});

    // Closes the listener and every connection and, after start(), joins the
    // thread. Idempotent; a stopped server does not start again.
    void stop();

    // The bound port (0 before start or run).
    unsigned short port() const;
    bool running() const;

    const Options& options() const;
    // Register routes before start() or run(); later changes must go through call().
    Router& router();
    Storage& storage();
    // Stored files and upload sessions; use through call() while running.
    FileService& files();
    // Injected faults; thread-safe, usable from any thread.
    FaultInjector& faults();
    boost::asio::io_context& ioContext();
    // The realtime host; null when Options::realtime is not set.
    RealtimeHost* realtime();
    // Its bound port (0 when there is none, or before start or run).
    unsigned short realtimePort() const;
    // Data-change subscriptions open on the realtime host; thread-safe.
    std::size_t realtimeSubscriptionCount() const;

    // Runs fn on the server thread and waits for its result (or exception).
    // Runs it directly when the server is not running or when called from a
    // handler. Use this to touch storage() while the server is running.
    template <class Fn>
    auto call(Fn&& fn) -> std::invoke_result_t<Fn&> {
        using Result = std::invoke_result_t<Fn&>;
        std::packaged_task<Result()> task(std::forward<Fn>(fn));
        auto result = task.get_future();
        runOnServerThread([&task] { task(); });
        return result.get();
    }

private:
    struct Impl;
    void runOnServerThread(const std::function<void()>& fn);
    unsigned short listen();

    std::unique_ptr<Impl> impl_;
};

}  // namespace vorn::emulator
