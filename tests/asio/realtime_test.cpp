// Change notices and acknowledgements as asynchronous operations, against
// the emulator's realtime host.
#include "AsyncTestSupport.h"
#include "support/ScriptedHttpServer.h"
#include "support/TestDevice.h"
#include "vorn/async/VornAsync.h"
#include "vorn/core/DeviceContext.h"
#include "vorn/realtime/SocketIO.h"
#include "vorn/realtime/SocketIOTransport.h"
#include "vorn/realtime/VornEvent.h"
#include "vorn/service/Vorn.h"

#include <vorn_emulator/Realtime.h>
#include <vorn_emulator/Server.h>

#include <gtest/gtest.h>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>

namespace vorn::async_realtime_test {

using boost::asio::use_future;
using test::runUntil;

/// Counts what the channel passes on.
class Counter : public VornEventDelegate {
public:
    void vornEventCanStartListen(const std::shared_ptr<VornEvent>&) override { ++ready; }
    void vornEvent(const std::shared_ptr<VornEvent>&, const nlohmann::json&) override { ++notices; }
    void vornEventReconnectAttempt(const std::shared_ptr<VornEvent>&, int, const OptionalError&, double) override {
        ++attempts;
    }
    void vornEventDidStop(const std::shared_ptr<VornEvent>&) override { ++stops; }
    int ready = 0;
    int notices = 0;
    int attempts = 0;
    int stops = 0;
};

class Realtime : public ::testing::Test {
protected:
    static constexpr const char* kAppKey = "async-realtime-key";

    void SetUp() override {
        emulator::Options options;
        options.port = 0;
        options.memory = true;
        options.appKey = kAppKey;
        emulator::RealtimeOptions realtime;
        realtime.port = 0;
        options.realtime = realtime;
        server = std::make_unique<emulator::Server>(options);
        const unsigned short port = server->start();
        device = std::make_unique<test::TestDevice>("127.0.0.1:" + std::to_string(port));
        Vorn::registerWithAppKey(kAppKey);
        pointRealtimeAt("127.0.0.1:" + std::to_string(server->realtimePort()));
    }
    void TearDown() override {
        event->stop();
        test::drainLoop();
        server->stop();
    }
    static void pointRealtimeAt(const std::string& host) {
        ServiceHosts hosts = DeviceContext::shared().hosts();
        hosts.realtime = host;
        DeviceContext::shared().setHosts(hosts);
    }
    template <typename T>
    static T resultOf(std::future<T>& future) {
        EXPECT_TRUE(test::waitForFuture(future));
        return future.get();
    }
    static std::shared_ptr<VornObject> saved(int score) {
        auto object = VornObject::objectWithClassName("Score");
        object->setObject(VornValue(score), "score");
        auto done = async::save(object, use_future);
        resultOf(done);
        return object;
    }

