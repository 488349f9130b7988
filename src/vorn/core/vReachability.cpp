#include "vorn/core/vReachability.h"

#include "vorn/core/DeviceContext.h"
#include "vorn/core/MainLoop.h"
#include "vorn/core/VornNotificationCenter.h"

#include <arpa/inet.h>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>

#include <atomic>
#include <cstdio>
#include <utility>

namespace vorn {
namespace {
constexpr const char* kInternetKey = "InternetConnection";
constexpr const char* kLocalWiFiKey = "LocalWiFiConnection";

/// One thread that reads flags for the notifiers, so that a slow name
/// resolution never holds up the main loop. Never destroyed.
boost::asio::thread_pool& checkerPool() {
    static auto* pool = new boost::asio::thread_pool(1);
    return *pool;
}

sockaddr_in ipv4(std::uint32_t hostOrderAddress) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(hostOrderAddress);
    return address;
}
}  // namespace

void vReachability::checkFlagsInBackground(const std::weak_ptr<vReachability>& weak,
                                           const std::shared_ptr<std::atomic<bool>>& active) {
    for (;;) {
        auto self = weak.lock();
        if (!self) return;
        const auto flags = self->readFlags();  // may block on name resolution: no lock held, not on the loop
        bool changed = false;
        bool again = false;
        {
            std::lock_guard lock(self->notifierMutex_);
            changed = flags != self->lastFlags_;
            if (changed) self->lastFlags_ = flags;
            again = std::exchange(self->checkAgain_, false);
            if (!again) self->checking_ = false;
        }
        if (changed) {
            MainLoop::shared().post([weak, active] {
                auto target = weak.lock();
                if (!target || !*active) return;
                VornNotificationCenter::defaultCenter().postNotification(
                    VornNotification{kReachabilityChangedNotification, target});
            });
        }
        if (!again) return;
    }
}

vReachability::vReachability(Passkey, Target target) : reachabilityRef_(std::move(target)) {}

vReachability::~vReachability() {
    stopNotifier();
}

bool vReachability::startNotifier() {
    auto source = DeviceContext::shared().reachabilitySource();
    if (!source) return false;
    std::weak_ptr<vReachability> weak = weak_from_this();
    // Cleared by stopNotifier, so a source that calls late changes nothing.
    auto active = std::make_shared<std::atomic<bool>>(true);
    {
        std::lock_guard lock(notifierMutex_);
        lastFlags_ = readFlags();
    }
    auto watch = source->watchChanges([weak, active] {
        auto self = weak.lock();
        if (!self || !*active) return;
        {
            std::lock_guard lock(self->notifierMutex_);
            if (self->checking_) {
                self->checkAgain_ = true;
                return;
            }
            self->checking_ = true;
        }
        boost::asio::post(checkerPool(), [weak, active] { checkFlagsInBackground(weak, active); });
    });
    if (!watch) return false;
    std::lock_guard lock(notifierMutex_);
    if (notifierActive_) *notifierActive_ = false;
    watch_ = std::move(watch);
    notifierActive_ = std::move(active);
    return true;
}

void vReachability::stopNotifier() {
    std::shared_ptr<void> watch;
    std::lock_guard lock(notifierMutex_);
    if (notifierActive_) *notifierActive_ = false;
    notifierActive_.reset();
    watch.swap(watch_);
}

std::shared_ptr<vReachability> vReachability::initWithReachabilityRef(Target reachabilityRef) {
    return std::make_shared<vReachability>(Passkey{}, std::move(reachabilityRef));
}

std::shared_ptr<vReachability> vReachability::reachabilityWithHostName(const std::string& hostName) {
    if (hostName.empty()) return nullptr;
    auto reachability = initWithReachabilityRef(hostName);
    reachability->setKey(hostName);
    return reachability;
}

std::shared_ptr<vReachability> vReachability::reachabilityWithAddress(const sockaddr_in& hostAddress) {
    auto reachability = initWithReachabilityRef(hostAddress);
    reachability->setKey(makeAddressKey(hostAddress.sin_addr));
    return reachability;
}

