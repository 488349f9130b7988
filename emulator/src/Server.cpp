#include "vorn_emulator/Server.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "HttpSession.h"
#include "LoopbackAddress.h"
#include "ServerLoop.h"
#include "console/RequestLog.h"
#include "functions/FunctionHost.h"
#include "handlers/Handlers.h"
#include "notices/ChangeNotices.h"
#include "query/ObjectCache.h"
#include "tls/TlsFront.h"
#include "vorn_emulator/Files.h"
#include "vorn_emulator/Router.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

struct Server::Impl {
    enum class State { Idle, Running, Stopped };

    explicit Impl(Options opts)
        : options(std::move(opts)),
          address(loopbackAddress(options.address, "the emulator")),
          storage(Storage::Options{options.dataDir, options.memory}),
          objects(options.objectCacheBytes),
          router(storage, Router::Options{options.appKey}),
          files(storage, fileOptions(options)),
          core{router, options.verbose, options.bodyLimit, &faults, options.readTimeout, options.idleTimeout, {}, 0},
          functions(std::make_shared<FunctionHost>(functionOptions(options))),
          realtime(options.realtime ? std::make_unique<RealtimeHost>(realtimeOptions(options)) : nullptr) {
        core.requestLog = &requestLog;
        if (realtime) connectChangeNotices();
        for (const Fault& fault : options.faults) {
            try {
                faults.add(fault);
            } catch (const std::invalid_argument& e) {
                throw std::invalid_argument("invalid fault for " + fault.path + ": " + e.what());
            }
        }
        if (options.readTimeout.count() <= 0 || options.idleTimeout.count() <= 0) {
            throw std::invalid_argument("the read and idle time limits must be positive");
        }
        if (options.maxConnections == 0) throw std::invalid_argument("the connection limit must be at least 1");
    }

    static FunctionHost::Options functionOptions(const Options& options) {
        FunctionHost::Options result;
        result.directory = options.functionsDir;
        result.timeout = options.functionTimeout;
        return result;
    }

    // The realtime host serves TLS with the server's identity unless it has one of its own.
    static RealtimeOptions realtimeOptions(const Options& options) {
        RealtimeOptions result = *options.realtime;
        if (!result.tls) result.tls = options.tls;
        return result;
    }

    static FileService::Options fileOptions(const Options& options) {
        FileService::Options result;
        result.absoluteUrls = options.absoluteFileUrls;
        result.sessionIdleTime = options.uploadSessionIdleTime;
        return result;
    }

    // Data-change subscriptions on the realtime host: committed object
    // changes go to the matching sessions. Publishing only queues packets on
    // the host's thread, so a write never waits for a subscriber.
    void connectChangeNotices() {
        RealtimeHost* host = realtime.get();
        notices = std::make_unique<ChangeNotices>(
            options.appKey, [host](const std::string& sid, const std::string& endpoint, const std::string& name,
                                   const nlohmann::json& args) { host->emit(sid, endpoint, name, args); });
        ChangeNotices* feed = notices.get();
        host->onConnect = [feed](const std::string& sid, const std::string& endpoint) {
            feed->sessionJoined(sid, endpoint);
        };
        host->onEvent = [feed](const std::string& sid, const std::string& endpoint, const std::string& name,
                               const nlohmann::json& args) { return feed->event(sid, endpoint, name, args); };
        host->onSessionEnd = [feed](const std::string& sid) { feed->sessionEnded(sid); };
        host->onLeave = [feed](const std::string& sid, const std::string& endpoint) {
            feed->sessionLeft(sid, endpoint);
        };
        storage.setChangeListener([feed](const ChangeNotice& change) { feed->publish(change); },
                                  [feed](const ChangeNotice& change) { return feed->wants(change); });
    }

    // The realtime host first, then the HTTP listener; neither is left
    // running when the other cannot bind.
    void listen() {
        if (realtime) realtime->start();
        try {
            listenHttp();
        } catch (...) {
            if (realtime) realtime->stop();
            throw;
        }
    }

    void listenHttp() {
        if (tls) tls->listen(address);
        port = listener.listen(address, options.port);
        if (tls) {
            core.secure = true;
            core.publicPort = port;
        }
    }

    std::unique_ptr<TlsFront> makeTlsFront() {
        if (!options.tls) return nullptr;
        return std::make_unique<TlsFront>(ioc, *options.tls,
                                          TlsFront::Limits{options.readTimeout, options.maxConnections}, acceptHooks());
    }

    AcceptLoop::Hooks acceptHooks() {
        AcceptLoop::Hooks hooks;
        hooks.atLimit = [this] { return core.openConnections >= options.maxConnections; };
        hooks.serve = [this](tcp::socket socket) { std::make_shared<HttpSession>(std::move(socket), core)->start(); };
        hooks.refused = [this] {
            if (options.verbose) {
                core.log("- - connection refused: " + std::to_string(options.maxConnections) + " connections are open");
            }
        };
        hooks.acceptFailed = [this](const std::string& why) {
            if (options.verbose) core.log("accept failed: " + why);
        };
        return hooks;
    }

