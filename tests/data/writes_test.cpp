#include "support/ScriptedHttpServer.h"
#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/core/StoreKeys.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/data/VornObject.h"
#include "vorn/data/VornObjectsBatch.h"
#include "vorn/service/Vorn.h"

#include <gtest/gtest.h>

using namespace vorn;
using test::RecordedRequest;
using test::ScriptedAction;
using test::ScriptedHttpServer;

namespace {

constexpr const char* kCreated = "2020-05-06 07:08:09";
constexpr const char* kUpdated = "2021-06-07 08:09:10";

std::string okReply(const nlohmann::json& data) {
    return nlohmann::json{{"result", {{"code", 200}, {"message", "ok"}}}, {"data", data}}.dump();
}

/// A service that answers every write with success.
ScriptedAction serviceReply(const RecordedRequest& request) {
    if (request.target == "/7/create")
        return ScriptedAction::reply(okReply({{"objectId", "abc"}, {"createdAt", kCreated}}));
    if (request.target == "/7/update") return ScriptedAction::reply(okReply({{"updatedAt", kUpdated}}));
    if (request.target == "/7/batch") return ScriptedAction::reply(okReply(nlohmann::json::array()));
    return ScriptedAction::reply(okReply(nlohmann::json::object()));
}

using Result = test::BooleanResult;

nlohmann::json envelope(const RecordedRequest& request) {
    return nlohmann::json::parse(request.body);
}

}  // namespace

class WritesTest : public ::testing::Test {
protected:
    void SetUp() override { Vorn::registerWithAppKey("key"); }

    ScriptedHttpServer server_{serviceReply};
    test::TestDevice device_{server_.hostAndPort()};
};

TEST_F(WritesTest, SaveSendsTheDataMapAndTakesTheIdentity) {
    auto object = VornObject::objectWithClassName("GameScore");
    object->saveInBackground();  // empty: nothing is sent
    object->setACL(VornACL::ACL());
    object->ACL()->setPublicReadAccess();
    object->setObject(7, "score");
    Result result;
    object->saveInBackgroundWithResultBlock(result.block());
    ASSERT_TRUE(result.wait());
    EXPECT_TRUE(result.succeeded);
    EXPECT_FALSE(result.error);
    EXPECT_EQ(object->objectId(), "abc");
    EXPECT_EQ(object->createdAt(), v_VornUtils::dateOfString(kCreated));
    EXPECT_EQ(object->createdAt(), object->updatedAt());

    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/7/create");
    EXPECT_EQ(requests[0].header("X-Vorn-Session-Token"), "");
    const auto body = envelope(requests[0]);
    EXPECT_EQ(body["c"], "GameScore");
    EXPECT_TRUE(body.at("objectId").is_null());
    EXPECT_EQ(body["data"], (nlohmann::json{{"score", 7}, {"ACL", {{"*", {{"read", true}}}}}}));
}

TEST_F(WritesTest, EmptyObjectSavedWithAHandlerSendsEmptyData) {
    auto object = VornObject::objectWithClassName("Empty");
    Result result;
    object->saveInBackgroundWithResultBlock(result.block());
    ASSERT_TRUE(result.wait());
    EXPECT_EQ(envelope(server_.requests().at(0))["data"], nlohmann::json::object());
}

TEST_F(WritesTest, UpdateLeavesOutRelationsAndRefreshesAfterTheHandler) {
    device_.store().setObject("token-1", storekeys::kSessionToken);
    auto object = VornObject::objectWithoutDatatWithClassName("GameScore", "abc");
    object->vornDataDic()["posts"] = {{"__type", "Relation"}, {"className", "Post"}};
    object->vornDataDic()["objectId"] = "abc";
    object->incrementKey("score");
    const auto before = v_VornUtils::dateOfString("2000-01-01 00:00:00");
    object->setUpdatedAt(before);
    bool sawOldTime = false;
    Result result;
    object->updateInBackgroundWithResultBlock([&](bool ok, const OptionalError& error) {
        sawOldTime = object->updatedAt() == before;
        result.block()(ok, error);
    });
    ASSERT_TRUE(result.wait());
    EXPECT_TRUE(result.succeeded);
    EXPECT_TRUE(sawOldTime);
    EXPECT_EQ(object->updatedAt(), v_VornUtils::dateOfString(kUpdated));
    EXPECT_TRUE(object->vornDataDic().contains("posts"));  // the object keeps it

    const auto request = server_.requests().at(0);
    EXPECT_EQ(request.target, "/7/update");
    EXPECT_EQ(request.header("X-Vorn-Session-Token"), "token-1");
    const auto body = envelope(request);
    EXPECT_EQ(body["objectId"], "abc");
    EXPECT_EQ(body["data"], (nlohmann::json{{"score", {{"__op", "Increment"}, {"amount", 1}}}}));
}

