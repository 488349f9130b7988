#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

/// Where the device identifier comes from.
class DeviceIdSource {
public:
    virtual ~DeviceIdSource() = default;
    /// The identifier (40 lower-case hexadecimal characters), or empty when
    /// it cannot be obtained.
    virtual std::optional<std::string> deviceIdentifier() = 0;
};

/// Reachability flags of a target, as the platform publishes them.
enum ReachabilityFlags : std::uint32_t {
    kReachabilityFlagsTransientConnection = 0x1,
    kReachabilityFlagsReachable = 0x2,
    kReachabilityFlagsConnectionRequired = 0x4,
    kReachabilityFlagsConnectionOnTraffic = 0x8,
    kReachabilityFlagsInterventionRequired = 0x10,
    kReachabilityFlagsConnectionOnDemand = 0x20,
    kReachabilityFlagsIsLocalAddress = 0x10000,
    kReachabilityFlagsIsDirect = 0x20000,
    kReachabilityFlagsIsWWAN = 0x40000,
};

/// Answers the reachability flags of a target, synchronously. An empty
/// result means the flags could not be read.
class ReachabilitySource {
public:
    virtual ~ReachabilitySource() = default;
    /// The flags of a host name.
    virtual std::optional<std::uint32_t> flagsForHostName(const std::string& hostName) = 0;
    /// The flags of an IPv4 address.
    virtual std::optional<std::uint32_t> flagsForAddress(const sockaddr_in& address) = 0;
    /// Calls `onChange` on the main loop whenever the network configuration
    /// may have changed, for as long as the returned handle is kept; an
    /// empty handle when changes cannot be watched.
    // NOLINTNEXTLINE(performance-unnecessary-value-param): the sources that watch keep the handler
    virtual std::shared_ptr<void> watchChanges(std::function<void()> onChange) {
        (void)onChange;
        return nullptr;
    }
};

/// A latitude and longitude in degrees.
struct VornCoordinate {
    /// The latitude, in degrees.
    double latitude = 0;
    /// The longitude, in degrees.
    double longitude = 0;
    /// Coordinates are equal when both values are equal.
    bool operator==(const VornCoordinate&) const = default;
};

/// A source of device positions (a GNSS daemon, a fixed configured
/// position, a test double).
class PositionSource {
public:
    /// Receives a new position.
    using UpdateHandler = std::function<void(const VornCoordinate& position)>;
    /// Told that positions cannot be had.
    using FailureHandler = std::function<void()>;

    virtual ~PositionSource() = default;
    /// Whether positions can be had at all (location services on).
    virtual bool locationServicesEnabled() const { return true; }
    /// The last position the source knows, if any.
    virtual std::optional<VornCoordinate> currentLocation() const = 0;
    /// Sets the handlers that receive new positions and failures.
    virtual void setHandlers(UpdateHandler onUpdate, FailureHandler onFailure) = 0;
    /// Asks for updates only after the device moved this far; ignored by default.
    virtual void setDistanceFilter(double metres) { (void)metres; }
    /// Asks for the best accuracy; ignored by default.
    virtual void setDesiredAccuracyBest() {}
    /// Starts delivering positions to the update handler.
    virtual void startUpdatingLocation() = 0;
    /// Stops delivering positions.
    virtual void stopUpdatingLocation() = 0;
};

/// Shows a modal alert: the platform's user interface, or whatever stands
/// in for it (the default writes one line to standard error).
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    /// Shows the alert with its title, message and button titles.
    virtual void showAlert(const std::string& title, const std::string& message, const std::string& cancelButtonTitle,
                           const std::vector<std::string>& otherButtonTitles) = 0;
};

}  // namespace vorn
