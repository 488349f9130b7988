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

    static std::shared_ptr<vReachability> reachabilityWithHostName(const std::string& hostName);
    static std::shared_ptr<vReachability> reachabilityWithAddress(const sockaddr_in& hostAddress);
    static std::shared_ptr<vReachability> reachabilityForInternetConnection();
    static std::shared_ptr<vReachability> reachabilityForLocalWiFi();
    static std::shared_ptr<vReachability> initWithReachabilityRef(Target reachabilityRef);

    VornNetworkStatus currentReachabilityStatus() const;
    bool isReachable() const;
    bool isReachableViaWWAN() const;
    bool isReachableViaWiFi() const;
    bool isConnectionRequired() const;
    bool connectionRequired() const { return isConnectionRequired(); }
    bool isConnectionOnDemand() const;
    bool isInterventionRequired() const;
    /// The raw flags, or 0 when they cannot be read.
    std::uint32_t reachabilityFlags() const;

    /// Watches the target: each change of its flags posts
    /// `kReachabilityChangedNotification` (sender: this object) to the
    /// default notification centre, on the main loop. False when changes
    /// cannot be watched.
    bool startNotifier();
    void stopNotifier();

    bool isEqual(const vReachability& other) const;
    std::string key() const;
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
