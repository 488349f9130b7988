// Slow and hostile peers: the read, idle and connection limits keep the
// emulator serving everyone else.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "EmulatorTestUtil.h"
#include "vorn_emulator/Router.h"

namespace vorn::emulator::emutest {
namespace {

using SteadyClock = std::chrono::steady_clock;

Options limitedOptions(std::chrono::milliseconds readTimeout, std::chrono::milliseconds idleTimeout = 30s) {
    Options options = memoryOptions();
    options.readTimeout = readTimeout;
    options.idleTimeout = idleTimeout;
    return options;
}

std::string timestampRequest() {
    return makeRequest(http::verb::post, "/7/timestamp", envelope().dump()).wire();
}

// A peer that writes a request one byte at a time, `gap` apart, and stops
// as soon as the server answers (or the connection ends). The gap is the
// poll for the server's answer, so a reply is noticed at once.
struct SlowSender {
    std::size_t sent = 0;
    std::string received;  // everything the server wrote, until it closed
    bool closed = false;   // the server ended the connection

    void run(unsigned short port, const std::string& bytes, std::chrono::milliseconds gap) {
        boost::asio::io_context ioc;
        boost::asio::ip::tcp::socket socket(ioc);
        socket.connect({boost::asio::ip::address_v4::loopback(), port});
        const int fd = socket.native_handle();
        const auto deadline = SteadyClock::now() + kDeadline;
        bool answered = false;
        while (!answered && sent < bytes.size() && SteadyClock::now() < deadline) {
            if (::send(fd, bytes.data() + sent, 1, MSG_NOSIGNAL) != 1) break;
            ++sent;
            pollfd readable{fd, POLLIN, 0};
            answered = ::poll(&readable, 1, static_cast<int>(gap.count())) > 0;
        }
        // Read the answer through to the end of the connection.
        while (SteadyClock::now() < deadline) {
            pollfd readable{fd, POLLIN, 0};
            if (::poll(&readable, 1, 100) <= 0) continue;
            char chunk[4096];
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                closed = true;
                break;
            }
            received.append(chunk, static_cast<std::size_t>(n));
        }
    }
};

// Runs until the server answers a fresh connection (a connection limit
// frees its places asynchronously), or the deadline passes.
std::optional<Reply> firstAnswer(unsigned short port) {
    const auto deadline = SteadyClock::now() + kDeadline;
    while (SteadyClock::now() < deadline) {
        try {
            TestHttpClient client(port);
            client.sendRaw(timestampRequest());
            if (auto reply = client.read()) return reply;
        } catch (const std::exception&) {
            // refused or reset: try again
        }
    }
    return std::nullopt;
}

class EmulatorLimitsTest : public ::testing::Test {
protected:
    void startServer(Options options, const std::function<void(Router&)>& setup = {}) {
        server_ = std::make_unique<Server>(std::move(options));
        if (setup) setup(server_->router());
        port_ = server_->start();
    }

    std::unique_ptr<Server> server_;
    unsigned short port_ = 0;
};

// --- Peers that send too little -------------------------------------------

TEST_F(EmulatorLimitsTest, ASilentConnectionIsClosedWithoutAnswerAfterTheReadLimit) {
    startServer(limitedOptions(300ms));
    const auto opened = SteadyClock::now();
    TestHttpClient silent(port_);
    // Meanwhile the server answers others.
    EXPECT_EQ(TestHttpClient(port_).postEnvelope("/7/timestamp").code(), 200);
    EXPECT_FALSE(silent.read());  // closed, nothing written
    EXPECT_GE(SteadyClock::now() - opened, 300ms);
}

TEST_F(EmulatorLimitsTest, ABodyShorterThanItsContentLengthIsAnswered408) {
    startServer(limitedOptions(300ms));
    TestHttpClient client(port_);
    HttpRequest request = makeRequest(http::verb::post, "/7/timestamp", envelope().dump());
    client.sendRaw(request.head() + request.body.substr(0, 10));
    const auto reply = client.read();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 408u);
    EXPECT_EQ(reply->code(), 109);
    EXPECT_FALSE(reply->keepAlive);
    EXPECT_TRUE(client.closedByServer());
    EXPECT_EQ(TestHttpClient(port_).postEnvelope("/7/timestamp").code(), 200);
}

