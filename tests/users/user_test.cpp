#include "UserTestSupport.h"
#include "support/SmallStack.h"

#include "vorn/core/FileUtils.h"
#include "vorn/core/MainLoop.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/query/VornQuery.h"

using namespace vorn;
using namespace vorn::test;
using json = nlohmann::json;

#include <thread>

TEST_F(UserTest, MissingNameOrPasswordIsReportedAtOnce) {
    Outcome signUp;
    VornUser::init()->signUpInBackgroundWithBlock(signUp.block());
    EXPECT_EQ(signUp.error->code, 20000);  // the password is checked first
    auto named = VornUser::init();
    named->setPassword("secret");
    Outcome noName;
    named->signUpInBackgroundWithBlock(noName.block());
    EXPECT_EQ(noName.error->code, 20001);

    Outcome logIn;
    VornUser::logInWithUsernameInBackground("", "", logIn.userBlock());
    EXPECT_EQ(logIn.error->code, 20001);  // the name is checked first
    Outcome noPassword;
    VornUser::logInWithUsernameInBackground("ann", "", noPassword.userBlock());
    EXPECT_EQ(noPassword.error->code, 20000);
    drainLoop();
    EXPECT_TRUE(service_.server().requests().empty());
}

TEST_F(UserTest, SignUpStoresTheTokenAndTheSentFields) {
    auto user = VornUser::init();
    user->setUserName("ann");
    user->setPassword("secret");
    user->setEmail("ann@example");
    user->setACL(VornACL::ACL());
    user->ACL()->setPublicReadAccess();
    Outcome outcome;
    user->signUpInBackgroundWithBlock(outcome.block());
    ASSERT_TRUE(outcome.wait());
    EXPECT_TRUE(outcome.succeeded);
    EXPECT_EQ(token(), "token-signup");
    EXPECT_EQ(user->objectId(), "u1");
    EXPECT_EQ(user->createdAt(), v_VornUtils::dateOfString("2020-01-01 10:00:00"));

    const auto archived = VornUserArchive::readFields().value();
    EXPECT_EQ(archived["email"], "ann@example");  // sent, not echoed
    EXPECT_EQ(archived["username"], "ann");
    for (const char* absent : {"password", "sessionToken", "ACL"}) EXPECT_FALSE(archived.contains(absent)) << absent;

    const auto request = service_.last();
    EXPECT_EQ(request.target, "/7/signup");
    const auto body = json::parse(request.body);
    EXPECT_TRUE(body.at("c").is_null());
    EXPECT_EQ(body["data"]["password"], "secret");
    EXPECT_EQ(request.header("X-Vorn-Session-Token"), "");
}

TEST_F(UserTest, LogInMakesTheCurrentUser) {
    auto user = logIn();
    ASSERT_TRUE(user);
    EXPECT_EQ(user->objectId(), "u1");
    EXPECT_EQ(user->updatedAt(), v_VornUtils::dateOfString("2020-01-02 10:00:00"));
    EXPECT_EQ(user->vornDataDic(), (json{{"username", "ann"}, {"email", "ann@example"}}));
    EXPECT_EQ(token(), "token-login");
    const auto body = service_.lastEnvelope();
    EXPECT_EQ(body["data"], (json{{"username", "ann"}, {"password", "secret"}}));
    EXPECT_FALSE(body.contains("c"));

    auto current = VornUser::getCurrentUser();
    ASSERT_TRUE(current);
    EXPECT_EQ(current->objectId(), "u1");
    EXPECT_EQ(current->objectForKey("email")->json(), "ann@example");
    EXPECT_NE(current, VornUser::getCurrentUser());  // a fresh object each time
}

