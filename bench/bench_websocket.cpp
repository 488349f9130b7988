// Echo throughput of the WebSocket client against a loopback Boost.Beast
// echo server, side by side with Beast's own client on the same server:
// 16-byte, 1 KiB and 64 KiB text messages and 1 MiB binary messages.
//
// Two shapes per size:
//   RoundTrip  one message in flight: send, wait for its echo, repeat;
//   Window     up to 16 messages (at most 256 KiB) in flight: every echo
//              that arrives lets the next message go.
// Each iteration is one message echoed; items/s is messages per second and
// bytes/s counts each message's payload once.
//
// The client under test runs the way an application uses it: sends from the
// caller's thread, frames on the network thread, messages delivered on the
// main loop, which this thread runs. Beast's client runs twice: synchronously
// on this thread (BeastClient), and asynchronously on a network thread of
// its own whose handlers hand each message to this thread's io_context and
// take each send back (BeastHandoff), which is the library's design.
#include "BeastEchoServer.h"

#include "vorn/core/MainLoop.h"
#include "vorn/websocket/vSRWebSocket.h"

#include <benchmark/benchmark.h>

#include <boost/asio/connect.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include <boost/asio/post.hpp>
#include <boost/beast/core/buffers_to_string.hpp>

#include <algorithm>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using vorn::test::BeastEchoServer;

BeastEchoServer& server() {
    static BeastEchoServer* shared = new BeastEchoServer();
    return *shared;
}

std::size_t windowFor(std::size_t size) {
    return std::max<std::size_t>(1, std::min<std::size_t>(16, (256u << 10) / size));
}

struct Payload {
    bool text;
    std::string bytes;
};

Payload payloadOf(bool text, std::size_t size) {
    Payload payload{text, std::string(size, 'x')};
    if (!text) {
        for (std::size_t index = 0; index < size; ++index) payload.bytes[index] = static_cast<char>(index * 31);
    }
    return payload;
}

// The client under test.

class CountingDelegate : public vorn::SRWebSocketDelegate {
public:
    using vorn::SRWebSocketDelegate::webSocket;
    void webSocket(const std::shared_ptr<vorn::vSRWebSocket>&, vorn::SRMessage message) override {
        ++received;
        lastSize = std::visit([](const auto& value) { return value.size(); }, message);
    }
    void webSocketDidOpen(const std::shared_ptr<vorn::vSRWebSocket>&) override { opened = true; }
    void webSocket(const std::shared_ptr<vorn::vSRWebSocket>&, const vorn::VornError&) override { ended = true; }
    void webSocket(const std::shared_ptr<vorn::vSRWebSocket>&, std::int32_t, const std::optional<std::string>&,
                   bool) override {
        ended = true;
    }

    std::size_t received = 0;
    std::size_t lastSize = 0;
    bool opened = false;
    bool ended = false;
};

void runMainLoopUntil(const std::function<bool()>& condition) {
    auto& loop = vorn::MainLoop::shared().context();
    while (!condition()) loop.run_one();
}

void sendPayload(vorn::vSRWebSocket& socket, const Payload& payload) {
    if (payload.text) {
        socket.send(payload.bytes);
    } else {
        socket.send(vorn::SRData(payload.bytes.begin(), payload.bytes.end()));
    }
}

