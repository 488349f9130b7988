// Users: sign-up, log-in, external accounts, and changes of users that only
// their own session may make.

#include <gtest/gtest.h>

#include "AccountsTestUtil.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator::emutest {
namespace {

Json qq(const std::string& openid, const std::string& token = "qq-token") {
    return Json{{"access_token", token}, {"openid", openid}, {"expires_in", 7200}};
}

Json weibo(const std::string& uid) {
    return Json{{"access_token", "wb-token"}, {"uid", uid}, {"expires_in", "3600"}};
}

class EmulatorUsersTest : public AccountsTest {
protected:
    Reply logInOrSignUp(Json authData) {
        return userCall("/7/login_or_signup", Json{{"authData", std::move(authData)}});
    }

    // Every text stored in the database, one per table cell.
    std::vector<std::string> everyStoredText() {
        return server_->call([&] {
            std::vector<std::string> texts;
            Storage& storage = server_->storage();
            for (const char* sql : {"SELECT data FROM objects", "SELECT user_id || ' ' || hash FROM passwords",
                                    "SELECT token_hash || ' ' || user_id FROM sessions",
                                    "SELECT secret_hash || ' ' || address FROM account_secrets"}) {
                for (const auto& row : storage.query(sql)) texts.push_back(row.at(0).asText());
            }
            return texts;
        });
    }
};

TEST_F(EmulatorUsersTest, SignUpThenLogIn) {
    const Reply reply = signUpReply("ann", "pa55word", {{"email", "ann@example.com"}, {"score", 3}});
    ASSERT_EQ(reply.code(), 200) << reply.body;
    const Json& data = reply.data();
    const std::string id = data.at("objectId");
    const std::string token = data.at("sessionToken");
    EXPECT_EQ(data.at("createdAt"), data.at("updatedAt"));
    EXPECT_EQ(data.size(), 4u) << data;
    EXPECT_TRUE(token.starts_with("r:"));
    EXPECT_EQ(token.size(), 34u);
    EXPECT_EQ(sessionUser(token), id);

    const auto stored = fetch("_User", id);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->at("username"), "ann");
    EXPECT_EQ(stored->at("score"), 3);
    EXPECT_EQ(stored->at("emailVerified"), false);

    const Reply login = logIn("ann", "pa55word");
    ASSERT_EQ(login.code(), 200) << login.body;
    EXPECT_EQ(login.data().at("objectId"), id);
    EXPECT_EQ(login.data().at("username"), "ann");
    EXPECT_EQ(login.data().at("email"), "ann@example.com");
    EXPECT_EQ(login.data().at("createdAt"), stored->at("createdAt"));
    EXPECT_FALSE(login.data().contains("password"));
    const std::string second = login.data().at("sessionToken");
    EXPECT_NE(second, token);  // a new session each time; the first one stays valid
    EXPECT_EQ(sessionUser(second), id);
    EXPECT_EQ(sessionUser(token), id);
    EXPECT_FALSE(sessionUser("r:00000000000000000000000000000000"));
}

TEST_F(EmulatorUsersTest, WrongPasswordsAndNamesAreRefusedAlike) {
    signUp("ann", "right");
    for (const auto& [name, password] : std::vector<std::pair<std::string, std::string>>{
             {"ann", "wrong"}, {"ann", "Right"}, {"ann", ""}, {"bob", "right"}, {"", "right"}}) {
        const Reply reply = logIn(name, password);
        EXPECT_EQ(reply.code(), 101) << name << "/" << password;
        EXPECT_EQ(reply.message(), "invalid username/password");
        EXPECT_TRUE(reply.data().is_null());
    }
    EXPECT_EQ(userCall("/7/login", Json{{"username", "ann"}}).code(), 104);
    EXPECT_EQ(userCall("/7/login", Json{{"username", "ann"}, {"password", 5}}).code(), 105);
    EXPECT_EQ(userCall("/7/login", nullptr).code(), 104);
    EXPECT_EQ(call("/7/login", "Post", nullptr, Json{{"username", "ann"}, {"password", "right"}}).code(), 105);
    EXPECT_EQ(logIn("ann", "right").code(), 200);
}