    std::unique_ptr<emulator::Server> server;
    std::unique_ptr<test::TestDevice> device;
    std::shared_ptr<VornEvent> event = VornEvent::init();
};

TEST_F(Realtime, ConnectThenReceiveNoticesInOrder) {
    auto counter = std::make_shared<Counter>();
    auto channel = async::EventChannel::attach(event, counter);
    auto connected = async::connect(channel, use_future);
    resultOf(connected);
    EXPECT_TRUE(channel->isListening());
    EXPECT_EQ(counter->ready, 1);

    // Connected already: at once, yet not inside the call.
    bool again = false;
    async::connect(channel, [&](std::exception_ptr e) {
        EXPECT_FALSE(e);
        again = true;
    });
    EXPECT_FALSE(again);
    ASSERT_TRUE(test::waitFor(again));

    auto object = saved(1);
    event->listenRowChange(VornActionTypeUpdateRow, "Score", *object->objectId());
    ASSERT_TRUE(runUntil([&] { return server->realtimeSubscriptionCount() == 1; }));

    auto waiting = async::nextNotice(channel, use_future);
    object->setObject(VornValue(2), "score");
    auto updated = async::update(object, use_future);
    resultOf(updated);
    const auto first = resultOf(waiting).value;
    EXPECT_EQ(first["objectId"], *object->objectId());
    EXPECT_EQ(first["object"]["score"], 2);

    // Notices that come while nobody waits are kept.
    for (int score : {3, 4}) {
        object->setObject(VornValue(score), "score");
        auto done = async::update(object, use_future);
        resultOf(done);
    }
    ASSERT_TRUE(runUntil([&] { return channel->queuedNoticeCount() == 2; }));
    auto second = async::nextNotice(channel, use_future);
    auto third = async::nextNotice(channel, use_future);
    EXPECT_EQ(resultOf(second).value["object"]["score"], 3);
    EXPECT_EQ(resultOf(third).value["object"]["score"], 4);
    EXPECT_EQ(channel->queuedNoticeCount(), 0u);
    EXPECT_EQ(counter->notices, 3);
}

#if defined(BOOST_ASIO_HAS_CO_AWAIT)
TEST_F(Realtime, ACoroutineWaitsForTheNoticeOfItsOwnChange) {
    auto channel = async::EventChannel::attach(event);
    nlohmann::json notice;
    auto coroutine = [&]() -> boost::asio::awaitable<void> {
        using boost::asio::use_awaitable;
        co_await async::connect(channel, use_awaitable);
        event->listenTableChange(VornActionTypeUpdateTable, "Message");
        auto message = VornObject::objectWithClassName("Message");
        message->setObject(VornValue("hi"), "text");
        // Until the host has the subscription, each count is one more
        // round trip through the loop.
        while (server->realtimeSubscriptionCount() == 0) {
            co_await async::countObjects(VornQuery::queryWithClassName("Message"), use_awaitable);
        }
        co_await async::save(message, use_awaitable);
        notice = (co_await async::nextNotice(channel, use_awaitable)).value;
    };
    ASSERT_TRUE(test::runCoroutine(coroutine()));
    EXPECT_EQ(notice["tableName"], "Message");
    EXPECT_EQ(notice["object"]["text"], "hi");
}
#endif

TEST_F(Realtime, StoppingFailsTheWaitingOperations) {
    auto channel = async::EventChannel::attach(event);
    auto connected = async::connect(channel, use_future);
    resultOf(connected);
    auto waiting = async::nextNotice(channel, use_future);
    event->stop();
    ASSERT_TRUE(test::waitForFuture(waiting));
    try {
        waiting.get();
        FAIL() << "a notice came after the stop";
    } catch (const async::VornErrorException& exception) {
        EXPECT_FALSE(exception.error().domain.empty());
    }
    EXPECT_FALSE(channel->isListening());
}

TEST_F(Realtime, CancellingEndsTheWaitsAndKeepsTheChannel) {
    auto channel = async::EventChannel::attach(event);
    auto connected = async::connect(channel, use_future);
    resultOf(connected);
    auto object = saved(1);
    event->listenRowChange(VornActionTypeUpdateRow, "Score", *object->objectId());
    ASSERT_TRUE(runUntil([&] { return server->realtimeSubscriptionCount() == 1; }));

    bool called = false;
    std::exception_ptr failure;
    async::nextNotice(channel, [&](std::exception_ptr e, const async::Notice&) {
        failure = std::move(e);
        called = true;
    });
    channel->cancel();
    ASSERT_TRUE(test::waitFor(called));
    EXPECT_EQ(test::failureOf(failure),
              (std::pair<std::string, int>{async::kVornAsyncErrorDomain, async::kVornAsyncErrorCancelled}));
    EXPECT_TRUE(channel->isListening());

    auto waiting = async::nextNotice(channel, use_future);
    object->setObject(VornValue(2), "score");
    auto updated = async::update(object, use_future);
    resultOf(updated);
    EXPECT_EQ(resultOf(waiting).value["object"]["score"], 2);
}

TEST_F(Realtime, ARefusedHandshakeFailsTheConnect) {
    test::ScriptedHttpServer refusing(
        [](const test::RecordedRequest&) { return test::ScriptedAction::reply("forbidden", 403); });
    pointRealtimeAt(refusing.hostAndPort());
    auto channel = async::EventChannel::attach(event);
    auto connected = async::connect(channel, use_future);
    ASSERT_TRUE(test::waitForFuture(connected));
    try {
        connected.get();
        FAIL() << "the connect succeeded";
    } catch (const async::VornErrorException& exception) {
        EXPECT_EQ(exception.error().domain, kSocketIOErrorDomain);
        EXPECT_EQ(exception.error().code, kSocketIOErrorHandshakeForbidden);
        EXPECT_EQ(exception.code().category().name(), std::string("vorn.socketio"));
    }
}

TEST_F(Realtime, AcknowledgementsCompleteTheirSends) {
    auto recorder = std::make_shared<SocketIODelegate>();
    auto socket = SocketIO::initWithDelegate(recorder);
    socket->connectToHost("127.0.0.1", server->realtimePort());
    ASSERT_TRUE(runUntil([&] { return socket->isConnected(); }));

    auto message = async::sendMessage(socket, "hello", use_future);
    const auto messageAck = resultOf(message);
    EXPECT_TRUE(messageAck.is_null() || messageAck == "hello") << messageAck.dump();
    auto json = async::sendJSON(socket, nlohmann::json{{"a", 1}}, use_future);
    const auto jsonAck = resultOf(json);
    EXPECT_TRUE(jsonAck.is_null() || (jsonAck == nlohmann::json{{"a", 1}})) << jsonAck.dump();
    auto event = async::sendEvent(socket, "echo", nlohmann::json("ping"), use_future);
    EXPECT_NO_THROW(resultOf(event));
    EXPECT_EQ(socket->pendingAcknowledgementCount(), 0u);
    socket->disconnect();
}

/// A loopback port that nothing listens on.
std::string deadHost() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    const auto port = acceptor.local_endpoint().port();
    acceptor.close();
    return "127.0.0.1:" + std::to_string(port);
}

