#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "LoopbackAddress.h"
#include "PacketText.h"
#include "RealtimeCore.h"
#include "RealtimeHttpConnection.h"
#include "RealtimeSession.h"
#include "RealtimeWebSocket.h"
#include "ServerLoop.h"
#include "tls/TlsFront.h"
#include "vorn_emulator/Realtime.h"

namespace vorn::emulator {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;
using realtime::RealtimeCore;
using realtime::RealtimeSession;

namespace {

void validate(const RealtimeOptions& options) {
    if (options.transports.empty()) throw std::invalid_argument("the realtime host needs at least one transport");
    for (std::size_t i = 0; i < options.transports.size(); ++i) {
        const std::string& transport = options.transports[i];
        if (transport != "websocket" && transport != "xhr-polling") {
            throw std::invalid_argument("unknown realtime transport \"" + transport + "\" (websocket or xhr-polling)");
        }
        if (std::find(options.transports.begin(), options.transports.begin() + static_cast<std::ptrdiff_t>(i),
                      transport) != options.transports.begin() + static_cast<std::ptrdiff_t>(i)) {
            throw std::invalid_argument("realtime transport \"" + transport + "\" is listed twice");
        }
    }
    if (options.heartbeatInterval.count() <= 0 || options.heartbeatTimeout.count() <= 0 ||
        options.closeTimeout.count() <= 0 || options.pollingDuration.count() <= 0 ||
        options.pollWriteTimeout.count() <= 0) {
        throw std::invalid_argument("the realtime host's times must be positive");
    }
    if (options.maxPacketBytes == 0 || options.maxQueuedBytes == 0 || options.maxSessions == 0) {
        throw std::invalid_argument("the realtime host's size and session limits must be at least 1");
    }
}

}  // namespace

struct RealtimeHost::Impl {
    enum class State { Idle, Running, Stopped };

    explicit Impl(RealtimeOptions options) : address(loopbackAddress(options.address, "the realtime host")) {
        validate(options);
        core = std::make_unique<RealtimeCore>(ioc, std::move(options));
        tls = makeTlsFront();
        listener.emplace(ioc, tls ? tls->publicHooks() : acceptHooks());
    }

    // Declared first so that it outlives the io_context: handlers destroyed
    // with the io_context still reach it.
    std::unique_ptr<RealtimeCore> core;
    net::ip::address address;
    net::io_context ioc{1};
    std::unique_ptr<TlsFront> tls;       // in front of the listener when serving TLS
    std::optional<AcceptLoop> listener;  // made once the core is
    std::thread thread;
    mutable std::mutex mutex;
    std::mutex joinMutex;  // one stop() joins the thread at a time
    State state = State::Idle;
    std::atomic<unsigned short> port{0};
    std::atomic<std::thread::id> hostThread{};

    void listen() {
        if (tls) tls->listen(address);
        port = listener->listen(address, core->options().port);
    }

    std::unique_ptr<TlsFront> makeTlsFront() {
        if (!core->options().tls) return nullptr;
        TlsFront::Limits limits;
        limits.connections = core->maxConnections();
        return std::make_unique<TlsFront>(ioc, *core->options().tls, limits, acceptHooks());
    }

    AcceptLoop::Hooks acceptHooks() {
        AcceptLoop::Hooks hooks;
        hooks.atLimit = [this] { return core->connections.size() + core->webSockets.size() >= core->maxConnections(); };
        hooks.serve = [this](tcp::socket socket) {
            std::make_shared<realtime::RealtimeHttpConnection>(std::move(socket), *core)->start();
        };
        hooks.refused = [this] {
            if (core->verbose()) core->log("connection refused: too many open connections");
        };
        hooks.acceptFailed = [this](const std::string& why) {
            if (core->verbose()) core->log("accept failed: " + why);
        };
        return hooks;
    }

    // On the host thread: close everything and end the loop.
    void shutdown() {
        core->stopping = true;
        listener->close();
        if (tls) {
            tls->stopAccepting();
            tls->closeAll();
        }
        for (const auto& session : core->allSessions()) session->abort();
        const std::vector<realtime::RealtimeHttpConnection*> connections(core->connections.begin(),
                                                                         core->connections.end());
        for (auto* connection : connections) connection->close();
        const std::vector<realtime::RealtimeWebSocket*> sockets(core->webSockets.begin(), core->webSockets.end());
        for (auto* socket : sockets) socket->abort();
        ioc.stop();
    }

