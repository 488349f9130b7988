#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/core/v_VornUtils.h"
#include "vorn/push/VornInstallation.h"
#include "vorn/push/VornPush.h"
#include "vorn/query/VornQuery.h"
#include "vorn/service/VornService.h"

#include <vorn_emulator/Pushes.h>
#include <vorn_emulator/Server.h>

#include <gtest/gtest.h>

#include <algorithm>

using namespace vorn;
using json = nlohmann::json;

namespace emulator_push_test {

using Result = test::BooleanResult;

class EmulatorPushTest : public test::EmulatorTest {
protected:
    std::string saveInstallation(std::uint8_t token, const json& channels, int floor) {
        auto installation = VornInstallation::currentInstallation();
        installation->setDeviceTokenFromData(Bytes{token, 0xAB});
        installation->subsccribeToChannels(channels);
        installation->setObject(VornValue(json(floor)), "floor");
        Result saved;
        installation->saveInBackgroundWithResultBlock(saved.block());
        EXPECT_TRUE(saved.wait());
        EXPECT_TRUE(saved.succeeded) << (saved.error ? saved.error->message() : "");
        return installation->objectId().value_or("");
    }
    std::vector<json> deliveries() {
        return emulatorServer().call([this] { return emulator::pushDeliveries(emulatorServer().storage()); });
    }
    /// The installations the last push reached, sorted.
    std::vector<std::string> reachedBy(const std::function<void(VornBooleanResultBlock)>& send) {
        emulatorServer().call([this] { return emulator::clearPushDeliveries(emulatorServer().storage()); });
        Result sent;
        send(sent.block());
        EXPECT_TRUE(sent.wait());
        EXPECT_TRUE(sent.succeeded) << (sent.error ? sent.error->message() : "");
        std::vector<std::string> ids;
        for (const auto& entry : deliveries()) ids.push_back(entry["installationId"]);
        std::sort(ids.begin(), ids.end());
        return ids;
    }
};

TEST_F(EmulatorPushTest, PushesReachTheInstallationsOfTheirChannelsAndQueries) {
    const auto lobby = saveInstallation(1, {"news", "lobby"}, 0);
    const auto roof = saveInstallation(2, {"weather"}, 9);
    const auto sorted = [](std::vector<std::string> ids) {
        std::sort(ids.begin(), ids.end());
        return ids;
    };

    EXPECT_EQ(reachedBy([](auto b) { VornPush::sendPushMessageToChannelInBackground("news", "hi", b); }),
              std::vector<std::string>{lobby});
    auto high = VornInstallation::query();
    high->whereKeyGreaterThan("floor", VornValue(json(5)));
    EXPECT_EQ(reachedBy([&](auto b) {
                  VornPush::sendPushDataToQueryInBackground(high, json{{"k", 1}}, b);
              }),
              std::vector<std::string>{roof});
    auto both = VornPush::push();
    both->setChannels(json{"news", "weather"});
    both->setQuery(high);
    both->setMessage("both");
    EXPECT_EQ(reachedBy([&](auto b) { both->sendPushInBackgroundWithBlock(b); }), std::vector<std::string>{roof})
        << "channels and where must both hold";
    auto everyone = VornPush::push();
    everyone->setMessage("all");
    EXPECT_EQ(reachedBy([&](auto b) { everyone->sendPushInBackgroundWithBlock(b); }), sorted({lobby, roof}));

    const auto entry = deliveries().at(0);
    EXPECT_EQ(entry["payload"], (json{{"alert", "all"}}));
    EXPECT_EQ(entry["status"], "delivered");
    EXPECT_FALSE(entry["pushId"].get<std::string>().empty());
}

TEST_F(EmulatorPushTest, ExpiredAndScheduledPushesAreLoggedAsSuch) {
    saveInstallation(3, {"news"}, 1);
    auto expired = VornPush::push();
    expired->setChannel("news");
    expired->setMessage("late");
    expired->expireAtDate(std::chrono::system_clock::now() - std::chrono::hours(1));
    ASSERT_EQ(reachedBy([&](auto b) { expired->sendPushInBackgroundWithBlock(b); }).size(), 1u);
    EXPECT_EQ(deliveries().at(0)["status"], "expired");

    auto later = VornPush::push();
    later->setChannel("news");
    later->setMessage("soon");
    later->pushDate(std::chrono::system_clock::now() + std::chrono::hours(2));
    later->expireAfterTimeInterval(600);
    ASSERT_EQ(reachedBy([&](auto b) { later->sendPushInBackgroundWithBlock(b); }).size(), 1u);
    const auto entry = deliveries().at(0);
    EXPECT_EQ(entry["status"], "scheduled");
    EXPECT_FALSE(entry["expiresAt"].is_null());
}

TEST_F(EmulatorPushTest, ADeviceTokenBelongsToTheInstallationThatSavedItLast) {
    const auto first = saveInstallation(7, {"news"}, 1);
    const auto second = saveInstallation(7, {"news"}, 1);
    EXPECT_FALSE(storedObject("_Installation", first).value().contains("deviceToken"));
    EXPECT_EQ(storedObject("_Installation", second).value()["deviceToken"], "07ab");
    EXPECT_EQ(storedObject("_Installation", second).value()["deviceType"], "ios");
}

TEST_F(EmulatorPushTest, AnEmptyChannelListAndInstallationsWithoutATokenReachNobody) {
    saveInstallation(4, {"news"}, 1);
    // An empty list names no channel (the library leaves an empty list out,
    // so the call is made as another client would).
    VornServiceCall call;
    call.path = "push";
    call.data = json{{"channels", json::array()}, {"data", {{"alert", "to no channel"}}}};
    std::optional<VornServiceReply> reply;
    VornService::send(call, [&](const VornServiceReply& r) { reply = r; });
    ASSERT_TRUE(test::runUntil([&] { return reply.has_value(); }));
    ASSERT_EQ(reply->code, 200) << reply->text;
    EXPECT_EQ(reply->validData()->at("recipients"), 0);

    // The same token saved again moves to the second installation: the first
    // one holds no token and is no recipient any more.
    const auto first = saveInstallation(5, {"news"}, 1);
    const auto second = saveInstallation(5, {"news"}, 1);
    const auto reached = reachedBy([](auto b) { VornPush::sendPushMessageToChannelInBackground("news", "hi", b); });
    EXPECT_EQ(std::count(reached.begin(), reached.end(), first), 0);
    EXPECT_EQ(std::count(reached.begin(), reached.end(), second), 1);
}

TEST_F(EmulatorPushTest, MalformedPushesAreRefused) {
    const auto refused = [](const json& data) {
        VornServiceCall call;
        call.path = "push";
        call.data = data;
        std::optional<VornServiceReply> reply;
        VornService::send(call, [&](const VornServiceReply& r) { reply = r; });
        EXPECT_TRUE(test::runUntil([&] { return reply.has_value(); }));
        return reply ? reply->code : 0;
    };
    EXPECT_NE(refused(json("text")), 200);
    EXPECT_NE(refused(json{{"channels", "news"}}), 200);
    EXPECT_NE(refused(json{{"channels", {1}}}), 200);
    EXPECT_NE(refused(json{{"where", {{"floor", {{"$bogus", 1}}}}}}), 200);
    EXPECT_NE(refused(json{{"push_time", "tomorrow"}}), 200);
    EXPECT_NE(refused(json{{"expiration_interval", "soon"}}), 200);
    EXPECT_NE(refused(json{{"data", "alert"}}), 200);
    EXPECT_EQ(refused(json{{"channels", json::array()}}), 200);
}

}  // namespace emulator_push_test
