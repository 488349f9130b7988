#pragma once

#include "vorn/core/DeviceSources.h"

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

namespace vorn {

/// Network status of a target.
enum VornNetworkStatus : int {
    kNotReachable = 0,
    kReachableViaWWAN = 1,
    kReachableViaWiFi = 2,
};

/// The notification posted when the flags of a watched target change.
inline constexpr const char* kReachabilityChangedNotification = "NetworkReachabilityChangedNotification";

/// Whether a network target can be reached now, and by which kind of link.
/// Each query reads the flags synchronously on the calling thread.
class vReachability : public std::enable_shared_from_this<vReachability> {
public:
    /// The target of a reachability object: a host name or an address.
    using Target = std::variant<std::string, sockaddr_in>;

    /// Watches a host name; empty for an empty name.
    static std::shared_ptr<vReachability> reachabilityWithHostName(const std::string& hostName);
    /// Watches an IPv4 address.
    static std::shared_ptr<vReachability> reachabilityWithAddress(const sockaddr_in& hostAddress);
    /// Watches the default route (address 0.0.0.0).
    static std::shared_ptr<vReachability> reachabilityForInternetConnection();
    /// Watches the link-local network (169.254.0.0), reachable only directly.
    static std::shared_ptr<vReachability> reachabilityForLocalWiFi();
    /// Watches the target, with no key.
    static std::shared_ptr<vReachability> initWithReachabilityRef(Target reachabilityRef);

    /// The status that the current flags mean; not reachable when they cannot be read.
    VornNetworkStatus currentReachabilityStatus() const;
    /// Whether the status is other than not reachable.
    bool isReachable() const;
    /// Whether the status is reachable via WWAN.
    bool isReachableViaWWAN() const;
    /// Whether the status is reachable via Wi-Fi.
    bool isReachableViaWiFi() const;
    /// Whether the flags say a connection must be made first.
    bool isConnectionRequired() const;
    /// The same as `isConnectionRequired()`.
    bool connectionRequired() const { return isConnectionRequired(); }
    /// Whether a connection is required and would be made on traffic or on demand.
    bool isConnectionOnDemand() const;
    /// Whether a connection is required and needs the user's intervention.
    bool isInterventionRequired() const;
    /// The raw flags, or 0 when they cannot be read.
    std::uint32_t reachabilityFlags() const;

    /// Watches the target: each change of its flags posts
    /// `kReachabilityChangedNotification` (sender: this object) to the
    /// default notification centre, on the main loop. False when changes
    /// cannot be watched.
    bool startNotifier();
    /// Stops watching; nothing more is posted.
    void stopNotifier();

    /// Whether the two have the same key.
    bool isEqual(const vReachability& other) const;
    /// The key naming the target (host name, address text, or a fixed key for the default route and link-local
    /// network).
    std::string key() const;
    /// Sets the key.
    void setKey(std::string key);

    /// "%d.%d.%d.%d" of the address, most significant byte first.
    static std::string makeAddressKey(const in_addr& address);
    /// The status rule: which status a set of flags means for a target.
    static VornNetworkStatus networkStatusForFlags(std::uint32_t flags, bool isLocalWiFiTarget);

private:
    struct Passkey {
        explicit Passkey() = default;
    };

public:
    /// Made only by the factories: a reachability is always owned by a `std::shared_ptr`.
    vReachability(Passkey, Target target);
    ~vReachability();

private:
    std::optional<std::uint32_t> readFlags() const;
    /// Reads the flags off the main loop (a host target may need name
    /// resolution) and posts the notification to the main loop when they
    /// changed; changes reported meanwhile cause one more reading.
    static void checkFlagsInBackground(const std::weak_ptr<vReachability>& weak,
                                       const std::shared_ptr<std::atomic<bool>>& active);

    Target reachabilityRef_;
    mutable std::mutex keyMutex_;
    std::string key_;
    std::mutex notifierMutex_;
    std::shared_ptr<void> watch_;
    std::shared_ptr<std::atomic<bool>> notifierActive_;
    std::optional<std::uint32_t> lastFlags_;
    bool checking_ = false;
    bool checkAgain_ = false;
};

}  // namespace vorn