    void loop() {
        runServerLoop(ioc, "host", [this](const std::string& text) { core->log(text); });
    }

    // Runs fn with the session on the host thread; false when the sid is not live.
    template <class Fn>
    bool withSession(const std::string& sid, Fn fn) {
        std::lock_guard lock(mutex);
        if (state != State::Running || !core->live(sid)) return false;
        net::post(ioc, [core = core.get(), sid, fn = std::move(fn)]() mutable {
            const auto session = core->find(sid);
            if (session && !session->ended()) fn(*session);
        });
        return true;
    }
};

RealtimeHost::RealtimeHost(RealtimeOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

RealtimeHost::~RealtimeHost() {
    stop();
    joinOrDetach(impl_->thread);
}

unsigned short RealtimeHost::start() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->state != Impl::State::Idle) throw std::logic_error("the realtime host was already started or stopped");
    impl_->core->onConnect = onConnect;
    impl_->core->onEvent = onEvent;
    impl_->core->onSessionEnd = onSessionEnd;
    impl_->core->onLeave = onLeave;
    impl_->listen();
    impl_->state = Impl::State::Running;
    impl_->thread = std::thread([impl = impl_.get()] { impl->loop(); });
    impl_->hostThread = impl_->thread.get_id();
    return impl_->port;
}

void RealtimeHost::stop() {
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->state == Impl::State::Running) {
            net::post(impl_->ioc, [impl = impl_.get()] { impl->shutdown(); });
        }
        impl_->state = Impl::State::Stopped;
    }
    // Joined without the state lock: a hook still running on the host
    // thread may call emit and the like, which take it.
    std::lock_guard join(impl_->joinMutex);
    if (impl_->thread.joinable() && impl_->thread.get_id() != std::this_thread::get_id()) impl_->thread.join();
}

unsigned short RealtimeHost::port() const {
    return impl_->port;
}

const RealtimeOptions& RealtimeHost::options() const {
    return impl_->core->options();
}

bool RealtimeHost::emit(const std::string& sid, const std::string& endpoint, const std::string& name,
                        const nlohmann::json& args) {
    std::string text = realtime::packetText(realtime::PacketType::Event, endpoint, realtime::eventData(name, args));
    return impl_->withSession(
        sid, [text = std::move(text)](RealtimeSession& session) mutable { session.send(std::move(text)); });
}

bool RealtimeHost::emit(const std::string& sid, const std::string& endpoint, const std::string& name,
                        const nlohmann::json& args, std::function<void(const nlohmann::json& ackArgs)> onAck) {
    if (!onAck) return emit(sid, endpoint, name, args);
    return impl_->withSession(
        sid, [endpoint, data = realtime::eventData(name, args), onAck = std::move(onAck)](
                 RealtimeSession& session) mutable { session.emitAsking(endpoint, data, std::move(onAck)); });
}

bool RealtimeHost::sendPacket(const std::string& sid, const std::string& packetText) {
    return impl_->withSession(sid,
                              [text = packetText](RealtimeSession& session) mutable { session.send(std::move(text)); });
}

bool RealtimeHost::disconnect(const std::string& sid) {
    return impl_->withSession(sid, [](RealtimeSession& session) {
        session.send("0::");
        session.end("disconnected by the host");
    });
}

void RealtimeHost::setSilent(bool silent) {
    impl_->core->silent = silent;
    std::lock_guard lock(impl_->mutex);
    if (silent || impl_->state != Impl::State::Running) return;
    // What waited for the host to speak again goes now.
    net::post(impl_->ioc, [core = impl_->core.get()] {
        for (const auto& session : core->allSessions()) session->flush();
    });
}

std::vector<std::string> RealtimeHost::sessionIds() const {
    return impl_->core->liveSessionIds();
}

std::vector<std::string> RealtimeHost::receivedPackets(const std::string& sid) const {
    return impl_->core->received(sid);
}

std::size_t RealtimeHost::handshakeCount() const {
    return impl_->core->handshakes();
}

}  // namespace vorn::emulator