TEST_F(EmulatorUsersTest, NamesAndAddressesAreUnique) {
    const auto ann = signUp("ann", "a", {{"email", "ann@example.com"}});
    const Reply sameName = signUpReply("ann", "b");
    EXPECT_EQ(sameName.code(), 202) << sameName.body;
    const Reply sameEmail = signUpReply("ann2", "b", {{"email", "ann@example.com"}});
    EXPECT_EQ(sameEmail.code(), 203) << sameEmail.body;
    EXPECT_EQ(count("_User"), 1u);
    // Plain creates of users follow the same rules.
    EXPECT_EQ(call("/7/create", "_User", nullptr, Json{{"username", "ann"}}).code(), 202);

    const auto bob = signUp("bob", "b");
    EXPECT_EQ(callAs(bob.token, "/7/update", "_User", bob.id, Json{{"username", "ann"}}).code(), 202);
    EXPECT_EQ(callAs(bob.token, "/7/update", "_User", bob.id, Json{{"email", "ann@example.com"}}).code(), 203);
    // Keeping one's own name is no conflict.
    EXPECT_EQ(callAs(ann.token, "/7/update", "_User", ann.id, Json{{"username", "ann"}}).code(), 200);
    EXPECT_EQ(fetch("_User", bob.id)->at("username"), "bob");
}

TEST_F(EmulatorUsersTest, SignUpChecksItsFields) {
    EXPECT_EQ(userCall("/7/signup", Json{{"password", "p"}}).code(), 104);
    EXPECT_EQ(userCall("/7/signup", Json{{"username", "ann"}}).code(), 104);
    EXPECT_EQ(userCall("/7/signup", Json{{"username", ""}, {"password", "p"}}).code(), 104);
    EXPECT_EQ(userCall("/7/signup", Json{{"username", "ann"}, {"password", ""}}).code(), 104);
    EXPECT_EQ(userCall("/7/signup", Json{{"username", 7}, {"password", "p"}}).code(), 105);
    EXPECT_EQ(userCall("/7/signup", Json{{"username", "ann"}, {"password", Json::array()}}).code(), 105);
    EXPECT_EQ(userCall("/7/signup", Json{{"username", "ann"}, {"password", "p"}, {"email", 1}}).code(), 105);
    EXPECT_EQ(userCall("/7/signup", Json{{"username", "ann"}, {"password", "p"}, {"bad", increment("x")}}).code(), 105);
    EXPECT_EQ(userCall("/7/signup", Json::array()).code(), 105);
    EXPECT_EQ(call("/7/signup", "Other", nullptr, Json{{"username", "ann"}, {"password", "p"}}).code(), 105);
    EXPECT_EQ(count("_User"), 0u);

    // The server keeps emailVerified and never stores a session token.
    const auto ann = signUp("ann", "p",
                            {{"email", "a@x"},
                             {"emailVerified", true},
                             {"sessionToken", "r:mine"},
                             {"ACL", aclOf({{"*", kReadOnly}})},
                             {"tags", op("AddUnique", {"a", "a"})}});
    const auto stored = fetch("_User", ann.id);
    EXPECT_EQ(stored->at("emailVerified"), false);
    EXPECT_FALSE(stored->contains("sessionToken"));
    EXPECT_EQ(stored->at("ACL"), aclOf({{"*", kReadOnly}}));
    EXPECT_EQ(stored->at("tags"), Json::array({"a"}));
    // Without an e-mail there is nothing to verify.
    EXPECT_FALSE(fetch("_User", signUp("bob").id)->contains("emailVerified"));
}

TEST_F(EmulatorUsersTest, PasswordsAreNeverStoredOrReturned) {
    const std::string password = "correct horse battery staple";
    const auto ann = signUp("ann", password);
    const std::string created =
        call("/7/create", "_User", nullptr, Json{{"username", "bob"}, {"password", password}}).data().at("objectId");
    ASSERT_EQ(callAs(ann.token, "/7/update", "_User", ann.id, Json{{"password", "second " + password}}).code(), 200);

    for (const std::string& text : everyStoredText()) {
        EXPECT_EQ(text.find("horse"), std::string::npos) << text;
        EXPECT_EQ(text.find(ann.token.substr(2)), std::string::npos) << text;
    }
    const auto hashes = server_->call([&] { return server_->storage().query("SELECT hash FROM passwords"); });
    ASSERT_EQ(hashes.size(), 2u);
    for (const auto& row : hashes) EXPECT_TRUE(row.at(0).asText().starts_with("pbkdf2_sha256$20000$"));

    for (const Reply& reply : {logIn("ann", "second " + password), findAs(ann.token, "_User", nullptr),
                               fetchAs(ann.token, "_User", created)}) {
        ASSERT_EQ(reply.code(), 200) << reply.body;
        EXPECT_EQ(reply.body.find("horse"), std::string::npos) << reply.body;
        EXPECT_EQ(reply.body.find("password"), std::string::npos) << reply.body;
    }
    EXPECT_TRUE(passwordIs(created, password));
    EXPECT_TRUE(passwordIs(ann.id, "second " + password));
    EXPECT_FALSE(passwordIs(ann.id, password));
    EXPECT_EQ(logIn("ann", password).code(), 101);
    EXPECT_EQ(logIn("bob", password).code(), 200);
}

