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
    /// The one instance of the process, created on first use.
    static VornPosition& sharePosition();

    /// The stored position switch; false before registration.
    bool gpsIsOpen() const;
    /// Starts position updates when the switch is on and there is a source.
    void startUpdateLocation();
    /// Stops position updates when the switch is on and there is a source.
    void stopUpateLoaction();

    /// The (latitude, longitude) pair, read together.
    VornCoordinate currentLocation() const;
    /// The last known latitude.
    double myLatitude() const;
    /// Sets the latitude.
    void setMyLatitude(double latitude);
    /// The last known longitude.
    double myLongitude() const;
    /// Sets the longitude.
    void setMyLongitude(double longitude);
    /// The position source in use; empty when there is none.
    std::shared_ptr<PositionSource> locationManager() const;
    /// Replaces the position source.
    void setLocationManager(std::shared_ptr<PositionSource> locationManager);

    /// Listener events of the source.
    void didUpdateToLocation(const VornCoordinate& newLocation, const VornCoordinate& oldLocation);
    /// The source failed: its updates are stopped.
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
