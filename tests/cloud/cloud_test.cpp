#include "support/ScriptedHttpServer.h"
#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/cloud/VornCloud.h"
#include "vorn/core/DeviceContext.h"
#include "vorn/core/MainLoop.h"
#include "vorn/core/VornPosition.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/service/Vorn.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>

using namespace vorn;
using json = nlohmann::json;
using test::RecordedRequest;
using test::ScriptedAction;
using test::ScriptedHttpServer;

namespace cloud_test {

/// A reply cut short: a transport failure that the HTTP client does not
/// retry by itself (it retries a request whose reused connection closes
/// before any byte of the reply).
ScriptedAction brokenReply() {
    return ScriptedAction::rawBytes("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"cut\"");
}

/// A position source that counts how often it is started and stopped.
class CountingPositionSource : public PositionSource {
public:
    std::atomic<int> starts{0};
    std::atomic<int> stops{0};
    std::optional<VornCoordinate> currentLocation() const override { return VornCoordinate{52.5, 13.25}; }
    void setHandlers(UpdateHandler, FailureHandler) override {}
    void startUpdatingLocation() override { ++starts; }
    void stopUpdatingLocation() override { ++stops; }
};

struct Outcome {
    int calls = 0;
    std::optional<VornCloudResult> result;
    OptionalError error;
    bool onMainLoop = false;
    VornCloudResultBlock block() {
        return [this](const std::optional<VornCloudResult>& r, const OptionalError& e) {
            ++calls;
            result = r;
            error = e;
            onMainLoop = MainLoop::shared().isCurrentThread();
        };
    }
    bool wait() {
        return test::runUntil([this] { return calls > 0; });
    }
};

class CloudTest : public ::testing::Test {
protected:
    void SetUp() override {
        DeviceContext::shared().setPositionSource(position_);
        Vorn::registerWithAppKey("cloud-key", VornConfiguration{.bundleIdentifier = "com.example.cloud"});
    }
    void push(ScriptedAction action) {
        std::lock_guard lock(mutex_);
        replies_.push_back(std::move(action));
    }
    Outcome call(const std::string& name, const std::optional<json>& parameters) {
        Outcome outcome;
        VornCloud::callFunctionInBackground(name, parameters, outcome.block());
        EXPECT_TRUE(outcome.wait());
        EXPECT_TRUE(outcome.onMainLoop);
        return outcome;
    }

    std::mutex mutex_;
    std::deque<ScriptedAction> replies_;
    ScriptedHttpServer server_{[this](const RecordedRequest&) {
        std::lock_guard lock(mutex_);
        if (replies_.empty()) return ScriptedAction::reply(R"({"answer": 42})");
        auto action = replies_.front();
        replies_.pop_front();
        return action;
    }};
    test::TestDevice device_{server_.hostAndPort()};
    std::shared_ptr<CountingPositionSource> position_ = std::make_shared<CountingPositionSource>();
};

TEST_F(CloudTest, TheBodyIsTheParametersWithTheNameAndTheHeadersAreExactlyTwo) {
    const auto outcome = call("score", json{{"_e", "spoofed"}, {"level", 3}, {"tags", {"a"}}});
    ASSERT_FALSE(outcome.error);
    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& sent = requests[0];
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.target, "/1/endpoint");
    EXPECT_EQ(json::parse(sent.body), (json{{"_e", "score"}, {"level", 3}, {"tags", {"a"}}}));
    EXPECT_NE(sent.body.find("\n  "), std::string::npos) << "pretty-printed";
    EXPECT_EQ(sent.header("content-type"), "application/json;charset=UTF-8");
    const auto expectedKey = "cloud-key-13.250000-52.500000-com.example.cloud-" +
                             v_VornUtils::md5WithString(DeviceContext::shared().deviceIdentifier().value_or("")) + "-1";
    EXPECT_EQ(sent.header("a"), expectedKey);
    EXPECT_EQ(sent.headers.count("x-vorn-app-key"), 0u);
    EXPECT_EQ(sent.headers.count("x-vorn-session-token"), 0u);

