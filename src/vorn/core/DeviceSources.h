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
    virtual std::optional<std::uint32_t> flagsForHostName(const std::string& hostName) = 0;
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
    double latitude = 0;
    double longitude = 0;
    bool operator==(const VornCoordinate&) const = default;
};

/// A source of device positions (a GNSS daemon, a fixed configured
/// position, a test double).
class PositionSource {
public:
    using UpdateHandler = std::function<void(const VornCoordinate& position)>;
    using FailureHandler = std::function<void()>;

    virtual ~PositionSource() = default;
    /// Whether positions can be had at all (location services on).
    virtual bool locationServicesEnabled() const { return true; }
    /// The last position the source knows, if any.
    virtual std::optional<VornCoordinate> currentLocation() const = 0;
    /// Sets the handlers that receive new positions and failures.
    virtual void setHandlers(UpdateHandler onUpdate, FailureHandler onFailure) = 0;
    virtual void setDistanceFilter(double metres) { (void)metres; }
    virtual void setDesiredAccuracyBest() {}
    virtual void startUpdatingLocation() = 0;
    virtual void stopUpdatingLocation() = 0;
};

/// Shows a modal alert: the platform's user interface, or whatever stands
/// in for it (the default writes one line to standard error).
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    virtual void showAlert(const std::string& title, const std::string& message, const std::string& cancelButtonTitle,
                           const std::vector<std::string>& otherButtonTitles) = 0;
};

}  // namespace vorn
