#include "UserTestSupport.h"

#include "vorn/core/v_VornUtils.h"
#include "vorn/users/VornRole.h"

using namespace vorn;
using namespace vorn::test;
using json = nlohmann::json;

namespace {

VornValueMap author(std::chrono::seconds ahead) {
    return {{"access_token", "tk"}, {"uid", "42"}, {"expirationDate", std::chrono::system_clock::now() + ahead}};
}

}  // namespace

TEST_F(UserTest, MailRequestsAreFireAndForget) {
    VornUser::requestWithEmail("ann@example", 1);
    ASSERT_TRUE(runUntil([&] { return !service_.server().requests().empty(); }));
    auto request = service_.last();
    EXPECT_EQ(request.target, "/7/email_verify");
    auto body = json::parse(request.body);
    EXPECT_EQ(body["c"], "_User");
    EXPECT_EQ(body["data"], (json{{"email", "ann@example"}}));
    EXPECT_FALSE(body.contains("objectId"));
    EXPECT_EQ(request.header("X-Vorn-Session-Token"), "");

    VornUser::requestPasswordResetInBackgroundWithEmail("ann@example");
    ASSERT_TRUE(runUntil([&] { return service_.server().requests().size() == 2; }));
    EXPECT_EQ(service_.last().target, "/7/reset");
    VornUser::requestWithEmail("ann@example", 5);  // unknown type: nothing
    drainLoop();
    EXPECT_EQ(service_.server().requests().size(), 2u);
}

TEST_F(UserTest, PhoneResetRules) {
    Outcome noCode;
    VornUser::resetPasswordInBackgroundWithPhoneNumber("555", "", "new", noCode.block());
    EXPECT_EQ(noCode.error->code, 20019);
    Outcome noPhone;
    VornUser::requestPasswordResetInBackgroundWithPhoneNumber("", noPhone.block());
    EXPECT_EQ(noPhone.error->code, 20019);

    struct Case {
        std::string reply;
        bool succeeded;
        std::optional<int> code;
    };
    for (const auto& [reply, succeeded, code] :
         std::vector<Case>{{okReply(nullptr), true, std::nullopt},
                           {"{}", false, std::nullopt},
                           {"oops", false, 3840},
                           {R"({"data": 1})", false, 20010},
                           {R"({"result": {"code": 215, "message": "bad code"}})", false, 215}}) {
        service_.set("/7/phone_reset", reply);
        Outcome outcome;
        VornUser::resetPasswordInBackgroundWithPhoneNumber("555", "1234", "new", outcome.block());
        ASSERT_TRUE(outcome.wait());
        EXPECT_EQ(outcome.succeeded, succeeded) << reply;
        EXPECT_EQ(outcome.error ? std::optional<int>(outcome.error->code) : std::nullopt, code) << reply;
    }
    EXPECT_EQ(service_.lastEnvelope()["data"], (json{{"username", "555"}, {"code", "1234"}, {"password", "new"}}));
}

TEST_F(UserTest, EmailVerificationState) {
    auto user = logIn();
    user->setObject(true, "emailVerified");
    const auto before = service_.server().requests().size();
    Outcome local;
    user->userEmailVerified(local.block());
    EXPECT_TRUE(local.called && local.succeeded);
    EXPECT_EQ(service_.server().requests().size(), before);

    auto other = VornUser::getCurrentUser();
    service_.set("/7/find", okReply({{"objectId", "u1"}, {"emailVerified", false}}));
    Outcome notYet;
    other->userEmailVerified(notYet.block());
    ASSERT_TRUE(notYet.wait());
    EXPECT_FALSE(notYet.succeeded);
    EXPECT_FALSE(VornUserArchive::readFields()->contains("emailVerified"));

    service_.set("/7/find", okReply({{"objectId", "u1"}, {"emailVerified", true}}));
    Outcome verified;
    other->userEmailVerified(verified.block());
    ASSERT_TRUE(verified.wait());
    EXPECT_TRUE(verified.succeeded);
    EXPECT_EQ(VornUserArchive::readFields().value()["emailVerified"], true);
    EXPECT_FALSE(other->vornDataDic().contains("emailVerified"));  // the object itself is unchanged
}

