// Data-change subscriptions against a scripted polling peer: the checks,
// the exact messages, and what reaches the listener.
#include "RealtimeTestSupport.h"
#include "support/TestDevice.h"
#include "vorn/realtime/VornEvent.h"
#include "vorn/service/Vorn.h"

#include <gtest/gtest.h>

#include <map>

namespace vorn::event_test {

using test::PollingPeer;
using test::RecordedRequest;
using test::runUntil;
using test::ScriptedAction;

class EventRecorder : public VornEventDelegate {
public:
    void vornEventDidConnect(const std::shared_ptr<VornEvent>&) override { ++connects; }
    void vornEventCanStartListen(const std::shared_ptr<VornEvent>&) override { ++canListen; }
    void vornEvent(const std::shared_ptr<VornEvent>&, const nlohmann::json& message) override {
        messages.push_back(message);
    }
    void vornEvent(const std::shared_ptr<VornEvent>&, const VornError& error) override { errors.push_back(error); }
    void vornEventDidDisConnect(const std::shared_ptr<VornEvent>&, const OptionalError& error) override {
        ++disconnects;
        disconnectError = error;
    }
    int connects = 0, canListen = 0, disconnects = 0;
    OptionalError disconnectError;
    std::vector<nlohmann::json> messages;
    std::vector<VornError> errors;
};

/// The one argument of a "client_sub"/"client_unsub" event POSTed to the peer.
nlohmann::json messageOf(const RecordedRequest& post, const std::string& eventName) {
    const std::string prefix = "5:::";
    EXPECT_TRUE(post.body.starts_with(prefix)) << post.body;
    const auto event = nlohmann::json::parse(post.body.substr(prefix.size()));
    EXPECT_EQ(event["name"], eventName);
    EXPECT_EQ(event["args"].size(), 1u);
    const std::string text = event["args"][0].get<std::string>();
    EXPECT_NE(text.find('\n'), std::string::npos) << "the message is pretty-printed text";
    return nlohmann::json::parse(text);
}

void pointRealtimeAt(const std::string& host) {
    ServiceHosts hosts = DeviceContext::shared().hosts();
    hosts.realtime = host;
    DeviceContext::shared().setHosts(hosts);
}

struct EventFixture : ::testing::Test {
    EventFixture()
        : peer([](const RecordedRequest&) { return ScriptedAction::reply("1"); }), device(peer.server().hostAndPort()) {
        Vorn::registerWithAppKey("event-app-key");
        pointRealtimeAt(peer.server().hostAndPort());
        event->setDelegate(recorder);
    }
    ~EventFixture() override { event->vornSocketIO()->disconnect(); }