TEST_F(UserTest, LogInReplyRules) {
    for (const auto& [body, code] :
         std::vector<std::pair<std::string, int>>{{R"({"data": {"objectId": "x"}})", 20010},
                                                  {R"({"result": {"code": 211, "message": "wrong password"}})", 211},
                                                  {okReply(nullptr), 20010},
                                                  {"<html>", 20010}}) {
        service_.set("/7/login", body);
        Outcome outcome;
        VornUser::logInWithUsernameInBackground("ann", "secret", outcome.userBlock());
        ASSERT_TRUE(outcome.wait());
        EXPECT_FALSE(outcome.user);
        EXPECT_EQ(outcome.error->code, code) << body;
    }
    EXPECT_FALSE(VornUser::getCurrentUser());
}

TEST_F(UserTest, LogoutEndsTheSessionOnTheDevice) {
    logIn();
    VornUser::logout();
    EXPECT_FALSE(VornUser::getCurrentUser());
    EXPECT_FALSE(token());
    EXPECT_EQ(sessionHeaderOfAFind(), "");
}

TEST_F(UserTest, ArchiveForms) {
    // Map form without updatedAt: the update time is the creation time.
    ASSERT_TRUE(VornUserArchive::write({{"_id", "old"},
                                        {"objectId", "u9"},
                                        {"createdAt", "2019-09-09 09:09:09"},
                                        {"password", "p"},
                                        {"_isdel", false},
                                        {"nick", "n"}}));
    auto user = VornUser::getCurrentUser();
    EXPECT_EQ(user->objectId(), "u9");
    EXPECT_EQ(user->updatedAt(), user->createdAt());
    EXPECT_FALSE(user->vornDataDic().contains("password"));
    EXPECT_FALSE(user->vornDataDic().contains("_isdel"));

    // Text form: base64 of {"r": {"data": ...}}, "_id" first.
    const json wrapped{{"r", {{"data", {{"_id", "from-id"}, {"objectId", "from-objectId"}, {"nick", "t"}}}}}};
    const auto text = v_VornUtils::encodeBase64String(wrapped.dump()).value();
    ASSERT_TRUE(fileutils::writeFileAtomically(VornUser::currentUserFilePath(), json(text).dump()));
    user = VornUser::getCurrentUser();
    ASSERT_TRUE(user);
    EXPECT_EQ(user->objectId(), "from-id");
    EXPECT_EQ(user->objectForKey("nick")->json(), "t");

    for (const char* garbage : {"", "[1]", "\"not base64!\"", "{broken"}) {
        ASSERT_TRUE(fileutils::writeFileAtomically(VornUser::currentUserFilePath(), garbage));
        EXPECT_FALSE(VornUser::getCurrentUser()) << garbage;
    }
}

TEST_F(UserTest, UpdateSendsOnlyChangesAndKeepsTheArchive) {
    device_.store().setObject("tok", storekeys::kSessionToken);
    ASSERT_TRUE(VornUserArchive::write({{"objectId", "u1"},
                                        {"nick", "same"},
                                        {"level", 5},
                                        {"tags", {"a"}},
                                        {"gone", 1},
                                        {"createdAt", "2020-01-01 10:00:00"}}));
    auto user = VornUser::getCurrentUser();
    Outcome unchanged;
    user->updateInBackgroundWithResultBlock(unchanged.block());
    ASSERT_TRUE(unchanged.wait());
    EXPECT_TRUE(unchanged.succeeded);
    auto body = service_.lastEnvelope();
    EXPECT_EQ(body["data"], json::object());
    EXPECT_EQ(body["c"], "_User");
    EXPECT_EQ(body["objectId"], "u1");
    EXPECT_EQ(service_.last().header("X-Vorn-Session-Token"), "tok");

    user->incrementKey("level", 2);
    user->incrementKey("fresh", 3);
    user->addUniqueObjectsFromArray({"a", "b"}, "tags");
    user->deleteForKey("gone");
    user->setObject("new", "nick");
    Outcome changed;
    user->updateInBackgroundWithResultBlock(changed.block());
    ASSERT_TRUE(changed.wait());
    const auto archived = VornUserArchive::readFields().value();
    EXPECT_EQ(archived["level"], 7);
    EXPECT_EQ(archived["fresh"], (json{{"__op", "Increment"}, {"amount", 3}}));
    EXPECT_EQ(archived["tags"], (json{"a", "b"}));
    EXPECT_FALSE(archived.contains("gone"));
    EXPECT_EQ(archived["nick"], "new");
    EXPECT_EQ(archived["updatedAt"], "2021-05-05 05:05:05");
}