TEST_F(EmulatorUsersTest, ExternalAccountsSignUpOnceThenLogIn) {
    const Reply first = logInOrSignUp({{"qq", qq("open-1")}});
    ASSERT_EQ(first.code(), 200) << first.body;
    const std::string id = first.data().at("objectId");
    EXPECT_EQ(first.data().at("authData"), (Json{{"qq", qq("open-1")}}));
    EXPECT_FALSE(first.data().at("username").get<std::string>().empty());
    EXPECT_EQ(sessionUser(first.data().at("sessionToken")), id);

    // The same account again, with a newer token: the same user, the entry refreshed.
    const Reply again = logInOrSignUp({{"qq", qq("open-1", "newer")}});
    ASSERT_EQ(again.code(), 200) << again.body;
    EXPECT_EQ(again.data().at("objectId"), id);
    EXPECT_EQ(again.data().at("username"), first.data().at("username"));
    EXPECT_EQ(again.data().at("authData"), (Json{{"qq", qq("open-1", "newer")}}));
    EXPECT_NE(again.data().at("sessionToken"), first.data().at("sessionToken"));

    // Another account, or the same id on another platform, is another user.
    const Reply other = logInOrSignUp({{"qq", qq("open-2")}});
    const Reply onWeibo = logInOrSignUp({{"weibo", weibo("open-1")}});
    ASSERT_EQ(other.code(), 200);
    ASSERT_EQ(onWeibo.code(), 200) << onWeibo.body;
    EXPECT_NE(other.data().at("objectId"), id);
    EXPECT_NE(onWeibo.data().at("objectId"), id);
    EXPECT_NE(other.data().at("username"), first.data().at("username"));
    EXPECT_EQ(count("_User"), 3u);

    // The user has no password to log in with.
    EXPECT_EQ(logIn(first.data().at("username"), "").code(), 101);
}

TEST_F(EmulatorUsersTest, ExternalAccountEntriesAreChecked) {
    for (const Json& authData : std::vector<Json>{
             Json::object(),
             {{"qq", qq("a")}, {"weibo", weibo("b")}},
             {{"facebook", qq("a")}},
             {{"qq", "token"}},
             {{"qq", nullptr}},
             {{"qq", {{"access_token", "t"}, {"expires_in", 1}}}},
             {{"qq", {{"access_token", "t"}, {"openid", ""}, {"expires_in", 1}}}},
             {{"qq", {{"access_token", 5}, {"openid", "a"}, {"expires_in", 1}}}},
             {{"qq", {{"access_token", "t"}, {"openid", "a"}}}},
             {{"qq", {{"access_token", "t"}, {"openid", "a"}, {"expires_in", Json::array()}}}},
             {{"weibo", qq("a")}},
         }) {
        EXPECT_EQ(logInOrSignUp(authData).code(), 105) << authData;
    }
    EXPECT_EQ(userCall("/7/login_or_signup", Json{{"authData", "qq"}}).code(), 105);
    EXPECT_EQ(userCall("/7/login_or_signup", Json::object()).code(), 104);
    EXPECT_EQ(count("_User"), 0u);
}

