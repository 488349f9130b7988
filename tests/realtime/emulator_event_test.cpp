// Subscriptions end to end: objects changed through the library reach the
// matching subscribers through the emulator's realtime host.
#include "RealtimeTestSupport.h"
#include "support/SamePorts.h"
#include "support/TestDevice.h"
#include "vorn/data/VornACL.h"
#include "vorn/data/VornObject.h"
#include "vorn/data/VornObjectsBatch.h"
#include "vorn/net/VornUrlRequest.h"
#include "vorn/realtime/VornEvent.h"
#include "vorn/service/Vorn.h"
#include "vorn_emulator/Realtime.h"
#include "vorn_emulator/Server.h"

#include <gtest/gtest.h>

#include <set>

namespace vorn::emulator_event_test {

using test::runUntil;

class Notices : public VornEventDelegate {
public:
    void vornEventCanStartListen(const std::shared_ptr<VornEvent>&) override { ++ready; }
    void vornEvent(const std::shared_ptr<VornEvent>&, const nlohmann::json& message) override {
        notices.push_back(nlohmann::json::parse(message.get<std::string>()));
    }
    void vornEventDidDisConnect(const std::shared_ptr<VornEvent>&, const OptionalError&) override { ++disconnects; }
    void vornEventReconnectAttempt(const std::shared_ptr<VornEvent>&, int attempt, const OptionalError& outcome,
                                   double) override {
        attempts.emplace_back(attempt, outcome.has_value());
    }
    void vornEvent(const std::shared_ptr<VornEvent>&, const VornError& error) override { errors.push_back(error); }
    std::vector<std::pair<int, bool>> attempts;  // attempt, failed
    std::vector<VornError> errors;
    int ready = 0;
    int disconnects = 0;
    std::vector<nlohmann::json> notices;
};

class Subscriptions : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        emulator::Options options;
        options.port = 0;
        options.memory = true;
        options.appKey = kAppKey;
        emulator::RealtimeOptions realtime;
        realtime.port = 0;
        realtime.transports = {GetParam()};
        // A lost host is noticed within 8 s (heartbeat timeout + 7) on polling.
        realtime.heartbeatTimeout = std::chrono::seconds(1);
        realtime.heartbeatInterval = std::chrono::milliseconds(200);
        options.realtime = realtime;
        server = std::make_unique<emulator::Server>(options);
        const unsigned short port = server->start();
        device = std::make_unique<test::TestDevice>("127.0.0.1:" + std::to_string(port));
        Vorn::registerWithAppKey(kAppKey);
        ServiceHosts hosts = DeviceContext::shared().hosts();
        hosts.realtime = "127.0.0.1:" + std::to_string(server->realtimePort());
        DeviceContext::shared().setHosts(hosts);
        event->setDelegate(listener);
        event->start();
        ASSERT_TRUE(runUntil([&] { return listener->ready == 1; }));
    }
    void TearDown() override {
        event->stop();
        server->stop();
    }

    std::shared_ptr<VornObject> saved(const std::string& className, int score, bool publicRead = true) {
        auto object = VornObject::objectWithClassName(className);
        object->setObject(VornValue(score), "score");
        if (!publicRead) {
            auto acl = VornACL::ACL();
            acl->setReadAccessForUserId("nobody");
            object->setACL(acl);
        }
        test::BooleanResult result;
        object->saveInBackgroundWithResultBlock(result.block());
        EXPECT_TRUE(result.wait());
        EXPECT_TRUE(result.succeeded);
        return object;
    }
    /// Creates an object through the emulator's admin path, synchronously on
    /// this thread: the main loop does not run meanwhile, so the session
    /// neither reads nor polls until the test runs it again.
    void savedOffTheLoop(const std::string& className, const nlohmann::json& fields) {
        auto request =
            VornUrlRequest::initWithUrl("http://127.0.0.1:" + std::to_string(server->port()) + "/admin/objects/save");
        request->setHttpMethod("POST");
        request->addValue("application/json", "Content-Type");
        request->setPostBody(nlohmann::json{{"className", className}, {"data", fields}}.dump());
        request->startSyncConnection();
        ASSERT_TRUE(request->responseData());
        EXPECT_NE(request->responseString().find("objectId"), std::string::npos) << request->responseString();
    }
    /// Waits for `count` notices in all.
    bool noticesArrive(std::size_t count) {
        return runUntil([&] { return listener->notices.size() >= count; });
    }

    static constexpr const char* kAppKey = "realtime-app-key";
    std::unique_ptr<emulator::Server> server;
    std::unique_ptr<test::TestDevice> device;
    std::shared_ptr<VornEvent> event = VornEvent::init();
    std::shared_ptr<Notices> listener = std::make_shared<Notices>();
};

