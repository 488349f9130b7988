#include "support/TestDevice.h"

#include "vorn/core/StoreKeys.h"
#include "vorn/core/VornPosition.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/service/Vorn.h"

#include <gtest/gtest.h>

using namespace vorn;

namespace {

/// A position source driven by the test.
class FakePositionSource : public PositionSource {
public:
    std::optional<VornCoordinate> current;
    bool enabled = true;
    int starts = 0;
    int stops = 0;
    UpdateHandler onUpdate;
    FailureHandler onFailure;

    bool locationServicesEnabled() const override { return enabled; }
    std::optional<VornCoordinate> currentLocation() const override { return current; }
    void setHandlers(UpdateHandler update, FailureHandler failure) override {
        onUpdate = std::move(update);
        onFailure = std::move(failure);
    }
    void startUpdatingLocation() override { ++starts; }
    void stopUpdatingLocation() override { ++stops; }
};

}  // namespace

TEST(Position, SwitchOffAtFirstUseKeepsZeroForGood) {
    test::TestDevice device;
    auto source = std::make_shared<FakePositionSource>();
    source->current = VornCoordinate{1, 2};
    DeviceContext::shared().setPositionSource(source);
    // Not registered: the switch is off.
    auto& position = VornPosition::sharePosition();
    EXPECT_FALSE(position.gpsIsOpen());
    EXPECT_EQ(position.locationManager(), nullptr);
    VornGPSSwitch::gpsSwitch(true);
    EXPECT_TRUE(position.gpsIsOpen());
    const auto ex = v_VornUtils::exRequestDictionary();
    EXPECT_EQ(ex["latitude"], 0.0);
    EXPECT_EQ(ex["longitude"], 0.0);
    EXPECT_EQ(source->starts, 0);
}

TEST(Position, UpdatesReachTheNextEnvelope) {
    test::TestDevice device;
    auto source = std::make_shared<FakePositionSource>();
    source->current = VornCoordinate{10, 20};
    DeviceContext::shared().setPositionSource(source);
    Vorn::registerWithAppKey("key");
    auto& position = VornPosition::sharePosition();
    EXPECT_EQ(position.currentLocation(), (VornCoordinate{10, 20}));
    EXPECT_EQ(source->starts, 1);  // started at creation
    ASSERT_TRUE(source->onUpdate);
    source->onUpdate(VornCoordinate{31.2, 121.5});
    const auto ex = v_VornUtils::exRequestDictionary();
    EXPECT_EQ(ex["latitude"], 31.2);
    EXPECT_EQ(ex["longitude"], 121.5);
    EXPECT_EQ(source->starts, 2);  // every envelope starts the source
    position.stopUpateLoaction();
    EXPECT_EQ(source->stops, 1);
    // With the switch turned off, start and stop leave the source alone.
    VornGPSSwitch::gpsSwitch(false);
    position.startUpdateLocation();
    position.stopUpateLoaction();
    EXPECT_EQ(source->starts, 2);
    EXPECT_EQ(source->stops, 1);
    // A failure stops the source and keeps the last position.
    VornGPSSwitch::gpsSwitch(true);
    source->onFailure();
    EXPECT_EQ(source->stops, 2);
    EXPECT_EQ(position.currentLocation(), (VornCoordinate{31.2, 121.5}));
}

TEST(Position, DisabledLocationServicesLeaveZero) {
    test::TestDevice device;
    auto source = std::make_shared<FakePositionSource>();
    source->enabled = false;
    source->current = VornCoordinate{5, 5};
    DeviceContext::shared().setPositionSource(source);
    Vorn::registerWithAppKey("key");
    EXPECT_EQ(VornPosition::sharePosition().currentLocation(), (VornCoordinate{0, 0}));
    EXPECT_EQ(source->starts, 0);
}