TEST_F(EmulatorUsersTest, UsersChangeOnlyThemselves) {
    const auto ann = signUp("ann");
    const auto bob = signUp("bob");
    const Json change{{"score", 1}};

    const Reply anonymous = callAs("", "/7/update", "_User", ann.id, change);
    EXPECT_EQ(anonymous.code(), 209) << anonymous.body;
    EXPECT_EQ(callAs("r:unknown", "/7/update", "_User", ann.id, change).code(), 209);
    const Reply other = callAs(bob.token, "/7/update", "_User", ann.id, change);
    EXPECT_EQ(other.code(), 206) << other.body;
    EXPECT_EQ(other.message(), "cannot modify another user: " + ann.id);
    EXPECT_EQ(callAs(bob.token, "/7/update", "_User", "nosuchuser", change).code(), 101);
    EXPECT_FALSE(fetch("_User", ann.id)->contains("score"));

    const Reply own = callAs(ann.token, "/7/update", "_User", ann.id, Json{{"score", increment(2)}});
    ASSERT_EQ(own.code(), 200) << own.body;
    EXPECT_EQ(fetch("_User", ann.id)->at("score"), 2);
    EXPECT_EQ(fetch("_User", ann.id)->at("updatedAt"), own.data().at("updatedAt"));

    EXPECT_EQ(callAs("", "/7/delete", "_User", ann.id, nullptr).code(), 209);
    EXPECT_EQ(callAs("r:unknown", "/7/delete", "_User", ann.id, nullptr).code(), 209);
    EXPECT_EQ(callAs(bob.token, "/7/delete", "_User", ann.id, nullptr).code(), 206);
    EXPECT_TRUE(fetch("_User", ann.id));

    // Deleting oneself ends one's sessions.
    const std::string second = logIn("ann", "secret").data().at("sessionToken");
    ASSERT_EQ(callAs(ann.token, "/7/delete", "_User", ann.id, nullptr).code(), 200);
    EXPECT_FALSE(fetch("_User", ann.id));
    EXPECT_FALSE(sessionUser(ann.token));
    EXPECT_FALSE(sessionUser(second));
    EXPECT_EQ(callAs(ann.token, "/7/update", "_User", ann.id, change).code(), 209);
    EXPECT_EQ(logIn("ann", "secret").code(), 101);
    // The name is free again.
    EXPECT_EQ(signUpReply("ann", "new").code(), 200);
}

TEST_F(EmulatorUsersTest, BatchOperationsOnUsersUseTheirOwnToken) {
    const auto ann = signUp("ann");
    const auto bob = signUp("bob");
    const std::string path = "/1/classes/_User/" + ann.id;
    const Reply reply = callAs(bob.token, "/7/batch", nullptr, nullptr,
                               {{"requests",
                                 {{{"method", "PUT"}, {"path", path}, {"body", {{"n", 1}}}},
                                  {{"method", "PUT"}, {"path", path}, {"token", "r:bad"}, {"body", {{"n", 2}}}},
                                  {{"method", "PUT"}, {"path", path}, {"token", ann.token}, {"body", {{"n", 3}}}},
                                  {{"method", "DELETE"}, {"path", path}, {"token", bob.token}}}}});
    ASSERT_EQ(reply.code(), 200) << reply.body;
    EXPECT_EQ(reply.data()[0]["error"]["code"], 206);  // the header's token, bob's
    EXPECT_EQ(reply.data()[1]["error"]["code"], 209);
    EXPECT_TRUE(reply.data()[2].contains("success")) << reply.data()[2];
    EXPECT_EQ(reply.data()[3]["error"]["code"], 206);
    EXPECT_EQ(fetch("_User", ann.id)->at("n"), 3);
}

TEST_F(EmulatorUsersTest, PasswordAndNameChangesThroughUpdates) {
    const auto ann = signUp("ann", "old", {{"email", "ann@example.com"}});
    EXPECT_EQ(callAs(ann.token, "/7/update", "_User", ann.id, Json{{"password", ""}}).code(), 104);
    EXPECT_EQ(callAs(ann.token, "/7/update", "_User", ann.id, Json{{"password", 1}}).code(), 105);
    EXPECT_EQ(callAs(ann.token, "/7/update", "_User", ann.id, Json{{"username", Json{{"__op", "Delete"}}}}).code(),
              105);
    ASSERT_EQ(callAs(ann.token, "/7/update", "_User", ann.id,
                     Json{{"password", "new"}, {"username", "anna"}, {"email", "anna@example.com"}})
                  .code(),
              200);
    EXPECT_EQ(logIn("ann", "old").code(), 101);
    EXPECT_EQ(logIn("anna", "old").code(), 101);
    EXPECT_EQ(logIn("anna", "new").code(), 200);
    const auto stored = fetch("_User", ann.id);
    EXPECT_FALSE(stored->contains("password"));
    EXPECT_EQ(stored->at("email"), "anna@example.com");
    EXPECT_EQ(stored->at("emailVerified"), false);
    // The old session still works after the password change.
    EXPECT_EQ(sessionUser(ann.token), ann.id);
    // "ann" is free now, the old address too.
    EXPECT_EQ(signUpReply("ann", "x", {{"email", "ann@example.com"}}).code(), 200);
}

