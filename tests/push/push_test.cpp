#include "support/ScriptedHttpServer.h"
#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/core/DeviceContext.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/push/VornPush.h"
#include "vorn/query/VornQuery.h"
#include "vorn/service/Vorn.h"

#include <gtest/gtest.h>

#include <deque>
#include <mutex>

using namespace vorn;
using json = nlohmann::json;
using test::RecordedRequest;
using test::ScriptedAction;
using test::ScriptedHttpServer;

namespace push_test {

/// A reply cut short: a transport failure that the HTTP client does not
/// retry by itself (it retries a request whose reused connection closes
/// before any byte of the reply).
ScriptedAction brokenReply() {
    return ScriptedAction::rawBytes("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"cut\"");
}

std::string reply(int code = 200, const std::string& message = "ok") {
    return json{{"result", {{"code", code}, {"message", message}}}, {"data", {{"pushId", "p1"}}}}.dump();
}

/// Every alert shown, as "title|message|button".
class RecordingAlerts : public AlertPresenter {
public:
    std::vector<std::string> shown;
    void showAlert(const std::string& title, const std::string& message, const std::string& cancel,
                   const std::vector<std::string>& others) override {
        shown.push_back(title + "|" + message + "|" + cancel + "|" + std::to_string(others.size()));
    }
};

using Result = test::BooleanResult;

class PushTest : public ::testing::Test {
protected:
    void SetUp() override {
        DeviceContext::shared().setIdentity(AppIdentity{"com.example.push", "Pusher", "1"});
        Vorn::registerWithAppKey("push-key");
    }
    void queue(ScriptedAction action) {
        std::lock_guard lock(mutex_);
        replies_.push_back(std::move(action));
    }
    /// The whole envelope of the request number `index`, once it arrived.
    json sent(std::size_t index) {
        EXPECT_TRUE(test::runUntil([&] { return server_.requests().size() > index; }));
        test::drainLoop();
        const auto requests = server_.requests();
        if (requests.size() <= index) return nullptr;
        EXPECT_EQ(requests[index].target, "/7/push");
        EXPECT_EQ(requests[index].header("x-vorn-app-key"), "push-key");
        EXPECT_EQ(requests[index].headers.count("x-vorn-session-token"), 0u);
        return json::parse(requests[index].body);
    }
    std::shared_ptr<VornQuery> scoreQuery() {
        auto query = VornQuery::queryWithClassName("_Installation");
        query->whereKeyEqualTo("score", VornValue(json(7)));
        return query;
    }

