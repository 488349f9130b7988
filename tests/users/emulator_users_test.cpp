#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/core/StoreKeys.h"
#include "vorn/data/VornObject.h"
#include "vorn/net/VornUrlRequest.h"
#include "vorn/query/VornQuery.h"
#include "vorn/users/VornRole.h"
#include "vorn/users/VornUser.h"
#include "vorn/users/VornUserArchive.h"

#include <vorn_emulator/Accounts.h>
#include <vorn_emulator/Server.h>

#include <gtest/gtest.h>

using namespace vorn;
using json = nlohmann::json;

namespace {

struct Result {
    bool called = false;
    bool ok = false;
    OptionalError error;
    std::shared_ptr<VornUser> user;
};

Result wait(const std::function<void(Result&)>& start) {
    Result result;
    start(result);
    EXPECT_TRUE(test::runUntil([&] { return result.called; }));
    return result;
}

VornBooleanResultBlock into(Result& result) {
    return [&result](bool ok, const OptionalError& error) { result = Result{true, ok, error, nullptr}; };
}

VornUserResultBlock userInto(Result& result) {
    return [&result](const std::shared_ptr<VornUser>& user, const OptionalError& error) {
        result = Result{true, user != nullptr, error, user};
    };
}

}  // namespace

class AccountsTest : public test::EmulatorTest {
protected:
    Result signUp(const std::string& name, const std::string& password, const std::string& email = "") {
        auto user = VornUser::init();
        user->setUserName(name);
        user->setPassword(password);
        user->setEmail(email);
        return wait([&](Result& r) { user->signUpInBackgroundWithBlock(into(r)); });
    }
    Result logIn(const std::string& name, const std::string& password) {
        return wait([&](Result& r) { VornUser::logInWithUsernameInBackground(name, password, userInto(r)); });
    }
    std::vector<json> outbox() {
        auto& server = emulatorServer();
        return server.call([&] { return emulator::outbox(server.storage()); });
    }
    /// Objects of the class that the current session can see.
    std::size_t visible(const std::string& className) {
        std::size_t count = 0;
        bool done = false;
        VornQuery::queryWithClassName(className)->findObjectsInBackgroundWithBlock(
            [&](const std::optional<VornObjectList>& objects, const OptionalError&) {
            count = objects ? objects->size() : 0;
            done = true;
        });
        EXPECT_TRUE(test::runUntil([&] { return done; }));
        return count;
    }
};

TEST_F(AccountsTest, SignUpLogInUpdateAndLogOut) {
    ASSERT_TRUE(signUp("ann", "secret", "ann@example").ok);
    const auto token = device_->store().stringForKey(storekeys::kSessionToken);
    ASSERT_TRUE(token);
    EXPECT_FALSE(VornUserArchive::readFields()->contains("password"));
    EXPECT_EQ(signUp("ann", "other").error->code, 202);  // the name is taken

    EXPECT_FALSE(logIn("ann", "wrong").ok);
    auto loggedIn = logIn("ann", "secret");
    ASSERT_TRUE(loggedIn.ok);
    EXPECT_EQ(loggedIn.user->objectForKey("email")->json(), "ann@example");
    EXPECT_FALSE(loggedIn.user->vornDataDic().contains("password"));

    auto current = VornUser::getCurrentUser();
    current->setObject("Annie", "nick");
    current->incrementKey("logins", 2);
    ASSERT_TRUE(wait([&](Result& r) { current->updateInBackgroundWithResultBlock(into(r)); }).ok);
    // The archive had no "logins": it keeps the operator; the service adds it up.
    EXPECT_EQ(VornUserArchive::readFields().value()["logins"], (json{{"__op", "Increment"}, {"amount", 2}}));
    EXPECT_EQ(storedObject("_User", *current->objectId()).value()["logins"], 2);
    EXPECT_EQ(storedObject("_User", *current->objectId()).value()["nick"], "Annie");

    VornUser::logout();
    EXPECT_FALSE(VornUser::getCurrentUser());
    // Without a session the account cannot be changed.
    const auto refused = wait([&](Result& r) { current->updateInBackgroundWithResultBlock(into(r)); });
    EXPECT_FALSE(refused.ok);
    EXPECT_LT(refused.error->code, 20000);
}

