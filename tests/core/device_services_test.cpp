#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/core/FixedPositionSource.h"
#include "vorn/core/LinuxReachabilitySource.h"
#include "vorn/core/VornNotificationCenter.h"
#include "vorn/core/VornPosition.h"
#include "vorn/core/vReachability.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/service/Vorn.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>

using namespace vorn;

namespace {

/// Reachability whose flags and changes the test controls.
class SwitchableReachability : public ReachabilitySource {
public:
    std::atomic<std::uint32_t> flags{kReachabilityFlagsReachable};
    std::function<void()> onChange;
    // While set, host lookups wait for `release` (a name server that hangs).
    std::mutex mutex;
    std::condition_variable released;
    bool hold = false;

    std::optional<std::uint32_t> flagsForHostName(const std::string&) override {
        std::unique_lock lock(mutex);
        released.wait_for(lock, std::chrono::seconds(10), [this] { return !hold; });
        return flags.load();
    }
    std::optional<std::uint32_t> flagsForAddress(const sockaddr_in&) override { return flags.load(); }
    void setHold(bool value) {
        {
            std::lock_guard lock(mutex);
            hold = value;
        }
        released.notify_all();
    }
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

TEST(ReachabilityNotifier, AHangingNameLookupNeverHoldsUpTheMainLoop) {
    test::TestDevice device;
    auto source = std::make_shared<SwitchableReachability>();
    DeviceContext::shared().setReachabilitySource(source);
    auto target = vReachability::reachabilityWithHostName("api.example");
    int notifications = 0;
    const auto token = VornNotificationCenter::defaultCenter().addObserverForName(
        kReachabilityChangedNotification, [&](const VornNotification&) { ++notifications; });
    ASSERT_TRUE(target->startNotifier());
    source->setHold(true);
    source->change(0);
    source->change(0);
    bool loopRan = false;
    MainLoop::shared().post([&] { loopRan = true; });
    EXPECT_TRUE(test::runUntil([&] { return loopRan; }));
    EXPECT_EQ(notifications, 0);
    source->setHold(false);
    ASSERT_TRUE(test::runUntil([&] { return notifications == 1; }));
    target->stopNotifier();
    VornNotificationCenter::defaultCenter().removeObserver(token);
}

TEST(ReachabilityNotifier, TheNetlinkSocketClosesWithoutTheMainLoop) {
    auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    LinuxReachabilitySource source;
    source.watchChanges([] {});  // the loop's own descriptors (epoll, eventfd) are made once
    const auto before = openDescriptors();
    for (int i = 0; i < 20; ++i) {
        auto watch = source.watchChanges([] {});
        ASSERT_NE(watch, nullptr);
    }
    // The loop never ran: every socket is closed all the same.
    EXPECT_EQ(openDescriptors(), before);
    test::drainLoop();
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

TEST(FixedPosition, MovesWithinTheDistanceFilterAreNotDelivered) {
    auto source = std::make_shared<FixedPositionSource>(VornCoordinate{10, 20});
    std::vector<VornCoordinate> delivered;
    source->setHandlers([&](const VornCoordinate& at) { delivered.push_back(at); }, nullptr);
    source->setDistanceFilter(100);
    source->startUpdatingLocation();                   // the first fix is always delivered
    source->setPosition(VornCoordinate{10.0004, 20});  // about 44 m
    source->setPosition(VornCoordinate{10.0008, 20});  // about 89 m from the last delivered
    source->setPosition(VornCoordinate{10.0010, 20});  // about 111 m
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[1].latitude, 10.0010);
    EXPECT_NEAR(FixedPositionSource::metresBetween({0, 0}, {1, 0}), 111195, 10);
    source->setDistanceFilter(-1);  // no filter
    source->setPosition(VornCoordinate{10.0011, 20});
    EXPECT_EQ(delivered.size(), 3u);
}