TEST_P(Subscriptions, TableAndRowNoticesThenNothingAfterCancel) {
    event->listenTableChange(VornActionTypeUpdateTable, "Score");
    ASSERT_TRUE(runUntil([&] { return server->realtimeSubscriptionCount() == 1; }));

    auto first = saved("Score", 1);
    ASSERT_TRUE(noticesArrive(1));
    nlohmann::json notice = listener->notices[0];
    EXPECT_EQ(notice["action"], "updateTable");
    EXPECT_EQ(notice["tableName"], "Score");
    EXPECT_EQ(notice["objectId"], *first->objectId());
    EXPECT_EQ(notice["change"], "create");
    EXPECT_EQ(notice["object"]["score"], 1);

    event->listenRowChange(VornActionTypeUpdateRow, "Score", *first->objectId());
    event->listenRowChange(VornActionTypeDeleteRow, "Score", *first->objectId());
    ASSERT_TRUE(runUntil([&] { return server->realtimeSubscriptionCount() == 3; }));
    first->setObject(VornValue(2), "score");
    test::BooleanResult updated;
    first->updateInBackgroundWithResultBlock(updated.block());
    ASSERT_TRUE(updated.wait());
    ASSERT_TRUE(noticesArrive(3));
    std::set<std::string> actions{listener->notices[1]["action"], listener->notices[2]["action"]};
    EXPECT_EQ(actions, (std::set<std::string>{"updateTable", "updateRow"}));
    EXPECT_EQ(listener->notices[1]["object"]["score"], 2);

    // A batch's changes publish too.
    auto batch = VornObjectsBatch::init();
    batch->saveVornObjectWithClassName("Score", VornValueMap{{"score", VornValue(7)}});
    batch->saveVornObjectWithClassName("Other", VornValueMap{{"score", VornValue(8)}});
    test::BooleanResult batched;
    batch->batchObjectsInBackgroundWithResultBlock(batched.block());
    ASSERT_TRUE(batched.wait());
    ASSERT_TRUE(noticesArrive(4));
    EXPECT_EQ(listener->notices[3]["object"]["score"], 7);

    // Cancelled: the table's creates reach nobody; the row's delete still does.
    event->cancleListenTableChange(VornActionTypeUpdateTable, "Score");
    ASSERT_TRUE(runUntil([&] { return server->realtimeSubscriptionCount() == 2; }));
    saved("Score", 9);
    test::BooleanResult deleted;
    first->deleteInBackgroundWithBlock(deleted.block());
    ASSERT_TRUE(deleted.wait());
    ASSERT_TRUE(noticesArrive(5));
    test::drainLoop();
    ASSERT_EQ(listener->notices.size(), 5u);
    EXPECT_EQ(listener->notices[4]["action"], "deleteRow");
    EXPECT_EQ(listener->notices[4]["change"], "delete");
    EXPECT_FALSE(listener->notices[4].contains("object"));
}

// U+FFFD is the marker of the polling framing; inside a notice it is text
// like any other, as are characters of two UTF-16 units.
const std::string kFFFD = "\xEF\xBF\xBD";
const std::string kEmoji = "\xF0\x9F\x98\x80";