    PollingPeer peer;
    test::TestDevice device;
    std::shared_ptr<VornEvent> event = VornEvent::init();
    std::shared_ptr<EventRecorder> recorder = std::make_shared<EventRecorder>();
};

TEST_F(EventFixture, MessagesHoldExactlyTheFourStrings) {
    auto message = nlohmann::json::parse(VornEvent::eventDicWithType(VornActionTypeDeleteRow, "T", "r").value());
    EXPECT_EQ(
        message,
        (nlohmann::json{{"appKey", "event-app-key"}, {"tableName", "T"}, {"objectId", "r"}, {"action", "deleteRow"}}));
    auto cancel = nlohmann::json::parse(VornEvent::unSubEventDicWithType(VornActionTypeDeleteRow, "T", "r").value());
    EXPECT_EQ(cancel["action"], "unsub_deleteRow");
    EXPECT_EQ(nlohmann::json::parse(*VornEvent::eventDicWithType(0, "T", ""))["action"], "updateTable");
    EXPECT_FALSE(VornEvent::eventDicWithType(4, "T", ""));
    EXPECT_FALSE(VornEvent::unSubEventDicWithType(-1, "T", ""));

    // The key is read afresh for every message.
    Vorn::registerWithAppKey("second-key");
    EXPECT_EQ(nlohmann::json::parse(*VornEvent::eventDicWithType(1, "T", "r"))["appKey"], "second-key");
}

TEST_F(EventFixture, ChecksSendNothingAndEarlySubscriptionsAreDropped) {
    // Before start: dropped.
    event->listenTableChange(VornActionTypeUpdateTable, "Dropped");
    event->start();
    EXPECT_TRUE(event->vornSocketIO()->isConnecting());
    // While connecting: queued and sent once connected.
    event->listenTableChange(VornActionTypeUpdateTable, "Early");
    // Failing checks: nothing at all.
    event->listenTableChange(VornActionTypeUpdateRow, "T");
    event->listenTableChange(VornActionTypeDeleteTable, "");
    event->listenRowChange(VornActionTypeUpdateTable, "T", "r");
    event->listenRowChange(VornActionTypeUpdateRow, "T", "");
    event->listenRowChange(VornActionTypeDeleteRow, "", "r");
    event->cancleListenTableChange(VornActionTypeDeleteRow, "T");
    event->cancleListenRowChange(VornActionTypeDeleteTable, "T", "r");
    EXPECT_EQ(event->vornSocketIO()->queuedPacketCount(), 1u);
    // A second start while connecting changes nothing.
    event->start();

    ASSERT_TRUE(runUntil([&] { return recorder->connects == 1 && !peer.posts().empty(); }));
    EXPECT_TRUE(event->isConnected());
    EXPECT_EQ(messageOf(peer.posts()[0], "client_sub")["tableName"], "Early");

    event->listenRowChange(VornActionTypeDeleteRow, "T", "r");
    event->cancleListenRowChange(VornActionTypeDeleteRow, "T", "r");
    event->cancleListenTableChange(VornActionTypeUpdateTable, "Early");
    ASSERT_TRUE(runUntil([&] { return peer.posts().size() == 4; }));
    // Overlapping POSTs may arrive in any order.
    std::map<std::string, nlohmann::json> byAction;
    const auto posts = peer.posts();
    for (std::size_t i = 1; i < posts.size(); ++i) {
        const bool cancel = posts[i].body.find("client_unsub") != std::string::npos;
        auto message = messageOf(posts[i], cancel ? "client_unsub" : "client_sub");
        byAction[message["action"].get<std::string>()] = message;
    }
    ASSERT_EQ(byAction.size(), 3u);
    EXPECT_EQ(byAction["deleteRow"]["objectId"], "r");
    EXPECT_EQ(byAction["unsub_deleteRow"]["tableName"], "T");
    EXPECT_EQ(byAction["unsub_updateTable"]["objectId"], "");
    EXPECT_EQ(peer.server().requests().at(0).target.substr(0, 16), "/socket.io/1/?t=");
    const auto requests = peer.server().requests();
    EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                            [](const RecordedRequest& r) { return r.target.starts_with("/socket.io/1/?"); }),
              1)
        << "one handshake";
}

TEST_F(EventFixture, NoticesReachTheListener) {
    event->start();
    ASSERT_TRUE(runUntil([&] { return recorder->connects == 1; }));
    peer.release(R"(5:::{"name":"client_send_data","args":["{\"sid\":\"x\"}"]})");
    ASSERT_TRUE(runUntil([&] { return recorder->canListen == 1; }));
    peer.release(R"(5:::{"name":"server_pub","args":["{\"a\":1}",2]})");
    ASSERT_TRUE(runUntil([&] { return recorder->messages.size() == 1; }));
    EXPECT_EQ(recorder->messages[0], "{\"a\":1}") << "the first argument as received, not parsed";
    peer.release(R"(5:::{"name":"server_pub"})");
    ASSERT_TRUE(runUntil([&] { return recorder->messages.size() == 2; }));
    EXPECT_TRUE(recorder->messages[1].is_null());
    // Other names, messages and JSON packets are ignored.
    peer.release(R"(5:::{"name":"other","args":[1]})");
    peer.release("3:::text");
    peer.release("0::");
    ASSERT_TRUE(runUntil([&] { return recorder->disconnects == 1; }));
    EXPECT_EQ(recorder->messages.size(), 2u);
    EXPECT_EQ(recorder->disconnectError->code, kSocketIOErrorServerDisconnected);
}