TEST_F(EmulatorUsersTest, AuthDataIsMergedAndUnlinked) {
    const auto ann = signUp("ann");
    const auto update = [&](Json authData) {
        return callAs(ann.token, "/7/update", "_User", ann.id, Json{{"authData", std::move(authData)}});
    };
    ASSERT_EQ(update({{"qq", qq("q1")}}).code(), 200);
    ASSERT_EQ(update({{"weibo", weibo("w1")}}).code(), 200);
    EXPECT_EQ(fetch("_User", ann.id)->at("authData"), (Json{{"qq", qq("q1")}, {"weibo", weibo("w1")}}));

    // The linked account now logs ann in.
    const Reply linked = logInOrSignUp({{"weibo", weibo("w1")}});
    ASSERT_EQ(linked.code(), 200) << linked.body;
    EXPECT_EQ(linked.data().at("objectId"), ann.id);
    EXPECT_EQ(linked.data().at("authData").at("qq"), qq("q1"));

    // Unlinking stores null under the platform and keeps the others.
    ASSERT_EQ(update({{"qq", nullptr}}).code(), 200);
    EXPECT_EQ(fetch("_User", ann.id)->at("authData"), (Json{{"qq", nullptr}, {"weibo", weibo("w1")}}));
    const Reply unlinked = logInOrSignUp({{"qq", qq("q1")}});
    ASSERT_EQ(unlinked.code(), 200);
    EXPECT_NE(unlinked.data().at("objectId"), ann.id);

    // That account belongs to the new user now; ann cannot take it.
    const Reply taken = update({{"qq", qq("q1")}});
    EXPECT_EQ(taken.code(), 208) << taken.body;
    EXPECT_EQ(update({{"qq", "x"}}).code(), 105);
    EXPECT_EQ(update(Json::array()).code(), 105);
    EXPECT_EQ(update({{"__op", "Increment"}, {"amount", 1}}).code(), 105);
    EXPECT_EQ(fetch("_User", ann.id)->at("authData"), (Json{{"qq", nullptr}, {"weibo", weibo("w1")}}));

    ASSERT_EQ(update({{"__op", "Delete"}}).code(), 200);
    EXPECT_FALSE(fetch("_User", ann.id)->contains("authData"));
}

TEST_F(EmulatorUsersTest, MalformedAccountCallsAreServiceErrors) {
    const auto ann = signUp("ann", "secret", {{"email", "ann@example.com"}});
    const std::vector<Json> values{nullptr,
                                   1,
                                   -2.5,
                                   "text",
                                   "",
                                   true,
                                   Json::array(),
                                   Json::array({1, "a"}),
                                   Json::object(),
                                   Json{{"__op", "Delete"}},
                                   Json{{"__type", "Date"}, {"iso", "x"}}};
    std::vector<Json> datas{nullptr, "text", Json::array()};
    for (const char* key : {"username", "password", "email", "code", "authData", "ACL", "emailVerified"}) {
        for (const Json& value : values) {
            datas.push_back(Json{{key, value}});
            datas.push_back(Json{{"username", "u"}, {"password", "p"}, {"email", "e@x"}, {key, value}});
            datas.push_back(Json{
                {"authData", {{"qq", {{"access_token", "t"}, {"openid", "o"}, {"expires_in", 1}, {key, value}}}}}});
        }
    }
    for (const char* path : {"/7/signup", "/7/login", "/7/login_or_signup", "/7/email_verify", "/7/reset",
                             "/7/phone_request_reset", "/7/phone_reset"}) {
        for (const Json& data : datas) {
            const Reply reply = userCall(path, data);
            EXPECT_NE(reply.code(), 1) << path << " " << data << " " << reply.body;
        }
    }
    for (const Json& data : datas) {
        const Reply reply = callAs(ann.token, "/7/update", "_User", ann.id, data);
        EXPECT_NE(reply.code(), 1) << data << " " << reply.body;
    }
    // Whatever got through, the account still works and holds no password field.
    const auto stored = fetch("_User", ann.id);
    ASSERT_TRUE(stored);
    EXPECT_FALSE(stored->contains("password"));
    EXPECT_EQ(sessionUser(ann.token), ann.id);
}

}  // namespace
}  // namespace vorn::emulator::emutest
