// Realtime sessions against the emulator's realtime host on loopback:
// events per second (an "echo" event sent, the host's "echo" event back) and
// acknowledged round trips per second (an event with an acknowledgement,
// its ack back), over the WebSocket and over polling, with one and with 16
// in flight. Beside them, the plain WebSocket client echoing 16-byte text
// messages against a Beast echo server, so the session layer's own cost
// shows as a ratio. Each figure is the median of five rounds of two seconds.
#include "BeastEchoServer.h"

#include "vorn/core/MainLoop.h"
#include "vorn/realtime/SocketIO.h"
#include "vorn/websocket/vSRWebSocket.h"
#include "vorn_emulator/Realtime.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRound = std::chrono::seconds(2);
constexpr int kRounds = 5;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

/// Runs the main loop for one round while `start` keeps `window` operations
/// in flight; `start` gets the completion to call when its operation ends.
double roundRate(std::size_t window, const std::function<void(std::function<void()>)>& start) {
    std::size_t done = 0;
    bool running = true;
    std::function<void()> next;
    next = [&] {
        ++done;
        if (running) start(next);
    };
    const auto begin = Clock::now();
    for (std::size_t i = 0; i < window; ++i) start(next);
    vorn::MainLoop::shared().runFor(kRound);
    running = false;
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    const double rate = static_cast<double>(done) / seconds;
    // Let what is still in flight land before the next round.
    vorn::MainLoop::shared().runFor(std::chrono::milliseconds(200));
    return rate;
}

class EventCounter : public vorn::SocketIODelegate {
public:
    void socketIODidConnect(const std::shared_ptr<vorn::SocketIO>&) override { connected = true; }
    void socketIODidReceiveEvent(const std::shared_ptr<vorn::SocketIO>&, const vorn::SocketIOPacket&) override {
        if (!pending.empty()) {
            auto done = std::move(pending.back());
            pending.pop_back();
            done();
        }
    }
    bool connected = false;
    std::vector<std::function<void()>> pending;
};

struct Figures {
    double events;
    double acks;
};

Figures sessionFigures(unsigned short port, const char* transport, std::size_t window) {
    auto counter = std::make_shared<EventCounter>();
    auto session = vorn::SocketIO::initWithDelegate(counter);
    (void)transport;
    session->connectToHost("127.0.0.1", port);
    vorn::MainLoop::shared().runUntil([&] { return counter->connected; }, std::chrono::seconds(10));
    if (!counter->connected) {
        std::fprintf(stderr, "could not connect over %s\n", transport);
        return {0, 0};
    }
    std::vector<double> events;
    std::vector<double> acks;
    for (int round = 0; round < kRounds; ++round) {
        events.push_back(roundRate(window, [&](std::function<void()> done) {
            counter->pending.push_back(std::move(done));
            session->sendEvent("echo", nlohmann::json("0123456789abcdef"));
        }));
        counter->pending.clear();
        acks.push_back(roundRate(window, [&](std::function<void()> done) {
            session->sendEvent("ack", nlohmann::json("0123456789abcdef"),
                               [done = std::move(done)](const nlohmann::json&) { done(); });
        }));
    }
    session->disconnect();
    vorn::MainLoop::shared().runFor(std::chrono::milliseconds(100));
    return {median(events), median(acks)};
}

class EchoCounter : public vorn::SRWebSocketDelegate {
public:
    using vorn::SRWebSocketDelegate::webSocket;
    void webSocket(const std::shared_ptr<vorn::vSRWebSocket>&, vorn::SRMessage) override {
        if (!pending.empty()) {
            auto done = std::move(pending.back());
            pending.pop_back();
            done();
        }
    }
    void webSocketDidOpen(const std::shared_ptr<vorn::vSRWebSocket>&) override { open = true; }
    bool open = false;
    std::vector<std::function<void()>> pending;
};

double plainEcho(std::size_t window) {
    static vorn::test::BeastEchoServer* echo = new vorn::test::BeastEchoServer();
    auto counter = std::make_shared<EchoCounter>();
    auto socket = vorn::vSRWebSocket::initWithURL(echo->url());
    socket->setDelegate(counter);
    socket->open();
    vorn::MainLoop::shared().runUntil([&] { return counter->open; }, std::chrono::seconds(10));
    std::vector<double> rates;
    for (int round = 0; round < kRounds; ++round) {
        rates.push_back(roundRate(window, [&](std::function<void()> done) {
            counter->pending.push_back(std::move(done));
            socket->send(std::string("0123456789abcdef"));
        }));
    }
    socket->close();
    return median(rates);
}

}  // namespace

int main() {
    for (const char* transport : {"websocket", "xhr-polling"}) {
        vorn::emulator::RealtimeOptions options;
        options.port = 0;
        options.transports = {transport};
        vorn::emulator::RealtimeHost host(options);
        const unsigned short port = host.start();
        for (std::size_t window : {1u, 16u}) {
            const Figures figures = sessionFigures(port, transport, window);
            const double plain = plainEcho(window);
            std::printf(
                "%-12s in flight %2zu: events %9.0f/s, acked round trips %9.0f/s; plain WebSocket echo "
                "%9.0f/s (events %.2fx, acks %.2fx of it)\n",
                transport, window, figures.events, figures.acks, plain, figures.events / plain, figures.acks / plain);
        }
        host.stop();
    }
    return 0;
}
