// Which committed changes the realtime subscriptions want: a writer asks
// before it reads the object again for a notice.

#include <gtest/gtest.h>

#include <string>
#include <utility>
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

    // Which changes of an object a subscription wants: "c" create, "u"
    // update, "d" delete.
    std::string wanted(const std::string& className, const std::string& objectId) const {
        std::string kinds;
        for (const auto& [kind, letter] :
             {std::pair{ChangeNotice::Kind::Create, 'c'}, std::pair{ChangeNotice::Kind::Update, 'u'},
              std::pair{ChangeNotice::Kind::Delete, 'd'}}) {
            if (notices_.wants(ChangeNotice{kind, className, objectId, std::nullopt})) kinds += letter;
        }
        return kinds;
    }

    std::vector<std::string> refusals_;
    ChangeNotices notices_{"key",
                           [this](const std::string&, const std::string&, const std::string& name, const json& args) {
        if (name == "error") refusals_.push_back(args.dump());
                           }};
};

TEST_F(EmulatorChangeNoticesTest, AChangeIsWantedOnlyWhileASubscriptionCanMatchIt) {
    EXPECT_EQ(wanted("Item", "a"), "");

    subscribe("s1", "updateRow", "Item", "a");
    EXPECT_EQ(wanted("Item", "a"), "u");  // a create reaches table subscriptions only
    EXPECT_EQ(wanted("Item", "b"), "");
    EXPECT_EQ(wanted("Other", "a"), "");

    subscribe("s2", "updateTable", "Item");
    EXPECT_EQ(wanted("Item", "z"), "cu");
    subscribe("s2", "deleteRow", "Gone", "x");
    EXPECT_EQ(wanted("Gone", "x"), "d");
    EXPECT_EQ(wanted("Gone", "y"), "");
    subscribe("s1", "deleteTable", "Gone");
    EXPECT_EQ(wanted("Gone", "y"), "d");

    // Cancelled, ended and left subscriptions want nothing more.
    subscribe("s1", "unsub_updateRow", "Item", "a", /*cancel=*/true);
    EXPECT_EQ(wanted("Item", "a"), "cu");  // s2's table subscription
    notices_.sessionEnded("s2");
    EXPECT_EQ(wanted("Item", "a"), "");
    EXPECT_EQ(wanted("Gone", "x"), "d");  // s1's table subscription
    subscribe("s1", "unsub_deleteTable", "Gone", "", /*cancel=*/true);
    EXPECT_EQ(wanted("Gone", "x"), "");
    subscribe("s1", "deleteTable", "Gone");
    notices_.sessionLeft("s1", "");
    EXPECT_EQ(wanted("Gone", "y"), "");
    EXPECT_EQ(notices_.subscriptionCount(), 0U);
}

}  // namespace
}  // namespace vorn::emulator::emutest
