#include "support/ScriptedHttpServer.h"
#include "support/ServiceCalls.h"
#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/core/StoreKeys.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/net/VornUrlRequest.h"
#include "vorn/service/Vorn.h"
#include "vorn/service/VornService.h"

#include <gtest/gtest.h>

using namespace vorn;
using test::ScriptedAction;
using test::ScriptedHttpServer;

namespace {

using Status = VornServiceReply::Status;

/// Sends one call and runs the main loop until its reply is in.
std::optional<VornServiceReply> sendAndWait(const VornServiceCall& call) {
    std::optional<VornServiceReply> result;
    VornService::send(call, [&](const VornServiceReply& reply) {
        // Every handler runs on the main loop.
        EXPECT_TRUE(MainLoop::shared().isCurrentThread());
        result = reply;
    });
    test::runUntil([&] { return result.has_value(); });
    return result;
}

using test::timestampCall;

}  // namespace

TEST(ReplyRule, JudgesReplies) {
    auto ok = VornServiceReply::parse(R"({"result": {"code": 200, "message": "ok"}, "data": {"x": 1}})");
    EXPECT_EQ(ok.status, Status::Success);
    EXPECT_FALSE(ok.error());
    ASSERT_NE(ok.validData(), nullptr);
    EXPECT_EQ((*ok.validData())["x"], 1);

    auto failed = VornServiceReply::parse(R"({"result": {"code": 101, "message": "object not found"}, "data": null})");
    ASSERT_TRUE(failed.error());
    EXPECT_EQ(failed.error()->domain, kVornErrorDomain);
    EXPECT_EQ(failed.error()->code, 101);
    EXPECT_EQ(failed.error()->userInfo, (std::map<std::string, std::string>{{"error", "object not found"}}));
    EXPECT_EQ(failed.validData(), nullptr);

    // No message: an error with empty user info.
    auto bare = VornServiceReply::parse(R"({"result": {"code": 7}})");
    EXPECT_EQ(bare.error()->code, 7);
    EXPECT_TRUE(bare.error()->userInfo.empty());

    // A code sent as text is read as a number.
    EXPECT_TRUE(VornServiceReply::parse(R"({"result": {"code": "200"}, "data": 1})").succeeded());
    // Success without data: nothing valid to use.
    EXPECT_EQ(VornServiceReply::parse(R"({"result": {"code": 200}, "data": null})").validData(), nullptr);

    for (const char* garbage : {"", "not json", "[1, 2]", "42", "{\"result\": "}) {
        auto reply = VornServiceReply::parse(garbage);
        EXPECT_EQ(reply.status, Status::NotParsed) << garbage;
        EXPECT_EQ(reply.error()->code, 20010);
        EXPECT_EQ(reply.error()->message(), "unknow error");
    }
    EXPECT_EQ(VornServiceReply::transportFailure().error()->code, 20002);
}

TEST(Envelope, KeysPresentOnlyWhenGiven) {
    test::TestDevice device;
    VornServiceCall call;
    call.c = "GameScore";
    call.data = nlohmann::json{{"score", 1}};
    call.extra["token"] = "t";
    const auto envelope = call.envelope();
    EXPECT_EQ(envelope["v"], "v1.4.9");
    EXPECT_EQ(envelope["c"], "GameScore");
    EXPECT_FALSE(envelope.contains("objectId"));
    EXPECT_EQ(envelope["data"]["score"], 1);
    EXPECT_EQ(envelope["token"], "t");
    EXPECT_EQ(envelope["client"]["caller"], "iOS");

    const auto nulls = timestampCall().envelope();
    EXPECT_TRUE(nulls.at("c").is_null());
    EXPECT_TRUE(nulls.at("objectId").is_null());
    EXPECT_TRUE(nulls.at("data").is_null());
}

class ServiceTest : public test::EmulatorTest {};

TEST_F(ServiceTest, ServerTimestampIsTheServicesTime) {
    const auto time = Vorn::getServerTimestamp();
    ASSERT_FALSE(time.empty());
    const auto parsed = v_VornUtils::dateOfString(time);
    ASSERT_TRUE(parsed) << time;
    EXPECT_LT(std::chrono::abs(*parsed - std::chrono::system_clock::now()), std::chrono::minutes(1));
}

TEST_F(ServiceTest, AsynchronousCallsReachTheEmulator) {
    auto reply = sendAndWait(timestampCall());
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->succeeded()) << reply->text;
    ASSERT_NE(reply->validData(), nullptr);
    EXPECT_TRUE((*reply->validData())["S"].is_string());
}

TEST_F(ServiceTest, WrongApplicationKeyIsAServiceError) {
    Vorn::registerWithAppKey("someone-else");
    auto reply = sendAndWait(timestampCall());
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, Status::ServiceError);
    EXPECT_NE(reply->code, 200);
    EXPECT_FALSE(reply->error()->message().empty());
    EXPECT_EQ(Vorn::getServerTimestamp(), "");
}