VornEventReconnection quickReconnection(double delay, int maxAttempts = 0) {
    VornEventReconnection reconnection;
    reconnection.enabled = true;
    reconnection.initialDelay = delay;
    reconnection.maxDelay = delay;
    reconnection.jitter = 0;
    reconnection.maxAttempts = maxAttempts;
    return reconnection;
}

template <typename T>
std::pair<std::string, int> failureOfFuture(std::future<T>& future) {
    try {
        future.get();
    } catch (...) {
        return test::failureOf(std::current_exception());
    }
    return {};
}

const std::pair<std::string, int> kChannelClosed{async::kVornAsyncErrorDomain, async::kVornAsyncErrorChannelClosed};

TEST_F(Realtime, AFirstStartThatFailsIsRetried) {
    pointRealtimeAt(deadHost());
    event->setReconnection(quickReconnection(0.05));
    auto counter = std::make_shared<Counter>();
    auto channel = async::EventChannel::attach(event, counter);
    auto connected = async::connect(channel, use_future);
    ASSERT_TRUE(runUntil([&] { return counter->attempts >= 1; }));
    pointRealtimeAt("127.0.0.1:" + std::to_string(server->realtimePort()));
    EXPECT_NO_THROW(resultOf(connected));
    EXPECT_TRUE(channel->isListening());
}

TEST_F(Realtime, AStopBetweenAttemptsEndsEveryWaiter) {
    pointRealtimeAt(deadHost());
    event->setReconnection(quickReconnection(30));
    auto counter = std::make_shared<Counter>();
    auto channel = async::EventChannel::attach(event, counter);
    auto connected = async::connect(channel, use_future);
    auto notice = async::nextNotice(channel, use_future);
    ASSERT_TRUE(runUntil([&] { return event->isReconnecting(); }));
    event->stop();
    ASSERT_TRUE(test::waitForFuture(connected, std::chrono::seconds(5)));
    ASSERT_TRUE(test::waitForFuture(notice, std::chrono::seconds(5)));
    EXPECT_EQ(failureOfFuture(connected), kChannelClosed);
    EXPECT_EQ(failureOfFuture(notice), kChannelClosed);
    EXPECT_EQ(counter->stops, 1);
    EXPECT_FALSE(event->isReconnecting());
}

TEST_F(Realtime, AStopWhoseDisconnectFailsEndsEveryWaiter) {
    // A server that lets the channel listen, then drops the disconnect request.
    std::atomic<int> gets{0};
    test::ScriptedHttpServer peer([&](const test::RecordedRequest& r) {
        if (r.target.starts_with("/socket.io/1/?")) return test::ScriptedAction::reply("p1:25:60:xhr-polling");
        if (r.target.find("?disconnect") != std::string::npos) return test::ScriptedAction::close();
        if (r.method == "POST") return test::ScriptedAction::reply("1");
        const int get = ++gets;
        if (get == 1) return test::ScriptedAction::reply("1::");
        if (get == 2) return test::ScriptedAction::reply(R"(5:::{"name":"client_send_data","args":[]})");
        return test::ScriptedAction::hang();
    });
    pointRealtimeAt(peer.hostAndPort());
    event->setReconnection(quickReconnection(0.05));
    auto channel = async::EventChannel::attach(event);
    auto connected = async::connect(channel, use_future);
    resultOf(connected);
    auto notice = async::nextNotice(channel, use_future);
    event->stop();
    ASSERT_TRUE(test::waitForFuture(notice, std::chrono::seconds(5)));
    EXPECT_EQ(failureOfFuture(notice), kChannelClosed);
    EXPECT_FALSE(event->isReconnecting());
}