    call("bare", std::nullopt);
    EXPECT_EQ(json::parse(server_.requests().at(1).body), (json{{"_e", "bare"}}));
}

TEST_F(CloudTest, RepliesBecomeObjectsTextOrErrors) {
    const auto whole = call("f", json::object());
    ASSERT_TRUE(whole.result.has_value());
    EXPECT_EQ(std::get<json>(*whole.result), (json{{"answer", 42}}));

    push(ScriptedAction::reply(R"({"sucess": true, "value": 1})"));
    EXPECT_EQ(std::get<json>(*call("f", {}).result)["value"], 1);

    push(ScriptedAction::reply(R"({"sucess": false, "message": "no such player"})"));
    const auto failed = call("f", {});
    EXPECT_FALSE(failed.result.has_value());
    ASSERT_TRUE(failed.error.has_value());
    EXPECT_EQ(failed.error->code, kVornErrorCloudFunctionFailed);
    EXPECT_EQ(failed.error->domain, kVornErrorDomain);
    EXPECT_EQ(failed.error->message(), "no such player");

    push(ScriptedAction::reply("plain words"));
    const auto text = call("f", {});
    EXPECT_FALSE(text.error.has_value());
    EXPECT_EQ(std::get<std::string>(*text.result), "plain words");

    push(ScriptedAction::reply("[1, 2]"));
    EXPECT_EQ(std::get<std::string>(*call("f", {}).result), "[1, 2]") << "only an object is parsed";

    push(brokenReply());
    const auto dropped = call("f", {});
    EXPECT_FALSE(dropped.result.has_value());
    EXPECT_EQ(dropped.error->code, kVornErrorConnectFailed);
}

TEST_F(CloudTest, AnEmptyNameNeverReachesTheNetwork) {
    Outcome empty, missing;
    VornCloud::callFunctionInBackground("", json{{"a", 1}}, empty.block());
    VornCloud::callFunctionInBackground(std::nullopt, std::nullopt, missing.block());
    VornCloud::callFunctionInBackground("", std::nullopt, nullptr);
    EXPECT_EQ(empty.error->code, kVornErrorFunctionNameNil);
    EXPECT_FALSE(empty.result.has_value());
    EXPECT_EQ(missing.error->code, kVornErrorFunctionNameNil);
    EXPECT_FALSE(VornCloud::callFunction("", json::object()).has_value());
    EXPECT_FALSE(VornCloud::callFunction(std::nullopt, std::nullopt).has_value());
    test::drainLoop();
    EXPECT_TRUE(server_.requests().empty());
    EXPECT_EQ(position_->starts, 0);
}

TEST_F(CloudTest, TheBlockingCallReturnsTheTextUnparsedOnItsOwnThread) {
    push(ScriptedAction::reply(R"({"sucess": false, "message": "x"})"));
    std::optional<std::string> reply;
    std::thread([&] { reply = VornCloud::callFunction("f", json{{"k", "v"}}); }).join();
    EXPECT_EQ(reply, R"({"sucess": false, "message": "x"})");

    push(brokenReply());
    EXPECT_EQ(VornCloud::callFunction("f", std::nullopt), "") << "no reply: empty text";
}

TEST_F(CloudTest, ThePositionServiceIsStartedAndStoppedByEveryCall) {
    VornPosition::sharePosition();  // its first use starts the source once
    const int startsBefore = position_->starts;
    const int stopsBefore = position_->stops;
    call("f", {});
    push(brokenReply());
    call("f", {});
    VornCloud::callFunction("f", {});
    EXPECT_EQ(position_->starts - startsBefore, 3);
    EXPECT_EQ(position_->stops - stopsBefore, 3);
}

}  // namespace cloud_test