std::shared_ptr<vReachability> vReachability::reachabilityForInternetConnection() {
    auto reachability = reachabilityWithAddress(ipv4(0));
    reachability->setKey(kInternetKey);
    return reachability;
}

std::shared_ptr<vReachability> vReachability::reachabilityForLocalWiFi() {
    auto reachability = reachabilityWithAddress(ipv4(0xA9FE0000));  // 169.254.0.0
    reachability->setKey(kLocalWiFiKey);
    return reachability;
}

std::string vReachability::makeAddressKey(const in_addr& address) {
    const std::uint32_t value = ntohl(address.s_addr);
    char text[16];
    std::snprintf(text, sizeof(text), "%d.%d.%d.%d", static_cast<int>((value >> 24) & 0xFF),
                  static_cast<int>((value >> 16) & 0xFF), static_cast<int>((value >> 8) & 0xFF),
                  static_cast<int>(value & 0xFF));
    return text;
}

VornNetworkStatus vReachability::networkStatusForFlags(std::uint32_t flags, bool isLocalWiFiTarget) {
    if ((flags & kReachabilityFlagsReachable) == 0) return kNotReachable;
    if (isLocalWiFiTarget) return (flags & kReachabilityFlagsIsDirect) != 0 ? kReachableViaWiFi : kNotReachable;
    if ((flags & kReachabilityFlagsIsWWAN) != 0) return kReachableViaWWAN;
    const std::uint32_t rest = flags & ~std::uint32_t{kReachabilityFlagsReachable | kReachabilityFlagsIsLocalAddress |
                                                      kReachabilityFlagsIsDirect};
    if (rest == (kReachabilityFlagsTransientConnection | kReachabilityFlagsConnectionRequired)) return kNotReachable;
    if ((flags & kReachabilityFlagsTransientConnection) != 0) return kReachableViaWiFi;
    if (rest == 0) return kReachableViaWiFi;
    return (flags & kReachabilityFlagsConnectionRequired) != 0 ? kReachableViaWiFi : kNotReachable;
}

std::optional<std::uint32_t> vReachability::readFlags() const {
    auto source = DeviceContext::shared().reachabilitySource();
    if (!source) return std::nullopt;
    if (const auto* host = std::get_if<std::string>(&reachabilityRef_)) return source->flagsForHostName(*host);
    return source->flagsForAddress(std::get<sockaddr_in>(reachabilityRef_));
}

std::uint32_t vReachability::reachabilityFlags() const {
    return readFlags().value_or(0);
}

VornNetworkStatus vReachability::currentReachabilityStatus() const {
    auto flags = readFlags();
    if (!flags) return kNotReachable;
    return networkStatusForFlags(*flags, key() == kLocalWiFiKey);
}

bool vReachability::isReachable() const {
    return currentReachabilityStatus() != kNotReachable;
}
bool vReachability::isReachableViaWWAN() const {
    return currentReachabilityStatus() == kReachableViaWWAN;
}
bool vReachability::isReachableViaWiFi() const {
    return currentReachabilityStatus() == kReachableViaWiFi;
}

bool vReachability::isConnectionRequired() const {
    return (reachabilityFlags() & kReachabilityFlagsConnectionRequired) != 0;
}

bool vReachability::isConnectionOnDemand() const {
    const auto flags = reachabilityFlags();
    return (flags & kReachabilityFlagsConnectionRequired) != 0 &&
           (flags & (kReachabilityFlagsConnectionOnTraffic | kReachabilityFlagsConnectionOnDemand)) != 0;
}

bool vReachability::isInterventionRequired() const {
    const auto flags = reachabilityFlags();
    return (flags & kReachabilityFlagsConnectionRequired) != 0 && (flags & kReachabilityFlagsInterventionRequired) != 0;
}

bool vReachability::isEqual(const vReachability& other) const {
    return key() == other.key();
}

std::string vReachability::key() const {
    std::lock_guard lock(keyMutex_);
    return key_;
}

void vReachability::setKey(std::string key) {
    std::lock_guard lock(keyMutex_);
    key_ = std::move(key);
}

}  // namespace vorn