void BM_vSRWebSocket(benchmark::State& state, bool text, std::size_t size, bool windowed) {
    const Payload payload = payloadOf(text, size);
    const std::size_t window = windowed ? windowFor(size) : 1;
    auto delegate = std::make_shared<CountingDelegate>();
    auto socket = vorn::vSRWebSocket::initWithURL(server().url());
    socket->setDelegate(delegate);
    socket->open();
    runMainLoopUntil([&] { return delegate->opened || delegate->ended; });
    if (!delegate->opened) {
        state.SkipWithError("no connection");
        return;
    }

    // Each iteration takes one echo (several may arrive in one hand-off) and
    // sends the next message.
    std::size_t sent = 0;
    std::size_t taken = 0;
    for (; sent < window; ++sent) sendPayload(*socket, payload);
    for (auto _ : state) {
        ++taken;
        runMainLoopUntil([&] { return delegate->received >= taken; });
        if (delegate->lastSize != size) state.SkipWithError("echo of the wrong size");
        sendPayload(*socket, payload);
        ++sent;
    }
    runMainLoopUntil([&] { return delegate->received == sent; });
    socket->close();
    runMainLoopUntil([&] { return delegate->ended; });

    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// Beast's own client.

void BM_BeastClient(benchmark::State& state, bool text, std::size_t size, bool windowed) {
    namespace websocket = boost::beast::websocket;
    using boost::asio::ip::tcp;
    const Payload payload = payloadOf(text, size);
    const std::size_t window = windowed ? windowFor(size) : 1;

    boost::asio::io_context io;
    websocket::stream<tcp::socket> ws(io);
    tcp::resolver resolver(io);
    boost::asio::connect(ws.next_layer(), resolver.resolve("127.0.0.1", std::to_string(server().port())));
    ws.next_layer().set_option(tcp::no_delay(true));
    ws.auto_fragment(false);
    ws.read_message_max(64u << 20);
    ws.handshake("127.0.0.1:" + std::to_string(server().port()), "/");
    ws.text(text);
    boost::beast::flat_buffer buffer;

    for (std::size_t index = 0; index < window; ++index) ws.write(boost::asio::buffer(payload.bytes));
    for (auto _ : state) {
        const std::size_t got = ws.read(buffer);
        if (got != size) state.SkipWithError("echo of the wrong size");
        buffer.consume(buffer.size());
        ws.write(boost::asio::buffer(payload.bytes));
    }
    for (std::size_t index = 0; index < window; ++index) {
        ws.read(buffer);
        buffer.consume(buffer.size());
    }
    ws.close(websocket::close_code::normal);
    boost::system::error_code ignored;
    while (!ignored) {
        ws.read(buffer, ignored);  // until the server's close
        buffer.consume(buffer.size());
    }

    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// Beast's asynchronous client behind the same hand-off as the library's:
// the network thread reads and writes, this thread's loop sees every message
// and sends every message.

class BeastHandoffClient {
public:
    BeastHandoffClient(bool text, boost::asio::io_context& mainLoop) : mainLoop_(mainLoop), ws_(network_) {
        using boost::asio::ip::tcp;
        tcp::resolver resolver(network_);
        boost::asio::connect(ws_.next_layer(), resolver.resolve("127.0.0.1", std::to_string(server().port())));
        ws_.next_layer().set_option(tcp::no_delay(true));
        ws_.auto_fragment(false);
        ws_.read_message_max(64u << 20);
        ws_.handshake("127.0.0.1:" + std::to_string(server().port()), "/");
        ws_.text(text);
        read();
        thread_ = std::thread([this] { network_.run(); });
    }
    ~BeastHandoffClient() {
        boost::asio::post(network_, [this] {
            ws_.async_close(boost::beast::websocket::close_code::normal, [](const boost::system::error_code&) {});
        });
        thread_.join();
    }
    BeastHandoffClient(const BeastHandoffClient&) = delete;
    BeastHandoffClient& operator=(const BeastHandoffClient&) = delete;

    /// From the main loop's thread.
    void send(const std::string& payload) {
        boost::asio::post(network_, [this, payload] {
            outbox_.push_back(payload);
            if (!writing_) writeNext();
        });
    }

    std::size_t received = 0;  // main loop only
    std::size_t lastSize = 0;

private:
    void read() {
        ws_.async_read(buffer_, [this](const boost::system::error_code& error, std::size_t) {
            if (error) return;
            std::string message = boost::beast::buffers_to_string(buffer_.data());
            buffer_.consume(buffer_.size());
            boost::asio::post(mainLoop_, [this, message = std::move(message)] {
                ++received;
                lastSize = message.size();
            });
            read();
        });
    }
    void writeNext() {
        writing_ = true;
        ws_.async_write(boost::asio::buffer(outbox_.front()),
                        [this](const boost::system::error_code& error, std::size_t) {
            outbox_.pop_front();
            if (error || outbox_.empty()) {
                writing_ = false;
                return;
            }
            writeNext();
        });
    }

    boost::asio::io_context& mainLoop_;
    boost::asio::io_context network_;
    boost::beast::websocket::stream<boost::asio::ip::tcp::socket> ws_;
    boost::beast::flat_buffer buffer_;
    std::deque<std::string> outbox_;  // network thread only
    bool writing_ = false;
    std::thread thread_;
};

void BM_BeastHandoff(benchmark::State& state, bool text, std::size_t size, bool windowed) {
    const Payload payload = payloadOf(text, size);
    const std::size_t window = windowed ? windowFor(size) : 1;
    boost::asio::io_context mainLoop;
    auto work = boost::asio::make_work_guard(mainLoop);
    BeastHandoffClient client(text, mainLoop);
    auto runUntil = [&](std::size_t count) {
        while (client.received < count) mainLoop.run_one();
    };

    std::size_t sent = 0;
    std::size_t taken = 0;
    for (; sent < window; ++sent) client.send(payload.bytes);
    for (auto _ : state) {
        runUntil(++taken);
        if (client.lastSize != size) state.SkipWithError("echo of the wrong size");
        client.send(payload.bytes);
        ++sent;
    }
    runUntil(sent);

    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void registerAll() {
    struct Size {
        const char* name;
        bool text;
        std::size_t size;
    };
    const Size sizes[] = {
        {"Text16B", true, 16}, {"Text1KiB", true, 1024}, {"Text64KiB", true, 64 << 10}, {"Binary1MiB", false, 1 << 20}};
    for (bool windowed : {false, true}) {
        for (const auto& size : sizes) {
            const std::string suffix = std::string(windowed ? "Window/" : "RoundTrip/") + size.name;
            benchmark::RegisterBenchmark(("vSRWebSocket/" + suffix).c_str(), BM_vSRWebSocket, size.text, size.size,
                                         windowed)
                ->UseRealTime()
                ->MinTime(1.0);
            benchmark::RegisterBenchmark(("BeastClient/" + suffix).c_str(), BM_BeastClient, size.text, size.size,
                                         windowed)
                ->UseRealTime()
                ->MinTime(1.0);
            benchmark::RegisterBenchmark(("BeastHandoff/" + suffix).c_str(), BM_BeastHandoff, size.text, size.size,
                                         windowed)
                ->UseRealTime()
                ->MinTime(1.0);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