TEST_F(UserTest, UpdateOfATextArchiveRewritesItAsAMap) {
    const json wrapped{{"r", {{"data", {{"_id", "u1"}, {"nick", "old"}}}}}};
    ASSERT_TRUE(fileutils::writeFileAtomically(VornUser::currentUserFilePath(),
                                               json(v_VornUtils::encodeBase64String(wrapped.dump()).value()).dump()));
    auto user = VornUser::getCurrentUser();
    user->setObject("new", "nick");
    Outcome outcome;
    user->updateInBackgroundWithResultBlock(outcome.block());
    ASSERT_TRUE(outcome.wait());
    EXPECT_EQ(service_.lastEnvelope()["data"], (json{{"nick", "new"}}));
    const auto content = VornUserArchive::read().value();
    EXPECT_FALSE(content.textForm);
    EXPECT_EQ(content.fields["nick"], "new");
    EXPECT_FALSE(content.fields.contains("updatedAt"));
}

TEST_F(UserTest, WritesWithoutAnIdentifierOrOfARecord) {
    auto user = VornUser::init();
    Outcome update;
    user->updateInBackgroundWithResultBlock(update.block());
    EXPECT_EQ(update.error->code, 20003);
    Outcome remove;
    user->deleteInBackgroundWithBlock(remove.block());
    EXPECT_EQ(remove.error->code, 20003);
    bool called = false;
    user->setObject(1, "x");
    user->saveInBackgroundWithResultBlock([&](bool, const OptionalError&) { called = true; });
    user->saveInBackground();
    drainLoop();
    EXPECT_FALSE(called);
    EXPECT_TRUE(service_.server().requests().empty());
}

TEST_F(UserTest, DeleteKeepsTheArchiveAndToken) {
    auto user = logIn();
    Outcome outcome;
    user->deleteInBackgroundWithBlock(outcome.block());
    ASSERT_TRUE(outcome.wait());
    EXPECT_TRUE(outcome.succeeded);
    EXPECT_EQ(service_.last().target, "/7/delete");
    EXPECT_EQ(service_.last().header("X-Vorn-Session-Token"), "token-login");
    EXPECT_TRUE(service_.lastEnvelope().at("data").is_null());
    EXPECT_TRUE(user->userDic().empty());
    EXPECT_TRUE(VornUser::getCurrentUser());
    EXPECT_EQ(token(), "token-login");
}

TEST_F(UserTest, QueriesOfUsersGiveUsers) {
    service_.set("/7/find", okReply({{"results", {{{"objectId", "u2"}, {"username", "bob"}}}}}));
    std::shared_ptr<VornObject> found;
    VornUser::query()->findObjectsInBackgroundWithBlock(
        [&](const std::optional<VornObjectList>& objects, const OptionalError&) { found = objects->at(0); });
    ASSERT_TRUE(runUntil([&] { return found != nullptr; }));
    auto user = std::dynamic_pointer_cast<VornUser>(found);
    ASSERT_TRUE(user);
    EXPECT_EQ(user->className(), "_User");
    EXPECT_EQ(user->objectId(), "u2");
}

TEST_F(UserTest, ALogInWithoutATokenRemovesThePreviousOne) {
    logIn();
    ASSERT_EQ(token(), "token-login");
    service_.set("/7/login", okReply({{"objectId", "u2"}, {"username", "bob"}}));
    auto bob = logIn();
    ASSERT_TRUE(bob);
    EXPECT_EQ(VornUser::getCurrentUser()->objectId(), "u2");
    EXPECT_FALSE(token());
    EXPECT_EQ(sessionHeaderOfAFind(), "");
}