TEST_F(ServiceTest, UnreachableServiceGivesConnectFailed) {
    // Nothing listens on the port once the emulator is gone.
    stopEmulator();
    auto reply = sendAndWait(timestampCall());
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, Status::TransportFailed);
    EXPECT_EQ(reply->error()->code, 20002);
    EXPECT_EQ(Vorn::getServerTimestamp(), "");
}

TEST(NoNetwork, NoHostAndConnectFailed) {
    test::TestDevice device("api.example");
    struct Offline : ReachabilitySource {
        std::optional<std::uint32_t> flagsForHostName(const std::string&) override { return 0u; }
        std::optional<std::uint32_t> flagsForAddress(const sockaddr_in&) override { return 0u; }
    };
    DeviceContext::shared().setReachabilitySource(std::make_shared<Offline>());
    Vorn::registerWithAppKey("key");
    EXPECT_EQ(v_VornUtils::serverHostAddress(), "");
    auto reply = sendAndWait(timestampCall());
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->error()->code, 20002);
    EXPECT_EQ(Vorn::getServerTimestamp(), "");
}

TEST(ServicePath, SendsEnvelopeAndHeaders) {
    ScriptedHttpServer server([](const test::RecordedRequest&) {
        return ScriptedAction::reply(R"({"result": {"code": 200, "message": "ok"}, "data": {"objectId": "a1"}})");
    });
    test::TestDevice device(server.hostAndPort());
    Vorn::registerWithAppKey("k+ey");

    VornServiceCall call;
    call.path = "update";
    call.c = "GameScore";
    call.objectId = "a1";
    call.data = nlohmann::json{{"score", 2}};
    call.sendSessionToken = true;
    // Without a stored token no session header goes out.
    ASSERT_TRUE(sendAndWait(call)->succeeded());
    device.store().setObject("token-1", storekeys::kSessionToken);
    ASSERT_TRUE(sendAndWait(call)->succeeded());
    call.sendSessionToken = false;
    ASSERT_TRUE(sendAndWait(call)->succeeded());

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/7/update");
    EXPECT_EQ(requests[0].header("X-Vorn-App-Key"), "k+ey");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(requests[0].header("Accept-Encoding"), "gzip,deflate,sdch");
    EXPECT_EQ(requests[0].header("X-Vorn-Session-Token"), "");
    EXPECT_EQ(requests[1].header("X-Vorn-Session-Token"), "token-1");
    EXPECT_EQ(requests[2].header("X-Vorn-Session-Token"), "");
    // The body is the pretty-printed envelope.
    EXPECT_NE(requests[0].body.find("\n  \"c\": \"GameScore\""), std::string::npos) << requests[0].body;
    const auto body = nlohmann::json::parse(requests[0].body);
    EXPECT_EQ(body["objectId"], "a1");
    EXPECT_EQ(body["data"]["score"], 2);
    EXPECT_EQ(body["v"], "v1.4.9");
    // The three calls shared one kept-alive connection.
    EXPECT_EQ(server.acceptedConnections(), 1);
}

TEST(ServicePath, GarbageAndDroppedReplies) {
    int served = 0;
    ScriptedHttpServer server([&](const test::RecordedRequest&) {
        switch (served++) {
            case 0:
                return ScriptedAction::reply("<html>busy</html>", 503);
            case 1:
                return ScriptedAction::reply(R"({"result": {"code": 101, "message": "object not found"}})");
            default:
                return ScriptedAction::close();
        }
    });
    test::TestDevice device(server.hostAndPort());
    auto garbage = sendAndWait(timestampCall());
    EXPECT_EQ(garbage->error()->code, 20010);
    auto failed = sendAndWait(timestampCall());
    EXPECT_EQ(failed->error()->code, 101);
    EXPECT_EQ(failed->error()->message(), "object not found");
    auto dropped = sendAndWait(timestampCall());
    EXPECT_EQ(dropped->error()->code, 20002);
}

TEST(ServicePath, ASessionTokenWithALineBreakIsNeverSent) {
    ScriptedHttpServer server([](const test::RecordedRequest&) {
        return ScriptedAction::reply(R"({"result": {"code": 200, "message": "ok"}, "data": {}})");
    });
    test::TestDevice device(server.hostAndPort());
    Vorn::registerWithAppKey("key");
    device.store().setObject("token\r\nX-Injected: 1", storekeys::kSessionToken);
    auto call = timestampCall();
    call.sendSessionToken = true;
    const auto reply = sendAndWait(call);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, Status::TransportFailed);
    EXPECT_EQ(reply->error()->code, 20002);
    EXPECT_TRUE(server.requests().empty());
}
