// Realtime sessions against the emulator's realtime host on loopback:
// events per second (an "echo" event sent, the host's "echo" event back) and
// acknowledged round trips per second (an event with an acknowledgement,
// its ack back), over the WebSocket and over polling, with one and with 16
// in flight. Beside them, the plain WebSocket client echoing 16-byte text
// messages against a Beast echo server, so the session layer's own cost
// shows as a ratio. Last, the same session over the WebSocket against a
// Socket.IO host of the least work written here ("raw host"), which tells
// the client's cost apart from the emulator's host. Each figure is the
// median of five rounds of two seconds.
#include "BeastEchoServer.h"

#include "vorn/core/MainLoop.h"
#include "vorn/realtime/SocketIO.h"
#include "vorn/websocket/vSRWebSocket.h"
#include "vorn_emulator/Realtime.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
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

/// A Socket.IO host of the least work, for telling the client's cost apart
/// from the emulator's host: it answers the handshake with one session id
/// and the WebSocket transport only, sends the connect packet, answers an
/// event with an acknowledgement id by that acknowledgement (its arguments
/// back) and any other event by the same event, and ignores the rest. One
/// thread per connection, blocking reads and writes. For this benchmark's
/// client only: it trusts what it reads.
class RawSocketIOEcho {
public:
    RawSocketIOEcho() : acceptor_(io_, {boost::asio::ip::make_address("127.0.0.1"), 0}) {
        port_ = acceptor_.local_endpoint().port();
        std::thread([this] { acceptAll(); }).detach();
    }
    unsigned short port() const { return port_; }

private:
    void acceptAll() {
        for (;;) {
            boost::system::error_code error;
            boost::asio::ip::tcp::socket socket(io_);
            acceptor_.accept(socket, error);
            if (error) return;
            socket.set_option(boost::asio::ip::tcp::no_delay(true), error);
            std::thread([socket = std::move(socket)]() mutable { serve(std::move(socket)); }).detach();
        }
    }

    static void serve(boost::asio::ip::tcp::socket socket) {
        namespace http = boost::beast::http;
        boost::beast::flat_buffer buffer;
        boost::system::error_code error;
        for (;;) {
            http::request<http::string_body> request;
            http::read(socket, buffer, request, error);
            if (error) return;
            if (boost::beast::websocket::is_upgrade(request)) return converse(std::move(socket), request);
            http::response<http::string_body> response(http::status::ok, request.version());
            response.set(http::field::content_type, "text/plain");
            response.body() = "rawsid:60:60:websocket";
            response.keep_alive(request.keep_alive());
            response.prepare_payload();
            http::write(socket, response, error);
            if (error || !request.keep_alive()) return;
        }
    }

    static void converse(boost::asio::ip::tcp::socket socket,
                         const boost::beast::http::request<boost::beast::http::string_body>& request) {
        boost::beast::websocket::stream<boost::asio::ip::tcp::socket> ws(std::move(socket));
        boost::system::error_code error;
        ws.accept(request, error);
        if (error) return;
        ws.text(true);
        ws.write(boost::asio::buffer(std::string("1::")), error);
        boost::beast::flat_buffer buffer;
        while (!error) {
            buffer.consume(buffer.size());
            ws.read(buffer, error);
            if (error) return;
            const std::string packet = boost::beast::buffers_to_string(buffer.data());
            if (packet.rfind("5:", 0) != 0) continue;
            // "5:" id ["+"] ":" endpoint ":" data
            const auto idEnd = packet.find(':', 2);
            const auto endpointEnd = idEnd == std::string::npos ? idEnd : packet.find(':', idEnd + 1);
            if (endpointEnd == std::string::npos) continue;
            const std::string id = packet.substr(2, idEnd - 2);
            if (id.empty()) {
                ws.write(boost::asio::buffer(packet), error);
                continue;
            }
            // The arguments are taken out of the event's text as the client
            // writes it ({"name":...,"args":[...]}), not parsed: parsing them
            // made this thread, not the client, the limit.
            const auto argsAt = packet.find("\"args\":", endpointEnd);
            const auto close = packet.rfind('}');
            const std::string args = argsAt == std::string::npos || close == std::string::npos || close < argsAt + 7
                                         ? std::string("[]")
                                         : packet.substr(argsAt + 7, close - argsAt - 7);
            const std::string number = id.back() == '+' ? id.substr(0, id.size() - 1) : id;
            ws.write(boost::asio::buffer("6:::" + number + "+" + args), error);
        }
    }

    boost::asio::io_context io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    unsigned short port_ = 0;
};

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

/// True when the row named "HOST/WINDOW" (say "websocket/16", "raw/1") is
/// to run: every row without a filter, else the row it names, or every row
/// of the host it names ("raw").
bool selected(const std::string& filter, const std::string& host, std::size_t window) {
    return filter.empty() || filter == host || filter == host + "/" + std::to_string(window);
}

void report(const char* host, std::size_t window, const Figures& figures, double plain) {
    std::printf(
        "%-12s in flight %2zu: events %9.0f/s, acked round trips %9.0f/s; plain WebSocket echo "
        "%9.0f/s (events %.2fx, acks %.2fx of it)\n",
        host, window, figures.events, figures.acks, plain, figures.events / plain, figures.acks / plain);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    // --only HOST/WINDOW runs the matching rows alone, for profiling one.
    std::string filter;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--only") filter = argv[++i];
    }
    for (const char* transport : {"websocket", "xhr-polling"}) {
        if (!selected(filter, transport, 1) && !selected(filter, transport, 16)) continue;
        vorn::emulator::RealtimeOptions options;
        options.port = 0;
        options.transports = {transport};
        vorn::emulator::RealtimeHost host(options);
        const unsigned short port = host.start();
        for (std::size_t window : {1u, 16u}) {
            if (!selected(filter, transport, window)) continue;
            const Figures figures = sessionFigures(port, transport, window);
            report(transport, window, figures, plainEcho(window));
        }
        host.stop();
    }
    // The client against the host of least work: what of the gap is the
    // emulator's host.
    static auto* raw = new RawSocketIOEcho();
    for (std::size_t window : {1u, 16u}) {
        if (!selected(filter, "raw", window)) continue;
        const Figures figures = sessionFigures(raw->port(), "websocket", window);
        report("raw host", window, figures, plainEcho(window));
    }
    return 0;
}