TEST_P(Subscriptions, ReplacementCharactersInFieldsArriveIntact) {
    event->listenTableChange(VornActionTypeUpdateTable, "Text");
    ASSERT_TRUE(runUntil([&] { return server->realtimeSubscriptionCount() == 1; }));
    const std::string text = "a" + kFFFD + "b";
    auto object = VornObject::objectWithClassName("Text");
    object->setObject(VornValue(text), "text");
    object->setObject(VornValue(kFFFD + kEmoji + kFFFD), "edges");
    test::BooleanResult result;
    object->saveInBackgroundWithResultBlock(result.block());
    ASSERT_TRUE(result.wait());
    ASSERT_TRUE(noticesArrive(1));
    EXPECT_EQ(listener->notices[0]["object"]["text"], text);
    EXPECT_EQ(listener->notices[0]["object"]["edges"], kFFFD + kEmoji + kFFFD);
}

TEST_P(Subscriptions, NoticesSharingOnePollingBodyArriveIntact) {
    event->listenTableChange(VornActionTypeUpdateTable, "Text");
    ASSERT_TRUE(runUntil([&] { return server->realtimeSubscriptionCount() == 1; }));
    // Three notices while the session cannot poll again: whatever the held
    // GET took, at least two of them come in one framed body.
    const std::vector<std::string> texts = {"a" + kFFFD + "b", kFFFD + kEmoji + "2" + kFFFD + "5" + kFFFD,
                                            kEmoji + kFFFD + kFFFD + "\xC3\xA9"};
    ::testing::internal::CaptureStderr();
    for (const std::string& text : texts) savedOffTheLoop("Text", {{"text", text}});
    const bool arrived = noticesArrive(texts.size());
    const std::string log = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(arrived);
    test::drainLoop();
    ASSERT_EQ(listener->notices.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(listener->notices[i]["change"], "create");
        EXPECT_EQ(listener->notices[i]["object"]["text"], texts[i]) << i;
    }
    if (std::string(GetParam()) == "xhr-polling") {
        EXPECT_NE(log.find("Parsed a payload!"), std::string::npos) << "no framed body";
    }
}

TEST_P(Subscriptions, ProtectedObjectsGoWithoutTheirFields) {
    event->listenTableChange(VornActionTypeUpdateTable, "Secret");
    ASSERT_TRUE(runUntil([&] { return server->realtimeSubscriptionCount() == 1; }));
    saved("Secret", 5, false);
    ASSERT_TRUE(noticesArrive(1));
    EXPECT_EQ(listener->notices[0]["change"], "create");
    EXPECT_FALSE(listener->notices[0].contains("object"));
}

TEST_P(Subscriptions, ReconnectionResubscribesAfterTheHostRestarts) {
    VornEventReconnection reconnection;
    reconnection.enabled = true;
    reconnection.initialDelay = 0.05;
    reconnection.maxDelay = 0.2;
    event->setReconnection(reconnection);
    event->listenTableChange(VornActionTypeUpdateTable, "Score");
    ASSERT_TRUE(runUntil([&] { return server->realtimeSubscriptionCount() == 1; }));

    // The emulator goes away and comes back on the same ports.
    emulator::Options options = server->options();
    options.port = server->port();
    options.realtime->port = server->realtimePort();
    server->stop();
    ASSERT_TRUE(runUntil([&] { return listener->disconnects == 1; }, std::chrono::seconds(20)));
    ASSERT_TRUE(runUntil([&] { return listener->attempts.size() >= 1; })) << [&] {
        std::string codes;
        for (const auto& e : listener->errors) codes += std::to_string(e.code) + " " + e.message() + ";";
        return codes;
    }();
    EXPECT_TRUE(listener->attempts[0].second) << "the host is down: the first attempt fails";
    test::startOnSamePorts([&] {
        server.reset();
        server = std::make_unique<emulator::Server>(options);
        return server->start();
    });

    ASSERT_TRUE(runUntil([&] { return listener->ready == 2; }, std::chrono::seconds(20)));
    EXPECT_FALSE(listener->attempts.back().second);
    ASSERT_TRUE(runUntil([&] { return server->realtimeSubscriptionCount() == 1; }));
    saved("Score", 3);
    ASSERT_TRUE(noticesArrive(1));
    EXPECT_EQ(listener->notices[0]["object"]["score"], 3);
}

INSTANTIATE_TEST_SUITE_P(Transports, Subscriptions, ::testing::Values("websocket", "xhr-polling"));

}  // namespace vorn::emulator_event_test