    std::mutex mutex_;
    std::deque<ScriptedAction> replies_;
    ScriptedHttpServer server_{[this](const RecordedRequest&) {
        std::lock_guard lock(mutex_);
        if (replies_.empty()) return ScriptedAction::reply(reply());
        auto action = replies_.front();
        replies_.pop_front();
        return action;
    }};
    test::TestDevice device_{server_.hostAndPort()};
};

TEST_F(PushTest, AnObjectSendCarriesItsTargetsAndKeepsThemForTheNextSend) {
    auto push = VornPush::push();
    push->setChannels(json{"news", "sport"});
    push->setChannel("");
    push->setChannel(std::nullopt);
    push->setQuery(scoreQuery());
    push->setMessage("hello");
    push->setData(json::object());
    const auto when = v_VornUtils::dateOfString("2030-01-02 03:04:05").value();
    push->expireAtDate(when);
    push->expireAfterTimeInterval(90.5);
    push->pushDate(when);
    Result first;
    push->sendPushInBackgroundWithBlock(first.block());
    ASSERT_TRUE(first.wait());
    EXPECT_TRUE(first.succeeded);

    const auto envelope = sent(0);
    EXPECT_EQ(envelope.size(), 3u) << envelope.dump();
    EXPECT_TRUE(envelope.contains("client"));
    EXPECT_EQ(envelope["v"], "v1.4.9");
    const json expected{{"channels", {"news", "sport"}}, {"where", {{"score", 7}}},
                        {"data", {{"alert", "hello"}}},  {"expiration_time", "2030-01-02 03:04:05"},
                        {"expiration_interval", 90.5},   {"push_time", "2030-01-02 03:04:05"}};
    EXPECT_EQ(envelope["data"], expected);

    push->setData(json{{"badge", 1}});
    push->sendPushInBackground();
    const auto second = sent(1)["data"];
    EXPECT_EQ(second["channels"], expected["channels"]);
    EXPECT_EQ(second["where"], expected["where"]);
    EXPECT_EQ(second["data"], (json{{"badge", 1}})) << "the later of message and data wins";

    EXPECT_TRUE(push->sendPush());
    test::drainLoop();
    EXPECT_EQ(server_.requests().size(), 2u);
}

TEST_F(PushTest, ClassSendersBuildOneRequestEach) {
    Result channel;
    VornPush::sendPushMessageToChannelInBackground("news", "breaking", channel.block());
    ASSERT_TRUE(channel.wait());
    EXPECT_EQ(sent(0)["data"], (json{{"channels", {"news"}}, {"data", {{"alert", "breaking"}}}}));

    VornPush::sendPushMessageToQueryInBackground(scoreQuery(), "to seven");
    EXPECT_EQ(sent(1)["data"], (json{{"where", {{"score", 7}}}, {"data", {{"alert", "to seven"}}}}));

    VornPush::sendPushDataToChannelInBackground("news", json::object());
    EXPECT_EQ(sent(2)["data"], (json{{"channels", {"news"}}})) << "an empty map sends no \"data\"";

    VornPush::sendPushDataToQueryInBackground(VornQuery::queryWithClassName("_Installation"), json{{"k", "v"}});
    EXPECT_EQ(sent(3)["data"], (json{{"data", {{"k", "v"}}}})) << "a query without constraints sends no \"where\"";
}

TEST_F(PushTest, MissingContentIsReportedOnlyWhereThereIsACallback) {
    Result noMessage, emptyMessage, noData, nullData;
    VornPush::sendPushMessageToChannelInBackground("news", std::nullopt, noMessage.block());
    VornPush::sendPushMessageToQueryInBackground(scoreQuery(), "", emptyMessage.block());
    VornPush::sendPushDataToChannelInBackground("news", std::nullopt, noData.block());
    VornPush::sendPushDataToQueryInBackground(scoreQuery(), json(nullptr), nullData.block());
    VornPush::sendPushMessageToChannelInBackground("news", "");
    VornPush::sendPushDataToQueryInBackground(scoreQuery(), std::nullopt);
    for (const auto* result : {&noMessage, &emptyMessage, &noData, &nullData}) {
        EXPECT_EQ(result->calls, 1);
        EXPECT_EQ(result->error.value_or(VornError{}).code, kVornErrorNilPushContent);
        EXPECT_EQ(result->error.value_or(VornError{}).message(), "nil push content");
    }
    test::drainLoop();
    EXPECT_TRUE(server_.requests().empty());
}

TEST_F(PushTest, RepliesFollowTheReplyRule) {
    queue(ScriptedAction::reply("nope"));
    Result garbled;
    VornPush::sendPushDataToChannelInBackground("c", json{{"a", 1}}, garbled.block());
    ASSERT_TRUE(garbled.wait());
    EXPECT_EQ(garbled.error->code, kVornErrorUnknown);

    queue(ScriptedAction::reply(reply(115, "push disabled")));
    Result refused;
    VornPush::push()->sendPushInBackgroundWithBlock(refused.block());
    ASSERT_TRUE(refused.wait());
    EXPECT_EQ(refused.error->code, 115);
    EXPECT_EQ(refused.error->message(), "push disabled");

    queue(brokenReply());
    Result dropped;
    VornPush::sendPushMessageToChannelInBackground("c", "m", dropped.block());
    ASSERT_TRUE(dropped.wait());
    EXPECT_EQ(dropped.error->code, kVornErrorConnectFailed);
    test::drainLoop();
    EXPECT_EQ(dropped.calls, 1);
    EXPECT_TRUE(VornPush::queryDictionary(nullptr).is_null());
}

TEST_F(PushTest, HandlePushShowsTheAlertWithTheDisplayName) {
    auto alerts = std::make_shared<RecordingAlerts>();
    DeviceContext::shared().setAlertPresenter(alerts);
    VornPush::handlePush(json{{"aps", {{"badge", 1}}}});
    VornPush::handlePush(json{{"other", 1}});
    VornPush::handlePush(json::array());
    EXPECT_TRUE(alerts->shown.empty());
    VornPush::handlePush(json{{"aps", {{"alert", "You won"}}}});
    VornPush::handlePush(json{{"aps", {{"alert", {{"body", "b"}}}}}});
    ASSERT_EQ(alerts->shown.size(), 2u);
    EXPECT_EQ(alerts->shown[0], "Pusher|You won|确定|0");
    EXPECT_EQ(alerts->shown[1], "Pusher|{\"body\":\"b\"}|确定|0");
}

}  // namespace push_test
