// The outbox: e-mail verification and password reset links, reset codes by
// text, and the admin endpoints that show and clear it.

#include <gtest/gtest.h>

#include "AccountsTestUtil.h"

namespace vorn::emulator::emutest {
namespace {

const HeaderList kForm{{"Content-Type", "application/x-www-form-urlencoded"}};

class EmulatorOutboxTest : public AccountsTest {
protected:
    void SetUp() override {
        AccountsTest::SetUp();
        ann_ = signUp("ann", "old", {{"email", "ann@example.com"}});
    }

    Json onlyEntry() {
        const auto entries = outboxEntries();
        EXPECT_EQ(entries.size(), 1u);
        return entries.empty() ? Json() : entries.back();
    }

    SignedUpUser ann_;
};

TEST_F(EmulatorOutboxTest, VerificationLinkMarksTheAddressVerified) {
    EXPECT_TRUE(outboxEntries().empty());
    const Reply reply = userCall("/7/email_verify", Json{{"email", "ann@example.com"}});
    ASSERT_EQ(reply.code(), 200) << reply.body;
    EXPECT_EQ(reply.data(), Json::object());

    const Json entry = onlyEntry();
    EXPECT_EQ(entry.at("kind"), "verify");
    EXPECT_EQ(entry.at("to"), "ann@example.com");
    EXPECT_FALSE(entry.contains("code"));
    EXPECT_EQ(entry.at("createdAt").get<std::string>().size(), 19u);
    const std::string target = linkTarget(entry);
    ASSERT_TRUE(target.starts_with("/verify?token=")) << target;
    EXPECT_EQ(fetch("_User", ann_.id)->at("emailVerified"), false);

    const Reply opened = client_->get(target);
    EXPECT_EQ(opened.status, 200u);
    EXPECT_TRUE(opened.contentType.starts_with("text/html"));
    EXPECT_NE(opened.body.find("ann@example.com"), std::string::npos);
    EXPECT_EQ(fetch("_User", ann_.id)->at("emailVerified"), true);

    // Single use; made-up and missing tokens do nothing.
    EXPECT_EQ(client_->get(target).status, 400u);
    EXPECT_EQ(client_->get("/verify?token=0123456789abcdef0123456789abcdef").status, 400u);
    EXPECT_EQ(client_->get("/verify").status, 400u);
    EXPECT_EQ(client_->get("/verify?token=%zz%").status, 400u);
}

TEST_F(EmulatorOutboxTest, VerificationLinkOfAChangedAddressIsStale) {
    ASSERT_EQ(userCall("/7/email_verify", Json{{"email", "ann@example.com"}}).code(), 200);
    const std::string target = linkTarget(onlyEntry());
    ASSERT_EQ(callAs(ann_.token, "/7/update", "_User", ann_.id, Json{{"email", "new@example.com"}}).code(), 200);
    EXPECT_EQ(client_->get(target).status, 400u);
    EXPECT_EQ(fetch("_User", ann_.id)->at("emailVerified"), false);
}

TEST_F(EmulatorOutboxTest, UnknownAddressesAndNumbers) {
    const Reply unknown = userCall("/7/email_verify", Json{{"email", "nobody@example.com"}});
    EXPECT_EQ(unknown.code(), 205) << unknown.body;
    EXPECT_EQ(userCall("/7/reset", Json{{"email", "nobody@example.com"}}).code(), 205);
    EXPECT_EQ(userCall("/7/phone_request_reset", Json{{"username", "+100"}}).code(), 205);
    EXPECT_EQ(userCall("/7/reset", Json{{"email", 5}}).code(), 105);
    EXPECT_EQ(userCall("/7/reset", Json::object()).code(), 104);
    EXPECT_EQ(userCall("/7/phone_request_reset", nullptr).code(), 104);
    EXPECT_TRUE(outboxEntries().empty());
}

TEST_F(EmulatorOutboxTest, ResetLinkShowsAFormAndSetsThePassword) {
    ASSERT_EQ(userCall("/7/reset", Json{{"email", "ann@example.com"}}).code(), 200);
    const Json entry = onlyEntry();
    EXPECT_EQ(entry.at("kind"), "reset");
    EXPECT_EQ(entry.at("to"), "ann@example.com");
    const std::string target = linkTarget(entry);
    ASSERT_TRUE(target.starts_with("/reset?token=")) << target;

    const Reply form = client_->get(target);
    EXPECT_EQ(form.status, 200u);
    EXPECT_NE(form.body.find("<form"), std::string::npos);
    EXPECT_NE(form.body.find("name=\"password\""), std::string::npos);
    EXPECT_EQ(logIn("ann", "old").code(), 200);  // showing the form changes nothing

    const Reply empty = send(http::verb::post, target, "password=", kForm);
    EXPECT_EQ(empty.status, 400u);
    const Reply changed = send(http::verb::post, target, "password=new+pass%21", kForm);
    EXPECT_EQ(changed.status, 200u) << changed.body;
    EXPECT_EQ(logIn("ann", "old").code(), 101);
    EXPECT_EQ(logIn("ann", "new pass!").code(), 200);

    EXPECT_EQ(send(http::verb::post, target, "password=again", kForm).status, 400u);
    EXPECT_EQ(client_->get(target).status, 400u);
    EXPECT_EQ(logIn("ann", "new pass!").code(), 200);
}

TEST_F(EmulatorOutboxTest, ResetTokenMayComeAsAFormField) {
    ASSERT_EQ(userCall("/7/reset", Json{{"email", "ann@example.com"}}).code(), 200);
    const std::string target = linkTarget(onlyEntry());
    const std::string token = target.substr(target.find('=') + 1);
    EXPECT_EQ(send(http::verb::post, "/reset", "password=x&token=wrong", kForm).status, 400u);
    EXPECT_EQ(send(http::verb::post, "/reset", "token=" + token + "&password=viaform", kForm).status, 200u);
    EXPECT_EQ(logIn("ann", "viaform").code(), 200);
}

TEST_F(EmulatorOutboxTest, TextCodeResetsThePassword) {
    const auto bob = signUp("+8613800000000", "old");
    const auto carol = signUp("carol", "old", {{"mobilePhoneNumber", "+8613900000000"}});
    ASSERT_EQ(userCall("/7/phone_request_reset", Json{{"username", "+8613800000000"}}).code(), 200);
    ASSERT_EQ(userCall("/7/phone_request_reset", Json{{"username", "+8613900000000"}}).code(), 200);
    const auto entries = outboxEntries();
    ASSERT_EQ(entries.size(), 2u);
    for (const Json& entry : entries) {
        EXPECT_EQ(entry.at("kind"), "sms");
        EXPECT_FALSE(entry.contains("link"));
        const std::string code = entry.at("code");
        EXPECT_EQ(code.size(), 6u);
        EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos) << code;
    }
    EXPECT_EQ(entries[0].at("to"), "+8613800000000");
    const std::string bobCode = entries[0].at("code");
    const std::string carolCode = entries[1].at("code");