TEST_F(WritesTest, UpdateAndDeleteNeedAnIdentifier) {
    auto object = VornObject::objectWithClassName("GameScore");
    object->setObject(1, "a");
    Result update;
    object->updateInBackgroundWithResultBlock(update.block());
    EXPECT_TRUE(update.called);  // at once, on the caller's thread
    EXPECT_EQ(update.error->code, 20003);
    EXPECT_EQ(update.error->message(), "none objectid");
    Result remove;
    object->deleteInBackgroundWithBlock(remove.block());
    EXPECT_EQ(remove.error->code, 20003);
    EXPECT_EQ(object->vornDataDic().size(), 1u);  // untouched
    object->updateInBackground();
    object->deleteInBackground();
    test::drainLoop();
    EXPECT_TRUE(server_.requests().empty());
}

TEST_F(WritesTest, DeleteEmptiesTheDataMapBeforeTheReply) {
    auto object = VornObject::objectWithoutDatatWithClassName("GameScore", "abc");
    object->setObject(1, "a");
    Result result;
    object->deleteInBackgroundWithBlock(result.block());
    EXPECT_TRUE(object->vornDataDic().empty());
    ASSERT_TRUE(result.wait());
    EXPECT_TRUE(result.succeeded);
    EXPECT_EQ(object->objectId(), "abc");
    const auto body = envelope(server_.requests().at(0));
    EXPECT_TRUE(body.at("data").is_null());
    EXPECT_EQ(server_.requests().at(0).target, "/7/delete");
}

TEST_F(WritesTest, HandlerlessFormsStillChangeTheObject) {
    auto object = VornObject::objectWithClassName("GameScore");
    object->setObject(1, "a");
    object->saveInBackground();
    ASSERT_TRUE(test::runUntil([&] { return object->objectId().has_value(); }));
    EXPECT_EQ(object->objectId(), "abc");
}

TEST(WriteFailures, TransportGarbageAndServiceErrors) {
    int served = 0;
    ScriptedHttpServer server([&](const RecordedRequest&) {
        switch (served++) {
            case 0:
                return ScriptedAction::reply("not json");
            case 1:
                return ScriptedAction::reply(R"({"result": {"code": 111, "message": "bad type"}, "data": null})");
            default:
                return ScriptedAction::close();
        }
    });
    test::TestDevice device(server.hostAndPort());
    auto object = VornObject::objectWithClassName("GameScore");
    object->setObject(1, "a");
    for (const int expected : {20010, 111, 20002}) {
        Result result;
        object->saveInBackgroundWithResultBlock(result.block());
        ASSERT_TRUE(result.wait());
        EXPECT_FALSE(result.succeeded);
        EXPECT_EQ(result.error->code, expected);
        EXPECT_FALSE(object->objectId());  // identity unchanged on failure
    }
    // A connection dropped after reuse may be retried once on a fresh one.
    EXPECT_GE(server.requests().size(), 3u);
}