    // On the server thread: stop accepting, answer the calls in flight and
    // end the loop. Running functions are killed; their calls are answered
    // 503 ("the emulator is stopping"), and those answers are queued on this
    // thread before stop() returns, so finishing the sessions after them
    // lets each be written. Idle connections close at once; the rest close
    // after their answer or at the drain limit.
    void shutdown() {
        listener.close();
        if (tls) tls->stopAccepting();
        functions->stop();
        net::post(ioc, [this] {
            const std::vector<HttpSession*> open(core.sessions.begin(), core.sessions.end());
            for (HttpSession* session : open) session->finish();
            drainUntil(std::chrono::steady_clock::now() + kDrainLimit);
        });
    }

    void drainUntil(std::chrono::steady_clock::time_point deadline) {
        const bool drained = std::all_of(core.sessions.begin(), core.sessions.end(),
                                         [](const HttpSession* session) { return session->closed(); });
        if (drained || std::chrono::steady_clock::now() >= deadline) {
            const std::vector<HttpSession*> open(core.sessions.begin(), core.sessions.end());
            for (HttpSession* session : open) session->close();
            if (tls) tls->closeAll();
            ioc.stop();
            return;
        }
        drainTimer.expires_after(kDrainPoll);
        drainTimer.async_wait([this, deadline](error_code) { drainUntil(deadline); });
    }

    static constexpr std::chrono::milliseconds kDrainLimit{2000};
    static constexpr std::chrono::milliseconds kDrainPoll{5};

    void loop() {
        runServerLoop(ioc, "server", [this](const std::string& text) { core.log("vorn-emulator: " + text); });
    }

    Options options;
    net::ip::address address;
    Storage storage;
    query::ObjectCache objects;
    Router router;
    FileService files;
    FaultInjector faults;
    RequestLog requestLog;
    ServerCore core;
    std::shared_ptr<FunctionHost> functions;
    std::unique_ptr<RealtimeHost> realtime;
    std::unique_ptr<ChangeNotices> notices;
    net::io_context ioc{1};
    std::unique_ptr<TlsFront> tls{makeTlsFront()};  // in front of the listener when serving TLS
    AcceptLoop listener{ioc, tls ? tls->publicHooks() : acceptHooks()};
    net::steady_timer drainTimer{ioc};
    std::thread thread;
    std::mutex mutex;
    State state = State::Idle;
    std::atomic<unsigned short> port{0};
    std::atomic<std::thread::id> serverThread{};
};

Server::Server(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {
    registerBuiltinHandlers(impl_->router,
                            HandlerServices{impl_->files, impl_->faults, impl_->functions, impl_->objects});
    if (impl_->realtime) registerRealtimeAdminHandlers(impl_->router, *impl_->notices, *impl_->realtime);
    registerConsoleHandlers(impl_->router, impl_->requestLog, impl_->objects);
}

Server::~Server() {
    stop();
    joinOrDetach(impl_->thread);
}

unsigned short Server::start() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->state != Impl::State::Idle) throw std::logic_error("the server was already started or stopped");
    impl_->listen();
    impl_->state = Impl::State::Running;
    impl_->thread = std::thread([impl = impl_.get()] { impl->loop(); });
    impl_->serverThread = impl_->thread.get_id();
    return impl_->port;
}

void Server::run(const std::function<void(unsigned short)>& onListening) {
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->state == Impl::State::Stopped) return;
        if (impl_->state != Impl::State::Idle) throw std::logic_error("the server was already started");
        impl_->listen();
        impl_->state = Impl::State::Running;
        impl_->serverThread = std::this_thread::get_id();
    }
    if (onListening) onListening(impl_->port);
    impl_->loop();
    impl_->serverThread = std::thread::id{};
}

void Server::stop() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->state == Impl::State::Running) {
        impl_->state = Impl::State::Stopped;
        net::post(impl_->ioc, [impl = impl_.get()] { impl->shutdown(); });
    }
    impl_->state = Impl::State::Stopped;
    if (impl_->realtime) impl_->realtime->stop();
    if (impl_->thread.joinable() && impl_->thread.get_id() != std::this_thread::get_id()) impl_->thread.join();
}

unsigned short Server::port() const {
    return impl_->port;
}

bool Server::running() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->state == Impl::State::Running;
}

const Options& Server::options() const {
    return impl_->options;
}
Router& Server::router() {
    return impl_->router;
}
Storage& Server::storage() {
    return impl_->storage;
}
FileService& Server::files() {
    return impl_->files;
}
FaultInjector& Server::faults() {
    return impl_->faults;
}
net::io_context& Server::ioContext() {
    return impl_->ioc;
}
RealtimeHost* Server::realtime() {
    return impl_->realtime.get();
}
std::size_t Server::realtimeSubscriptionCount() const {
    return impl_->notices ? impl_->notices->subscriptionCount() : 0;
}
unsigned short Server::realtimePort() const {
    return impl_->realtime ? impl_->realtime->port() : 0;
}

void Server::runOnServerThread(const std::function<void()>& fn) {
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    bool post = false;
    {
        std::lock_guard lock(impl_->mutex);
        post = impl_->state == Impl::State::Running && impl_->serverThread.load() != std::this_thread::get_id();
        if (post) {
            // Posted before any shutdown, so the loop runs it before it ends.
            net::post(impl_->ioc, [&fn, done] {
                try {
                    fn();
                    done->set_value();
                } catch (...) {
                    done->set_exception(std::current_exception());
                }
            });
        }
    }
    if (post) {
        finished.get();
    } else {
        fn();  // not running, or already on the server thread
    }
}

}  // namespace vorn::emulator
