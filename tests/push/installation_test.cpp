#include "support/ScriptedHttpServer.h"
#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/core/DeviceContext.h"
#include "vorn/data/VornObjectRegistry.h"
#include "vorn/push/VornInstallation.h"
#include "vorn/query/VornQuery.h"
#include "vorn/service/Vorn.h"

#include <gtest/gtest.h>

using namespace vorn;
using json = nlohmann::json;
using test::RecordedRequest;
using test::ScriptedAction;
using test::ScriptedHttpServer;

namespace installation_test {

std::string reply(const json& data) {
    return json{{"result", {{"code", 200}, {"message", "ok"}}}, {"data", data}}.dump();
}

ScriptedAction answer(const RecordedRequest& request) {
    if (request.target == "/7/create") {
        return ScriptedAction::reply(reply({{"objectId", "inst1"}, {"createdAt", "2026-01-02 03:04:05"}}));
    }
    if (request.target == "/7/find") {
        return ScriptedAction::reply(reply({{"results", {{{"objectId", "i9"}, {"deviceToken", "00ff"}}}}}));
    }
    return ScriptedAction::reply(reply({{"updatedAt", "2026-01-02 03:04:06"}}));
}

class InstallationTest : public ::testing::Test {
protected:
    void SetUp() override {
        DeviceContext::shared().setIdentity(AppIdentity{"com.example.push", "Pusher", "7.1"});
        Vorn::registerWithAppKey("push-key");
    }
    /// Saves and returns the "data" the service received.
    json saved(const std::shared_ptr<VornInstallation>& installation) {
        bool done = false;
        installation->saveInBackgroundWithResultBlock([&](bool ok, const OptionalError&) {
            EXPECT_TRUE(ok);
            done = true;
        });
        EXPECT_TRUE(test::runUntil([&] { return done; }));
        const auto requests = server_.requests();
        return requests.empty() ? json() : json::parse(requests.back().body)["data"];
    }