TEST_F(AccountsTest, ExternalAccountsLogInTheSameUser) {
    const VornValueMap author{{"access_token", "tk"},
                              {"uid", "openid-7"},
                              {"expirationDate", std::chrono::system_clock::now() + std::chrono::hours(1)}};
    auto first = wait([&](Result& r) { VornUser::loginInBackgroundWithAuthorDictionary(author, 0, userInto(r)); });
    ASSERT_TRUE(first.ok) << first.error->message();
    auto again = wait([&](Result& r) { VornUser::signUpInBackgroundWithAuthorDictionary(author, 0, userInto(r)); });
    ASSERT_TRUE(again.ok);
    EXPECT_EQ(first.user->objectId(), again.user->objectId());

    auto user = VornUser::getCurrentUser();
    const VornValueMap weibo{{"access_token", "wt"},
                             {"uid", "w-1"},
                             {"expirationDate", std::chrono::system_clock::now() + std::chrono::hours(1)}};
    ASSERT_TRUE(wait([&](Result& r) { user->linkedInBackgroundWithAuthorDictionary(weibo, 1, into(r)); }).ok);
    ASSERT_TRUE(wait([&](Result& r) { user->cancleLinkedInBackgroundWithPlatform(0, into(r)); }).ok);
    const auto stored = storedObject("_User", *user->objectId()).value();
    EXPECT_TRUE(stored["authData"].at("qq").is_null());
    EXPECT_EQ(stored["authData"]["weibo"]["uid"], "w-1");
}

TEST_F(AccountsTest, VerificationAndPasswordResets) {
    ASSERT_TRUE(signUp("bob", "secret", "bob@example").ok);
    auto user = VornUser::getCurrentUser();
    user->verifyEmailInBackgroundWithEmailAddress("bob@example");
    ASSERT_TRUE(test::runUntil([&] { return !outbox().empty(); }));
    const auto mail = outbox().back();
    EXPECT_EQ(mail["kind"], "verify");
    EXPECT_EQ(mail["to"], "bob@example");
    EXPECT_FALSE(wait([&](Result& r) { user->userEmailVerified(into(r)); }).ok);

    auto open = VornUrlRequest::initWithUrl(mail["link"].get<std::string>());
    open->setHttpMethod("GET");
    open->startSyncConnection();
    ASSERT_TRUE(open->responseData());
    EXPECT_TRUE(wait([&](Result& r) { user->userEmailVerified(into(r)); }).ok);
    EXPECT_EQ(VornUserArchive::readFields().value()["emailVerified"], true);

    // A reset by phone: the number is the user name here.
    ASSERT_TRUE(signUp("5550100", "old-password").ok);
    ASSERT_TRUE(
        wait([&](Result& r) { VornUser::requestPasswordResetInBackgroundWithPhoneNumber("5550100", into(r)); }).ok);
    const auto text = outbox().back();
    ASSERT_EQ(text["kind"], "sms");
    const auto code = text["code"].get<std::string>();
    EXPECT_EQ(wait([&](Result& r) {
                  VornUser::resetPasswordInBackgroundWithPhoneNumber("5550100", code == "000000" ? "111111" : "000000",
                                                                     "new-password", into(r));
              }).ok,
              false);
    ASSERT_TRUE(wait([&](Result& r) {
                    VornUser::resetPasswordInBackgroundWithPhoneNumber("5550100", code, "new-password", into(r));
                }).ok);
    EXPECT_FALSE(logIn("5550100", "old-password").ok);
    EXPECT_TRUE(logIn("5550100", "new-password").ok);
}

TEST_F(AccountsTest, RolesDecideWhoSeesAndWrites) {
    ASSERT_TRUE(signUp("member", "pw").ok);
    auto member = VornUser::getCurrentUser();
    ASSERT_TRUE(signUp("outsider", "pw").ok);
    ASSERT_TRUE(signUp("owner", "pw").ok);

    // Staff holds the member; Everyone includes Staff's members through "roles".
    auto staff = VornRole::roleWithName("Staff");
    auto members = VornRelation::relation();
    members->addObject(member);
    staff->addUsersRelation(members);
    ASSERT_TRUE(wait([&](Result& r) { staff->saveInBackgroundWithResultBlock(into(r)); }).ok);
    auto everyone = VornRole::roleWithName("Everyone");
    auto included = VornRelation::relation();
    included->addObject(staff);
    everyone->addRolesRelation(included);
    ASSERT_TRUE(wait([&](Result& r) { everyone->saveInBackgroundWithResultBlock(into(r)); }).ok);

    auto secret = VornObject::objectWithClassName("Memo");
    secret->setObject("for staff", "text");
    secret->setACL(VornACL::ACL());
    secret->ACL()->setReadAccessForRoleWithName("Everyone");
    ASSERT_TRUE(wait([&](Result& r) { secret->saveInBackgroundWithResultBlock(into(r)); }).ok);

    ASSERT_TRUE(logIn("member", "pw").ok);
    EXPECT_EQ(visible("Memo"), 1u);
    ASSERT_TRUE(logIn("outsider", "pw").ok);
    EXPECT_EQ(visible("Memo"), 0u);
    secret->setObject("changed", "text");
    const auto refused = wait([&](Result& r) { secret->updateInBackgroundWithResultBlock(into(r)); });
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.error->code, 119);
    VornUser::logout();
    EXPECT_EQ(visible("Memo"), 0u);
}