TEST_F(Realtime, NoticesComeParsedWithTheirTextAndTextThatIsNoJsonAsItself) {
    std::atomic<int> gets{0};
    test::ScriptedHttpServer peer([&](const test::RecordedRequest& r) {
        if (r.target.starts_with("/socket.io/1/?")) return test::ScriptedAction::reply("p1:25:60:xhr-polling");
        if (r.target.find("?disconnect") != std::string::npos) return test::ScriptedAction::reply("");
        if (r.method == "POST") return test::ScriptedAction::reply("1");
        const int get = ++gets;
        if (get == 1) return test::ScriptedAction::reply("1::");
        if (get == 2) return test::ScriptedAction::reply(R"(5:::{"name":"client_send_data","args":[]})");
        if (get == 3) {
            // Three notices in one body: JSON text, text that is no JSON, and
            // a map sent as it is.
            const std::string json = R"(5:::{"name":"server_pub","args":["{\"objectId\":\"a\",\"n\":[1,2]}"]})";
            const std::string text = R"(5:::{"name":"server_pub","args":["not {json"]})";
            const std::string map = R"(5:::{"name":"server_pub","args":[{"objectId":"b"}]})";
            std::string body;
            for (const std::string* packet : {&json, &text, &map}) {
                body += "\xEF\xBF\xBD" + std::to_string(packet->size()) + "\xEF\xBF\xBD" + *packet;
            }
            return test::ScriptedAction::reply(body);
        }
        return test::ScriptedAction::hang();
    });
    pointRealtimeAt(peer.hostAndPort());
    auto channel = async::EventChannel::attach(event);
    auto connected = async::connect(channel, use_future);
    resultOf(connected);
    ASSERT_TRUE(runUntil([&] { return channel->queuedNoticeCount() == 3; }));
    auto first = async::nextNotice(channel, use_future);
    const async::Notice parsed = resultOf(first);
    EXPECT_EQ(parsed.value, (nlohmann::json{{"objectId", "a"}, {"n", {1, 2}}}));
    EXPECT_EQ(parsed.text, R"({"objectId":"a","n":[1,2]})");
    auto second = async::nextNotice(channel, use_future);
    const async::Notice text = resultOf(second);
    EXPECT_EQ(text.value, "not {json");
    EXPECT_EQ(text.text, "not {json");
    auto third = async::nextNotice(channel, use_future);
    const async::Notice map = resultOf(third);
    EXPECT_EQ(map.value, (nlohmann::json{{"objectId", "b"}}));
    EXPECT_EQ(map.text, R"({"objectId":"b"})");
    event->stop();
}

TEST_F(Realtime, ADelayOfZeroKeepsWaitingThroughEveryAttempt) {
    pointRealtimeAt(deadHost());
    event->setReconnection(quickReconnection(0, 3));
    auto counter = std::make_shared<Counter>();
    auto channel = async::EventChannel::attach(event, counter);
    auto connected = async::connect(channel, use_future);
    ASSERT_TRUE(test::waitForFuture(connected, std::chrono::seconds(10)));
    EXPECT_EQ(counter->attempts, 3);
    EXPECT_EQ(failureOfFuture(connected).first, kSocketIOErrorDomain);
}

TEST_F(Realtime, ADisconnectOfTheSessionCancelsAScheduledReconnection) {
    pointRealtimeAt(deadHost());
    event->setReconnection(quickReconnection(0.3));
    auto counter = std::make_shared<Counter>();
    auto channel = async::EventChannel::attach(event, counter);
    auto connected = async::connect(channel, use_future);
    ASSERT_TRUE(runUntil([&] { return event->isReconnecting(); }));
    event->vornSocketIO()->disconnect();
    pointRealtimeAt("127.0.0.1:" + std::to_string(server->realtimePort()));
    ASSERT_TRUE(test::waitForFuture(connected, std::chrono::seconds(5)));
    EXPECT_EQ(failureOfFuture(connected), kChannelClosed);
    EXPECT_EQ(counter->stops, 1);
    EXPECT_FALSE(event->vornSocketIO()->isConnecting());
    EXPECT_FALSE(event->vornSocketIO()->isConnected());
}

TEST_F(Realtime, LeavingANamespaceDropsItsSubscriptions) {
    auto recorder = std::make_shared<SocketIODelegate>();
    auto socket = SocketIO::initWithDelegate(recorder);
    socket->connectToHost("127.0.0.1", server->realtimePort(), std::nullopt, "/n");
    ASSERT_TRUE(runUntil([&] { return socket->isConnected() && !socket->isConnecting(); }));
    socket->sendEvent("client_sub",
                      nlohmann::json(*VornEvent::eventDicWithType(VornActionTypeUpdateTable, "Score", "")));
    ASSERT_TRUE(runUntil([&] { return server->realtimeSubscriptionCount() == 1; }));
    socket->transport()->send("0::/n");
    ASSERT_TRUE(runUntil([&] { return server->realtimeSubscriptionCount() == 0; }));
    socket->disconnect();
}

}  // namespace vorn::async_realtime_test