TEST_F(EmulatorLimitsTest, AHeaderStoppedHalfwayIsAnswered408) {
    startServer(limitedOptions(300ms));
    TestHttpClient client(port_);
    client.sendRaw("POST /7/timestamp HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Le");
    const auto reply = client.read();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 408u);
    EXPECT_EQ(reply->code(), 109);
    EXPECT_TRUE(client.closedByServer());
}

// --- Slow peers ----------------------------------------------------------------

TEST_F(EmulatorLimitsTest, ARequestTricklingInPastTheReadLimitIsCutWhileOthersAreServed) {
    startServer(limitedOptions(500ms));
    const std::string request = timestampRequest();
    SlowSender slow;
    // 50 ms a byte: the request would take several seconds in all.
    std::thread sender([&] { slow.run(port_, request, 50ms); });
    TestHttpClient other(port_);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(other.postEnvelope("/7/timestamp").code(), 200) << i;
    sender.join();

    EXPECT_LT(slow.sent, request.size());  // cut before it was complete
    EXPECT_TRUE(slow.closed);
    EXPECT_EQ(slow.received.rfind("HTTP/1.1 408", 0), 0u) << slow.received;
    EXPECT_NE(slow.received.find("\"code\":109"), std::string::npos) << slow.received;
    EXPECT_EQ(other.postEnvelope("/7/timestamp").code(), 200);
}

TEST_F(EmulatorLimitsTest, ARequestSentByteByByteWithinTheLimitIsServed) {
    startServer(limitedOptions(10s));
    HttpRequest request = makeRequest(http::verb::post, "/7/timestamp", envelope().dump());
    request.keepAlive = false;  // the answer ends the connection, and the sender's reading
    SlowSender slow;
    slow.run(port_, request.wire(), 2ms);
    EXPECT_EQ(slow.sent, request.wire().size());
    EXPECT_TRUE(slow.closed);
    EXPECT_EQ(slow.received.rfind("HTTP/1.1 200", 0), 0u) << slow.received;
    EXPECT_NE(slow.received.find("\"code\":200"), std::string::npos) << slow.received;
}

// --- Kept-alive connections -----------------------------------------------

TEST_F(EmulatorLimitsTest, AnIdleKeptAliveConnectionIsClosedAfterTheIdleLimit) {
    startServer(limitedOptions(30s, 300ms));
    TestHttpClient client(port_);
    // The server's idle time starts once it has written the answer, a
    // little before the client has read it: measured from the request.
    const auto asked = SteadyClock::now();
    EXPECT_EQ(client.postEnvelope("/7/timestamp").code(), 200);
    EXPECT_FALSE(client.read());  // closed without a reply
    EXPECT_GE(SteadyClock::now() - asked, 300ms);
}

TEST_F(EmulatorLimitsTest, AKeptAliveConnectionIsHeldByTheIdleLimitNotTheReadLimit) {
    startServer(limitedOptions(300ms, 30s));
    TestHttpClient kept(port_);
    EXPECT_EQ(kept.postEnvelope("/7/timestamp").code(), 200);
    // A connection opened later is cut by the read limit; by then the read
    // limit has passed for the kept one too.
    TestHttpClient witness(port_);
    EXPECT_TRUE(witness.closedByServer());
    EXPECT_EQ(kept.postEnvelope("/7/timestamp").code(), 200);
}

// --- Responses in preparation -----------------------------------------------