TEST(VornEventAddress, ConfiguredHostAndPort) {
    test::TestDevice device;
    pointRealtimeAt("127.0.0.1:4555");
    EXPECT_EQ(VornEvent::realtimeAddress(), (std::pair<std::string, std::int64_t>{"127.0.0.1", 4555}));
    pointRealtimeAt("rt.example");
    EXPECT_EQ(VornEvent::realtimeAddress(), (std::pair<std::string, std::int64_t>{"rt.example", 3010}));
    pointRealtimeAt("rt.example:99999");
    EXPECT_EQ(VornEvent::realtimeAddress().second, 3010);
    pointRealtimeAt("rt.example:65535");
    EXPECT_EQ(VornEvent::realtimeAddress().second, 65535);
    EXPECT_EQ(VornEvent::defaultVornEvent(), VornEvent::defaultVornEvent());
    EXPECT_NE(VornEvent::init(), VornEvent::defaultVornEvent());
}

TEST(VornEventReconnection, DelaysGrowToTheCapWithBoundedJitter) {
    VornEventReconnection options;
    options.initialDelay = 0.5;
    options.multiplier = 2.0;
    options.maxDelay = 3.0;
    options.jitter = 0.0;
    EXPECT_DOUBLE_EQ(VornEvent::reconnectDelay(1, options, 0.7), 0.5);
    EXPECT_DOUBLE_EQ(VornEvent::reconnectDelay(2, options, 0.7), 1.0);
    EXPECT_DOUBLE_EQ(VornEvent::reconnectDelay(3, options, 0.7), 2.0);
    EXPECT_DOUBLE_EQ(VornEvent::reconnectDelay(4, options, 0.7), 3.0);
    EXPECT_DOUBLE_EQ(VornEvent::reconnectDelay(1000000, options, 0.7), 3.0);
    options.jitter = 0.2;
    EXPECT_DOUBLE_EQ(VornEvent::reconnectDelay(2, options, 0.0), 0.8);
    EXPECT_DOUBLE_EQ(VornEvent::reconnectDelay(2, options, 0.5), 1.0);
    EXPECT_NEAR(VornEvent::reconnectDelay(2, options, 0.999999), 1.2, 1e-5);
    // Nonsense settings stay sane.
    options.multiplier = 0.1;
    options.jitter = 7;
    options.initialDelay = -1;
    EXPECT_GE(VornEvent::reconnectDelay(3, options, 2.0), 0.0);
    EXPECT_LE(VornEvent::reconnectDelay(3, options, 2.0), 6.0);
}

TEST_F(EventFixture, RemembersSubscriptionsOnlyWithReconnectionOn) {
    event->listenTableChange(VornActionTypeUpdateTable, "T");
    EXPECT_EQ(event->rememberedSubscriptionCount(), 0u);
    VornEventReconnection on;
    on.enabled = true;
    event->setReconnection(on);
    event->listenTableChange(VornActionTypeUpdateTable, "T");
    event->listenRowChange(VornActionTypeUpdateRow, "T", "r");
    event->listenRowChange(VornActionTypeUpdateRow, "T", "r");
    event->listenRowChange(VornActionTypeUpdateRow, "T", "");  // refused, not remembered
    EXPECT_EQ(event->rememberedSubscriptionCount(), 2u);
    event->cancleListenRowChange(VornActionTypeUpdateRow, "T", "r");
    EXPECT_EQ(event->rememberedSubscriptionCount(), 1u);
    event->setReconnection(VornEventReconnection{});
    EXPECT_EQ(event->rememberedSubscriptionCount(), 0u);
}

}  // namespace vorn::event_test