TEST_F(UserTest, TextArchivesWithoutAUserMapHoldNoUser) {
    for (const std::string& inner :
         {std::string("hello"), json{{"r", 1}}.dump(), json{{"r", {{"data", json::array({1})}}}}.dump(),
          json{{"r", {{"other", json::object()}}}}.dump()}) {
        const auto text = v_VornUtils::encodeBase64String(inner).value();
        ASSERT_TRUE(fileutils::writeFileAtomically(VornUser::currentUserFilePath(), json(text).dump()));
        EXPECT_FALSE(VornUser::getCurrentUser()) << inner;
    }
}

TEST_F(UserTest, ThePasswordIsSentOnceAndNeverArchived) {
    auto user = VornUser::init();
    user->setUserName("ann");
    user->setPassword("secret");
    Outcome signedUp;
    user->signUpInBackgroundWithBlock(signedUp.block());
    ASSERT_TRUE(signedUp.wait());
    user->setObject("n", "nick");
    Outcome updated;
    user->updateInBackgroundWithResultBlock(updated.block());
    ASSERT_TRUE(updated.wait());
    EXPECT_FALSE(service_.lastEnvelope()["data"].contains("password"));
    EXPECT_EQ(service_.lastEnvelope()["data"]["nick"], "n");
    const auto onDisk = fileutils::readFile(VornUser::currentUserFilePath()).value();
    EXPECT_EQ(onDisk.find("secret"), std::string::npos);
    EXPECT_FALSE(VornUserArchive::readFields()->contains("password"));

    // A password set again goes out again, once.
    user->setPassword("changed");
    Outcome changed;
    user->updateInBackgroundWithResultBlock(changed.block());
    ASSERT_TRUE(changed.wait());
    EXPECT_EQ(service_.lastEnvelope()["data"]["password"], "changed");
    EXPECT_EQ(fileutils::readFile(VornUser::currentUserFilePath())->find("changed"), std::string::npos);
    Outcome again;
    user->setObject("m", "nick");
    user->updateInBackgroundWithResultBlock(again.block());
    ASSERT_TRUE(again.wait());
    EXPECT_FALSE(service_.lastEnvelope()["data"].contains("password"));
}

TEST_F(UserTest, LogoutOnAnotherThreadNeverLeavesAHalfSession) {
    MainLoop::shared().startThread();
    for (int round = 0; round < 30; ++round) {
        std::atomic<bool> loggedIn{false};
        MainLoop::shared().post([&] {
            VornUser::logInWithUsernameInBackground("ann", "secret",
                                                    [&](const std::shared_ptr<VornUser>& user, const OptionalError&) {
                if (user) {
                    user->setObject(round, "round");
                    user->updateInBackground();
                }
                loggedIn = true;
            });
        });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!loggedIn && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        ASSERT_TRUE(loggedIn);
        VornUser::logout();
        // Whatever ran in between, the archive never outlives the token.
        {
            auto transaction = VornUserArchive::transaction();
            if (VornUserArchive::read()) {
                EXPECT_TRUE(token()) << round;
            }
        }
    }
    MainLoop::shared().stopThread();
    drainLoop();
    auto transaction = VornUserArchive::transaction();
    EXPECT_FALSE(VornUserArchive::read() && !token());
}

TEST_F(UserTest, ACurrentUserArchiveNestedTooDeepHoldsNoUser) {
    runOnSmallStack([] {
        ASSERT_TRUE(fileutils::writeFileAtomically(VornUserArchive::path(),
                                                   R"({"objectId":"u","x":)" + deeplyNested(300000) + "}"));
        EXPECT_FALSE(VornUserArchive::read());
        EXPECT_EQ(VornUser::getCurrentObject(), nullptr);
    });
}