TEST_F(WritesTest, BatchRecordsAndLimit) {
    auto batch = VornObjectsBatch::init();
    const auto date = v_VornUtils::dateOfString("2015-03-01 08:00:00").value();
    batch->saveVornObjectWithClassName("Post", {{"title", "a"}, {"when", date}});
    batch->saveVornObjectWithClassName("Post", {});                         // ignored
    batch->saveVornObjectWithClassName("", {{"title", "a"}});               // ignored
    batch->saveVornObjectWithClassName("Post", {{"", 1}, {"title", "b"}});  // ignored
    batch->updateVornObjectWithClassName("Post", "p1", {{"title", "c"}});
    device_.store().setObject("token-2", storekeys::kSessionToken);
    batch->updateVornObjectWithClassName("Post", "p2", {{"title", "d"}});
    batch->deleteVornObjectWithClassName("Post", "p3");
    batch->deleteVornObjectWithClassName("Post", "");  // ignored
    const auto& records = batch->objectsArray();
    ASSERT_EQ(records.size(), 4u);
    const nlohmann::json dateForm{{"__type", "Date"}, {"iso", "2015-03-01 08:00:00"}};
    const nlohmann::json createBody{{"title", "a"}, {"when", dateForm}};
    EXPECT_EQ(records[0], (nlohmann::json{{"method", "POST"}, {"path", "/1/classes/Post"}, {"body", createBody}}));
    EXPECT_FALSE(records[1].contains("token"));
    EXPECT_EQ(records[1]["path"], "/1/classes/Post/p1");
    EXPECT_EQ(records[2]["token"], "token-2");
    EXPECT_EQ(records[3], (nlohmann::json{{"method", "DELETE"}, {"path", "/1/classes/Post/p3"}, {"token", "token-2"}}));

    Result sent;
    batch->batchObjectsInBackgroundWithResultBlock(sent.block());
    ASSERT_TRUE(sent.wait());
    EXPECT_TRUE(sent.succeeded);
    const auto request = server_.requests().at(0);
    EXPECT_EQ(request.target, "/7/batch");
    EXPECT_EQ(request.header("X-Vorn-Session-Token"), "");
    EXPECT_EQ(envelope(request)["data"], (nlohmann::json{{"requests", records}}));

    auto full = VornObjectsBatch::init();
    for (int i = 0; i < 50; ++i) full->deleteVornObjectWithClassName("Post", "id" + std::to_string(i));
    Result fifty;
    full->batchObjectsInBackgroundWithResultBlock(fifty.block());
    ASSERT_TRUE(fifty.wait());
    EXPECT_TRUE(fifty.succeeded);
    full->deleteVornObjectWithClassName("Post", "one-too-many");
    Result tooMany;
    full->batchObjectsInBackgroundWithResultBlock(tooMany.block());
    EXPECT_TRUE(tooMany.called);
    EXPECT_EQ(tooMany.error->code, 20014);
    test::drainLoop();
    EXPECT_EQ(server_.requests().size(), 2u);
}

TEST_F(WritesTest, EmptyBatchIsSentAndTheServiceDecides) {
    Result result;
    VornObjectsBatch::init()->batchObjectsInBackgroundWithResultBlock(result.block());
    ASSERT_TRUE(result.wait());
    EXPECT_EQ(envelope(server_.requests().at(0))["data"], (nlohmann::json{{"requests", nlohmann::json::array()}}));
}

TEST(WriteReplies, AReplyNeverClearsIdentityItDoesNotCarry) {
    std::string answer;
    ScriptedHttpServer server([&](const RecordedRequest&) { return ScriptedAction::reply(answer); });
    test::TestDevice device{server.hostAndPort()};
    Vorn::registerWithAppKey("key");
    auto object = VornObject::objectWithClassName("GameScore");
    object->setObjectId("kept");
    object->setCreatedAt(v_VornUtils::dateOfString(kCreated));
    object->setUpdatedAt(v_VornUtils::dateOfString(kUpdated));
    object->setObject(1, "score");
    for (const nlohmann::json& data : {nlohmann::json("x"), nlohmann::json::array({1}), nlohmann::json::object(),
                                       nlohmann::json{{"objectId", nullptr}, {"createdAt", "not a date"}}}) {
        answer = okReply(data);
        Result saved;
        object->saveInBackgroundWithResultBlock(saved.block());
        ASSERT_TRUE(saved.wait());
        EXPECT_TRUE(saved.succeeded);
        Result updated;
        object->updateInBackgroundWithResultBlock(updated.block());
        ASSERT_TRUE(updated.wait());
        EXPECT_EQ(object->objectId(), "kept") << data;
        EXPECT_EQ(object->createdAt(), v_VornUtils::dateOfString(kCreated)) << data;
        EXPECT_EQ(object->updatedAt(), v_VornUtils::dateOfString(kUpdated)) << data;
    }
}