    const auto reset = [&](const std::string& number, const std::string& code, const std::string& password) {
        return userCall("/7/phone_reset", Json{{"username", number}, {"code", code}, {"password", password}});
    };
    const std::string wrong = bobCode == "000000" ? "000001" : "000000";
    EXPECT_EQ(reset("+8613800000000", wrong, "new").code(), 214);
    EXPECT_EQ(reset("+8613800000000", carolCode == bobCode ? wrong : carolCode, "new").code(), 214);
    EXPECT_EQ(reset("+8613700000000", bobCode, "new").code(), 214);
    EXPECT_EQ(reset("+8613800000000", bobCode, "").code(), 104);
    EXPECT_EQ(userCall("/7/phone_reset", Json{{"username", "+8613800000000"}, {"code", 123456}}).code(), 105);
    EXPECT_EQ(logIn("+8613800000000", "old").code(), 200);

    ASSERT_EQ(reset("+8613800000000", bobCode, "new").code(), 200);
    EXPECT_TRUE(passwordIs(bob.id, "new"));
    EXPECT_EQ(reset("+8613800000000", bobCode, "newer").code(), 214);  // used
    ASSERT_EQ(reset("+8613900000000", carolCode, "fresh").code(), 200);
    EXPECT_TRUE(passwordIs(carol.id, "fresh"));
}

TEST_F(EmulatorOutboxTest, ANewCodeReplacesTheEarlierOne) {
    signUp("+100", "old");
    ASSERT_EQ(userCall("/7/phone_request_reset", Json{{"username", "+100"}}).code(), 200);
    ASSERT_EQ(userCall("/7/phone_request_reset", Json{{"username", "+100"}}).code(), 200);
    const auto entries = outboxEntries();
    ASSERT_EQ(entries.size(), 2u);
    const std::string first = entries[0].at("code");
    const std::string second = entries[1].at("code");
    const auto reset = [&](const std::string& code) {
        return userCall("/7/phone_reset", Json{{"username", "+100"}, {"code", code}, {"password", "new"}}).code();
    };
    if (first != second) {
        EXPECT_EQ(reset(first), 214);
    }
    EXPECT_EQ(reset(second), 200);
}

TEST_F(EmulatorOutboxTest, AdminEndpointsShowAndClearTheOutbox) {
    ASSERT_EQ(userCall("/7/email_verify", Json{{"email", "ann@example.com"}}).code(), 200);
    ASSERT_EQ(userCall("/7/reset", Json{{"email", "ann@example.com"}}).code(), 200);

    const Reply listed = client_->get("/admin/outbox");
    EXPECT_EQ(listed.status, 200u);
    ASSERT_TRUE(listed.json.is_array()) << listed.body;
    ASSERT_EQ(listed.json.size(), 2u);
    EXPECT_EQ(listed.json[0].at("kind"), "verify");
    EXPECT_EQ(listed.json[1].at("kind"), "reset");
    EXPECT_EQ(listed.json[0], outboxEntries()[0]);

    const Reply cleared = send(http::verb::delete_, "/admin/outbox");
    EXPECT_EQ(cleared.status, 200u);
    EXPECT_EQ(cleared.json.at("deleted"), 2);
    EXPECT_EQ(client_->get("/admin/outbox").json, Json::array());
    EXPECT_TRUE(outboxEntries().empty());
}

TEST_F(EmulatorOutboxTest, AdminEndpointsNeedNoAppKey) {
    Options options = memoryOptions();
    options.appKey = "app-key";
    start(options);
    EXPECT_EQ(client_->get("/admin/outbox").status, 200u);
    EXPECT_EQ(userCall("/7/email_verify", Json{{"email", "a@b"}}).code(), 103);
}

}  // namespace
}  // namespace vorn::emulator::emutest