TEST_F(UserTest, AuthorDictionaries) {
    auto qq = VornUser::authEntry(author(std::chrono::hours(1)), 0);
    ASSERT_TRUE(std::holds_alternative<json>(qq));
    EXPECT_EQ(std::get<json>(qq), (json{{"access_token", "tk"}, {"openid", "42"}, {"expires_in", 3599}}));
    auto weibo = std::get<json>(VornUser::authEntry(author(std::chrono::hours(1)), 7));
    EXPECT_EQ(weibo["uid"], "42");
    EXPECT_EQ(VornUser::platformKey(7), "weibo");
    EXPECT_LT(std::get<json>(VornUser::authEntry(author(-std::chrono::hours(1)), 1))["expires_in"].get<int>(), 0);

    auto missing = author(std::chrono::hours(1));
    missing.erase("uid");
    EXPECT_EQ(std::get<VornError>(VornUser::authEntry(missing, 0)).code, 20020);
    auto textDate = author(std::chrono::hours(1));
    textDate["expirationDate"] = "tomorrow";
    EXPECT_EQ(std::get<VornError>(VornUser::authEntry(textDate, 0)).code, 20021);
    Outcome refused;
    VornUser::loginInBackgroundWithAuthorDictionary(textDate, 0, refused.userBlock());
    EXPECT_EQ(refused.error->code, 20021);  // at once
}

TEST_F(UserTest, ExternalLogInLinkAndUnlink) {
    Outcome login;
    VornUser::loginInBackgroundWithAuthorDictionary(author(std::chrono::hours(2)), 0, login.userBlock());
    ASSERT_TRUE(login.wait());
    ASSERT_TRUE(login.user);
    EXPECT_EQ(token(), "token-login");
    auto loginBody = service_.lastEnvelope();
    EXPECT_EQ(service_.last().target, "/7/login_or_signup");
    EXPECT_EQ(loginBody["c"], "_User");
    EXPECT_TRUE(loginBody.at("objectId").is_null());
    EXPECT_EQ(loginBody["data"]["authData"]["qq"]["openid"], "42");
    Outcome signup;
    VornUser::signUpInBackgroundWithAuthorDictionary(author(std::chrono::hours(2)), 0, signup.userBlock());
    ASSERT_TRUE(signup.wait());
    EXPECT_EQ(service_.lastEnvelope()["data"]["authData"]["qq"]["access_token"],
              loginBody["data"]["authData"]["qq"]["access_token"]);

    auto user = VornUser::getCurrentUser();
    for (int platform : {0, 1}) {
        Outcome link;
        user->linkedInBackgroundWithAuthorDictionary(author(std::chrono::hours(1)), platform, link.block());
        ASSERT_TRUE(link.wait());
        EXPECT_TRUE(link.succeeded);
    }
    Outcome unlink;
    user->cancleLinkedInBackgroundWithPlatform(0, unlink.block());
    ASSERT_TRUE(unlink.wait());
    EXPECT_EQ(service_.lastEnvelope()["data"], (json{{"authData", {{"qq", nullptr}}}}));
    const auto authData = VornUserArchive::readFields().value()["authData"];
    EXPECT_TRUE(authData.at("qq").is_null());
    EXPECT_EQ(authData["weibo"]["uid"], "42");

    Outcome orphan;
    VornUser::init()->cancleLinkedInBackgroundWithPlatform(0, orphan.block());
    EXPECT_EQ(orphan.error->code, 20003);
}

TEST_F(UserTest, RolesCarryTheirName) {
    auto role = VornRole::roleWithName("Admin");
    EXPECT_EQ(role->className(), "_Role");
    Outcome saved;
    role->saveInBackgroundWithResultBlock(saved.block());
    ASSERT_TRUE(saved.wait());
    EXPECT_EQ(service_.lastEnvelope()["data"]["name"], "Admin");
    EXPECT_EQ(service_.lastEnvelope()["c"], "_Role");

    auto unnamed = VornRole::initWithName(std::nullopt);
    unnamed->setObject(1, "x");
    EXPECT_TRUE(unnamed->objectWithoutDatatWithClassName("Other", "r1")->className() == "_Role");
    Outcome plain;
    unnamed->saveInBackgroundWithResultBlock(plain.block());
    ASSERT_TRUE(plain.wait());
    EXPECT_FALSE(service_.lastEnvelope()["data"].contains("name"));

    auto acl = VornACL::ACL();
    acl->setPublicReadAccess();
    auto guarded = VornRole::roleWithName("Editors", acl);
    EXPECT_EQ(guarded->ACL(), acl);
    acl->setWriteAccessForRole(guarded);
    EXPECT_TRUE(acl->aclDic().contains("role:Editors"));

    auto members = VornRelation::relation();
    members->addObject(VornUser::objectWithoutDatatWithClassName("", "u1"));
    guarded->addUsersRelation(members);
    EXPECT_EQ(guarded->vornDataDic()["users"]["objects"][0]["className"], "_User");
}
