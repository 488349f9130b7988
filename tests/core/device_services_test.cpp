#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/core/FixedPositionSource.h"
#include "vorn/core/LinuxReachabilitySource.h"
#include "vorn/core/Vorn.h"
#include "vorn/core/VornNotificationCenter.h"
#include "vorn/core/VornPosition.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/core/vReachability.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace vorn;

namespace {

/// Reachability whose flags and changes the test controls.
class SwitchableReachability : public ReachabilitySource {
public:
    std::uint32_t flags = kReachabilityFlagsReachable;
    std::function<void()> onChange;

    std::optional<std::uint32_t> flagsForHostName(const std::string&) override { return flags; }
    std::optional<std::uint32_t> flagsForAddress(const sockaddr_in&) override { return flags; }
    std::shared_ptr<void> watchChanges(std::function<void()> handler) override {
        onChange = std::move(handler);
        return std::make_shared<int>(0);
    }
    void change(std::uint32_t newFlags) {
        flags = newFlags;
        MainLoop::shared().post([this] { onChange(); });
    }
};

}  // namespace

TEST(ReachabilityNotifier, PostsOnlyWhenTheFlagsChange) {
    test::TestDevice device;
    auto source = std::make_shared<SwitchableReachability>();
    DeviceContext::shared().setReachabilitySource(source);
    auto target = vReachability::reachabilityWithHostName("api.example");
    std::vector<std::shared_ptr<void>> senders;
    const auto token = VornNotificationCenter::defaultCenter().addObserverForName(
        kReachabilityChangedNotification, [&](const VornNotification& notification) {
            EXPECT_TRUE(MainLoop::shared().isCurrentThread());
            senders.push_back(notification.object);
        });
    ASSERT_TRUE(target->startNotifier());
    source->change(kReachabilityFlagsReachable);  // same flags: nothing
    source->change(0);
    ASSERT_TRUE(test::runUntil([&] { return senders.size() == 1; }));
    EXPECT_EQ(senders[0], target);
    EXPECT_FALSE(target->isReachable());
    target->stopNotifier();
    source->change(kReachabilityFlagsReachable);
    test::drainLoop();
    EXPECT_EQ(senders.size(), 1u);
    VornNotificationCenter::defaultCenter().removeObserver(token);
}

TEST(ReachabilityNotifier, KernelAddressChangesWakeTheWatch) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs CAP_NET_ADMIN to change an address";
    LinuxReachabilitySource source;
    int changes = 0;
    auto watch = source.watchChanges([&] { ++changes; });
    ASSERT_NE(watch, nullptr);
    if (std::system("ip addr add 127.0.0.77/32 dev lo 2>/dev/null") != 0) GTEST_SKIP() << "ip cannot add addresses";
    const bool woke = test::runUntil([&] { return changes > 0; }, std::chrono::seconds(5));
    std::system("ip addr del 127.0.0.77/32 dev lo 2>/dev/null");
    EXPECT_TRUE(woke);
    watch.reset();
    test::drainLoop();
}

TEST(FixedPosition, ParsesConfiguredPositions) {
    EXPECT_EQ(FixedPositionSource::parse("31.2,121.5"), (VornCoordinate{31.2, 121.5}));
    EXPECT_EQ(FixedPositionSource::parse("-33.9,18.4"), (VornCoordinate{-33.9, 18.4}));
    for (const char* bad : {"", "31.2", "31.2;121.5", "x,1", "1,y", "91,0", "0,181", "1,2,3", "nan,0"}) {
        EXPECT_FALSE(FixedPositionSource::parse(bad)) << bad;
    }
}

TEST(FixedPosition, FeedsTheEnvelopeAndRecordsSettings) {
    test::TestDevice device;
    ::setenv("VORN_POSITION", "31.2,121.5", 1);
    auto source = FixedPositionSource::fromEnvironment();
    ::unsetenv("VORN_POSITION");
    ASSERT_NE(source, nullptr);
    DeviceContext::shared().setPositionSource(source);
    Vorn::registerWithAppKey("key");
    auto& position = VornPosition::sharePosition();
    EXPECT_EQ(source->distanceFilter(), 100);
    EXPECT_TRUE(source->desiredAccuracyIsBest());
    EXPECT_TRUE(source->isUpdating());
    const auto ex = v_VornUtils::exRequestDictionary();
    EXPECT_EQ(ex["latitude"], 31.2);
    EXPECT_EQ(ex["longitude"], 121.5);
    position.stopUpateLoaction();
    EXPECT_FALSE(source->isUpdating());
    source->setPosition(VornCoordinate{1, 1});  // not updating: not delivered
    EXPECT_EQ(position.currentLocation(), (VornCoordinate{31.2, 121.5}));
    position.startUpdateLocation();
    source->setPosition(VornCoordinate{2, 3});
    EXPECT_EQ(position.currentLocation(), (VornCoordinate{2, 3}));
}

TEST(FixedPosition, ReadersNeverSeeHalfAnUpdate) {
    test::TestDevice device;
    auto source = std::make_shared<FixedPositionSource>(VornCoordinate{0, 0});
    DeviceContext::shared().setPositionSource(source);
    Vorn::registerWithAppKey("key");
    auto& position = VornPosition::sharePosition();
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 1; i <= 20000; ++i) source->setPosition(VornCoordinate{double(i) / 1000, double(i) / 1000});
        done = true;
    });
    int torn = 0;
    while (!done) {
        const auto seen = position.currentLocation();
        if (seen.latitude != seen.longitude) ++torn;
    }
    writer.join();
    EXPECT_EQ(torn, 0);
}
