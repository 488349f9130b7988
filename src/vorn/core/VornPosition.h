#pragma once

#include "vorn/core/DeviceSources.h"

#include <memory>
#include <mutex>

namespace vorn {

/// The device's last known position, sent with every request while the
/// position switch allows it. One shared instance per process; whether it
/// gets a position source is decided once, when it is created.
class VornPosition {
public:
    static VornPosition& sharePosition();

    /// The stored position switch; false before registration.
    bool gpsIsOpen() const;
    /// Starts position updates when the switch is on and there is a source.
    void startUpdateLocation();
    /// Stops position updates when the switch is on and there is a source.
    void stopUpateLoaction();

    /// The (latitude, longitude) pair, read together.
    VornCoordinate currentLocation() const;
    double myLatitude() const;
    void setMyLatitude(double latitude);
    double myLongitude() const;
    void setMyLongitude(double longitude);
    std::shared_ptr<PositionSource> locationManager() const;
    void setLocationManager(std::shared_ptr<PositionSource> locationManager);

    /// Listener events of the source.
    void didUpdateToLocation(const VornCoordinate& newLocation, const VornCoordinate& oldLocation);
    void didFailWithError();

    /// Drops the shared instance so that the next `sharePosition` creates a
    /// new one; for tests that need a first use again.
    static void resetSharedPositionForTesting();

private:
    VornPosition();
    void init();

    mutable std::mutex mutex_;
    VornCoordinate position_;
    std::shared_ptr<PositionSource> locationManager_;
};

/// The application's switch for the use of the device position.
class VornGPSSwitch {
public:
    /// Stores the switch under "vorn_open_GPSOpen".
    static void gpsSwitch(bool open);
};

}  // namespace vorn