    ScriptedHttpServer server_{answer};
    test::TestDevice device_{server_.hostAndPort()};
};

TEST_F(InstallationTest, EveryInitializerGivesAnEmptyInstallation) {
    auto a = VornInstallation::currentInstallation();
    auto b = VornInstallation::currentInstallation();
    EXPECT_NE(a, b);
    for (const auto& installation : {a, VornInstallation::initWithClassName("Anything"),
                                     VornInstallation::objectWithClassName("Other"), VornInstallation::init()}) {
        EXPECT_EQ(installation->className(), "_Installation");
        EXPECT_EQ(installation->badge(), 0);
        EXPECT_EQ(installation->deviceType(), "ios");
        EXPECT_FALSE(installation->objectId().has_value());
        EXPECT_FALSE(installation->objectForKey("deviceToken").has_value());
    }
    auto existing = VornInstallation::objectWithoutDatatWithClassName("X", "abc");
    EXPECT_EQ(existing->objectId(), "abc");
    EXPECT_EQ(existing->className(), "_Installation");
}

TEST_F(InstallationTest, TheTokenIsLowerCaseHexInThePropertyAndTheField) {
    auto installation = VornInstallation::currentInstallation();
    installation->setDeviceTokenFromData(Bytes{0x0A, 0xFF});
    EXPECT_EQ(installation->deviceToken(), "0aff");
    EXPECT_EQ(installation->objectForKey("deviceToken")->json(), "0aff");
    installation->setDeviceTokenFromData(Bytes{});
    EXPECT_EQ(installation->deviceToken(), "");
    installation->setDeviceToken("beef");
    EXPECT_EQ(installation->objectForKey("deviceToken")->json(), "") << "the property alone leaves the field";
}

TEST_F(InstallationTest, ASaveWritesTheApplicationDescriptionFirst) {
    auto installation = VornInstallation::currentInstallation();
    installation->setBadge(3);
    installation->setDeviceType("android");
    installation->setDeviceTokenFromData(Bytes{1, 2});
    const auto data = saved(installation);
    EXPECT_EQ(server_.requests().back().target, "/7/create");
    EXPECT_EQ(json::parse(server_.requests().back().body)["c"], "_Installation");
    EXPECT_EQ(data["deviceType"], "ios");
    EXPECT_EQ(data["appIdentifier"], "com.example.push");
    EXPECT_EQ(data["appName"], "Pusher");
    EXPECT_EQ(data["appVersion"], "7.1");
    EXPECT_EQ(data["timeZone"], DeviceContext::shared().systemTimeZoneName());
    EXPECT_EQ(data["VornVersion"], "v1.4.9");
    EXPECT_EQ(data["badge"], 3);
    EXPECT_EQ(data["deviceToken"], "0102");
    EXPECT_FALSE(data.contains("channels"));
    EXPECT_EQ(installation->objectId(), "inst1");

    // Saved again it has an id: an update of the record.
    installation->setBadge(0);
    const auto update = saved(installation);
    EXPECT_EQ(server_.requests().back().target, "/7/update");
    EXPECT_EQ(json::parse(server_.requests().back().body)["objectId"], "inst1");
    EXPECT_EQ(update["badge"], 0);
}

TEST_F(InstallationTest, TheChannelsPropertyReplacesEarlierOperators) {
    auto subscribed = VornInstallation::currentInstallation();
    subscribed->subsccribeToChannels({"news", "sport"});
    EXPECT_EQ(saved(subscribed)["channels"], (json{{"__op", "AddUnique"}, {"objects", {"news", "sport"}}}));

    auto unsubscribed = VornInstallation::currentInstallation();
    unsubscribed->unsubscribeFromChannels({"sport"});
    EXPECT_EQ(saved(unsubscribed)["channels"], (json{{"__op", "Remove"}, {"objects", {"sport"}}}));

    auto both = VornInstallation::currentInstallation();
    both->subsccribeToChannels({"news"});
    both->setChannels(json{"weather"});
    EXPECT_EQ(saved(both)["channels"], (json{"weather"}));
}

TEST_F(InstallationTest, MissingIdentityFactsLeaveTheirFieldsUnset) {
    DeviceContext::shared().setIdentity(AppIdentity{"com.example.bare", "", ""});
    const auto data = saved(VornInstallation::currentInstallation());
    EXPECT_FALSE(data.contains("appName"));
    EXPECT_FALSE(data.contains("appVersion"));
    EXPECT_EQ(data["appIdentifier"], "com.example.bare");
}

TEST_F(InstallationTest, DeletingDoesNothingAndFoundInstallationsAreInstallations) {
    auto installation = VornInstallation::objectWithoutDatatWithClassName("_Installation", "i1");
    bool called = false;
    installation->deleteInBackgroundWithBlock([&](bool, const OptionalError&) { called = true; });
    installation->deleteInBackground();
    installation->deleteInBackgroundWithBlock([&](bool, const OptionalError&) { called = true; }, true);
    test::drainLoop();
    EXPECT_FALSE(called);
    EXPECT_TRUE(server_.requests().empty());

    std::optional<VornObjectList> found;
    VornInstallation::query()->findObjectsInBackgroundWithBlock(
        [&](const std::optional<VornObjectList>& objects, const OptionalError&) { found = objects; });
    ASSERT_TRUE(test::runUntil([&] { return found.has_value(); }));
    ASSERT_EQ(found->size(), 1u);
    EXPECT_NE(std::dynamic_pointer_cast<VornInstallation>(found->front()), nullptr);
    EXPECT_EQ(json::parse(server_.requests().back().body)["c"], "_Installation");
    EXPECT_NE(std::dynamic_pointer_cast<VornInstallation>(VornObjectRegistry::shared().makeObject("_Installation")),
              nullptr);
}

}  // namespace installation_test
