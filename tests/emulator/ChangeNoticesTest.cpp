// Which committed changes the realtime subscriptions want: a writer asks
// before it reads the object again for a notice.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "notices/ChangeNotices.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator::emutest {
namespace {

using nlohmann::json;

class EmulatorChangeNoticesTest : public ::testing::Test {
protected:
    void subscribe(const std::string& sid, const std::string& action, const std::string& table,
                   const std::string& objectId = "", bool cancel = false) {
        const json message{{"appKey", "key"}, {"tableName", table}, {"objectId", objectId}, {"action", action}};
        ASSERT_TRUE(notices_.event(sid, "", cancel ? "client_unsub" : "client_sub", json::array({message.dump()})));
        ASSERT_TRUE(refusals_.empty()) << refusals_.back();
    }

    bool wants(ChangeNotice::Kind kind, const std::string& className, const std::string& objectId) const {
        return notices_.wants(ChangeNotice{kind, className, objectId, std::nullopt});
    }

    std::vector<std::string> refusals_;
    ChangeNotices notices_{"key",
                           [this](const std::string&, const std::string&, const std::string& name, const json& args) {
        if (name == "error") refusals_.push_back(args.dump());
                           }};
};

TEST_F(EmulatorChangeNoticesTest, AChangeIsWantedOnlyWhileASubscriptionCanMatchIt) {
    using Kind = ChangeNotice::Kind;
    EXPECT_FALSE(wants(Kind::Create, "Item", "a"));
    EXPECT_FALSE(wants(Kind::Update, "Item", "a"));
    EXPECT_FALSE(wants(Kind::Delete, "Item", "a"));

    subscribe("s1", "updateRow", "Item", "a");
    EXPECT_TRUE(wants(Kind::Update, "Item", "a"));
    EXPECT_FALSE(wants(Kind::Update, "Item", "b"));
    EXPECT_FALSE(wants(Kind::Update, "Other", "a"));
    EXPECT_FALSE(wants(Kind::Create, "Item", "a"));  // a create reaches table subscriptions only
    EXPECT_FALSE(wants(Kind::Delete, "Item", "a"));

    subscribe("s2", "updateTable", "Item");
    EXPECT_TRUE(wants(Kind::Create, "Item", "z"));
    EXPECT_TRUE(wants(Kind::Update, "Item", "z"));
    EXPECT_FALSE(wants(Kind::Delete, "Item", "z"));

    subscribe("s2", "deleteRow", "Gone", "x");
    EXPECT_TRUE(wants(Kind::Delete, "Gone", "x"));
    EXPECT_FALSE(wants(Kind::Delete, "Gone", "y"));
    subscribe("s1", "deleteTable", "Gone");
    EXPECT_TRUE(wants(Kind::Delete, "Gone", "y"));

    // Cancelled, ended and left subscriptions want nothing more.
    subscribe("s1", "unsub_updateRow", "Item", "a", /*cancel=*/true);
    EXPECT_FALSE(wants(Kind::Update, "Other", "a"));
    EXPECT_TRUE(wants(Kind::Update, "Item", "a"));  // s2's table subscription
    notices_.sessionEnded("s2");
    EXPECT_FALSE(wants(Kind::Update, "Item", "a"));
    EXPECT_TRUE(wants(Kind::Delete, "Gone", "x"));  // s1's table subscription
    subscribe("s1", "unsub_deleteTable", "Gone", "", /*cancel=*/true);
    EXPECT_FALSE(wants(Kind::Delete, "Gone", "x"));
    subscribe("s1", "deleteTable", "Gone");
    EXPECT_TRUE(wants(Kind::Delete, "Gone", "y"));
    notices_.sessionLeft("s1", "");
    EXPECT_FALSE(wants(Kind::Delete, "Gone", "y"));
    EXPECT_EQ(notices_.subscriptionCount(), 0U);
}

}  // namespace
}  // namespace vorn::emulator::emutest