TEST_F(EmulatorLimitsTest, ADelayedAnswerLongerThanTheReadLimitIsNotCut) {
    startServer(limitedOptions(200ms));
    server_->faults().add(Fault{"/7/timestamp", FaultMode::Delay, 1, 150, 700ms});
    TestHttpClient client(port_);
    const Reply delayed = client.postEnvelope("/7/timestamp");
    EXPECT_EQ(delayed.status, 200u);
    EXPECT_EQ(delayed.code(), 200);
    EXPECT_TRUE(delayed.keepAlive);
    EXPECT_EQ(client.postEnvelope("/7/timestamp").code(), 200);
}

TEST_F(EmulatorLimitsTest, ADeferredAnswerLongerThanTheReadLimitIsNotCut) {
    std::mutex mutex;
    std::condition_variable changed;
    HttpResponse::Responder responder;
    startServer(limitedOptions(200ms), [&](Router& router) {
        router.addRaw(
            "POST", "/7/later",
            [&](RequestContext&) {
            HttpResponse response;
            response.deferred = [&](HttpResponse::Responder respond) {
                std::lock_guard lock(mutex);
                responder = std::move(respond);
                changed.notify_all();
            };
            return response;
            },
            false);
    });
    TestHttpClient client(port_);
    client.send(makeRequest(http::verb::post, "/7/later", "{}"));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, kDeadline, [&] { return static_cast<bool>(responder); }));
    }
    // Once a later connection has been cut, the read limit has passed for
    // the waiting request too.
    EXPECT_TRUE(TestHttpClient(port_).closedByServer());
    std::thread([&] { responder(HttpResponse::json(200, Json{{"late", true}})); }).join();
    const auto reply = client.read();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->json, (Json{{"late", true}}));
    EXPECT_EQ(client.postEnvelope("/7/timestamp").code(), 200);
}

// --- Many connections ----------------------------------------------------------

TEST_F(EmulatorLimitsTest, BeyondTheConnectionLimitNewConnectionsAreClosedAtOnce) {
    Options options = limitedOptions(30s);
    options.maxConnections = 8;
    startServer(options);
    std::vector<std::unique_ptr<TestHttpClient>> held;
    for (int i = 0; i < 8; ++i) held.push_back(std::make_unique<TestHttpClient>(port_));
    EXPECT_EQ(held.back()->postEnvelope("/7/timestamp").code(), 200);

    // Closed well before the read limit, without a reply.
    TestHttpClient refused(port_);
    EXPECT_FALSE(refused.read());

    // A place that frees up is taken by the next connection.
    held.front().reset();
    const auto reply = firstAnswer(port_);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->code(), 200);
    // The connections that were let in are still served.
    EXPECT_EQ(held.back()->postEnvelope("/7/timestamp").code(), 200);
}

TEST_F(EmulatorLimitsTest, HundredsOfSilentConnectionsHoldUpNoOneAndAreClosedByTheReadLimit) {
    Options options = limitedOptions(2s);
    options.maxConnections = 256;
    startServer(options);
    std::vector<std::unique_ptr<TestHttpClient>> silent;
    for (int i = 0; i < 300; ++i) silent.push_back(std::make_unique<TestHttpClient>(port_));

    // The 44 beyond the limit were refused at once; the first 256 stay
    // until the read limit closes them, and the places come back.
    int refusedAtOnce = 0;
    for (std::size_t i = 256; i < silent.size(); ++i) refusedAtOnce += silent[i]->read() ? 0 : 1;
    EXPECT_EQ(refusedAtOnce, 44);
    for (std::size_t i = 0; i < 256; ++i) EXPECT_TRUE(silent[i]->closedByServer()) << i;
    const auto reply = firstAnswer(port_);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->code(), 200);

    // Below the limit, hundreds of open connections hold up no one.
    silent.clear();
    for (int i = 0; i < 200; ++i) silent.push_back(std::make_unique<TestHttpClient>(port_));
    TestHttpClient other(port_);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(other.postEnvelope("/7/timestamp").code(), 200);
}

}  // namespace
}  // namespace vorn::emulator::emutest
