#include "vorn/core/LinuxReachabilitySource.h"

#include "vorn/core/MainLoop.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netdb.h>
#include <unistd.h>
#include <boost/asio/posix/stream_descriptor.hpp>

#include <array>
#include <charconv>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace vorn {
namespace {

bool isLoopback(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(address);
        return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        return IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr) != 0;
    }
    return false;
}

bool sameAddress(const sockaddr* a, const sockaddr* b) {
    if (a->sa_family != b->sa_family) return false;
    if (a->sa_family == AF_INET) {
        return reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in*>(b)->sin_addr.s_addr;
    }
    if (a->sa_family == AF_INET6) {
        return std::memcmp(&reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr,
                           &reinterpret_cast<const sockaddr_in6*>(b)->sin6_addr, sizeof(in6_addr)) == 0;
    }
    return false;
}

/// A netlink socket subscribed to link, address and route changes, read
/// on the main loop for as long as it lives. Destroying it (on any thread)
/// closes the socket at once, also when the main loop never runs again, and
/// no change is reported afterwards; the state the loop reads is guarded by
/// one mutex, so there is no race with a report being delivered.
class NetlinkWatch {
public:
    NetlinkWatch(int fd, std::function<void()> onChange) : state_(std::make_shared<State>(fd, std::move(onChange))) {}

    ~NetlinkWatch() {
        std::lock_guard lock(state_->mutex);
        state_->active = false;
        boost::system::error_code ignored;
        state_->descriptor.close(ignored);  // the pending read ends as aborted
    }

    NetlinkWatch(const NetlinkWatch&) = delete;
    NetlinkWatch& operator=(const NetlinkWatch&) = delete;

    void start() {
        std::lock_guard lock(state_->mutex);
        read(state_);
    }

private:
    struct State {
        State(int fd, std::function<void()> change)
            : descriptor(MainLoop::shared().context(), fd), onChange(std::move(change)) {}
        std::mutex mutex;
        boost::asio::posix::stream_descriptor descriptor;
        const std::function<void()> onChange;  // never changed, so calling it needs no lock
        bool active = true;
        std::array<char, 8192> buffer{};
    };

    /// Starts the next read; called with the state's mutex held.
    static void read(const std::shared_ptr<State>& state) {
        state->descriptor.async_read_some(boost::asio::buffer(state->buffer),
                                          [state](const boost::system::error_code& error, std::size_t) {
            {
                std::lock_guard lock(state->mutex);
                if (error || !state->active) return;
            }
            if (state->onChange) state->onChange();
            std::lock_guard lock(state->mutex);
            if (state->active) read(state);
        });
    }

    std::shared_ptr<State> state_;
};

}  // namespace

std::shared_ptr<void> LinuxReachabilitySource::watchChanges(std::function<void()> onChange) {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) return nullptr;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return nullptr;
    }
    auto watch = std::make_shared<NetlinkWatch>(fd, std::move(onChange));
    watch->start();
    return watch;
}

std::string LinuxReachabilitySource::hostPart(const std::string& hostAndPort) {
    if (!hostAndPort.empty() && hostAndPort.front() == '[') {
        const auto close = hostAndPort.find(']');
        return close == std::string::npos ? hostAndPort.substr(1) : hostAndPort.substr(1, close - 1);
    }
    const auto colon = hostAndPort.find(':');
    // More than one colon: a bare IPv6 literal without a port.
    if (colon != std::string::npos && hostAndPort.find(':', colon + 1) == std::string::npos) {
        return hostAndPort.substr(0, colon);
    }
    return hostAndPort;
}

bool LinuxReachabilitySource::isLoopbackHost(const std::string& hostAndPort) {
    const auto host = hostPart(hostAndPort);
    if (host == "localhost" || host.ends_with(".localhost")) return true;
    in_addr v4{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (::inet_pton(AF_INET6, host.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6) != 0;
    return false;
}

std::uint32_t LinuxReachabilitySource::flagsForSocketAddress(const sockaddr* address, socklen_t length) {
    if (isLoopback(address)) {
        return kReachabilityFlagsReachable | kReachabilityFlagsIsLocalAddress | kReachabilityFlagsIsDirect;
    }
    const int fd = ::socket(address->sa_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    std::uint32_t flags = 0;
    // Connecting a datagram socket only asks the kernel for a route.
    sockaddr_storage target{};
    std::memcpy(&target, address, std::min<std::size_t>(length, sizeof(target)));
    if (target.ss_family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&target);
        if (in->sin_port == 0) in->sin_port = htons(9);
    } else if (target.ss_family == AF_INET6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&target);
        if (in6->sin6_port == 0) in6->sin6_port = htons(9);
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), length) == 0) {
        flags = kReachabilityFlagsReachable;
        sockaddr_storage local{};
        socklen_t localLength = sizeof(local);
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) == 0 &&
            sameAddress(reinterpret_cast<const sockaddr*>(&local), address)) {
            flags |= kReachabilityFlagsIsLocalAddress | kReachabilityFlagsIsDirect;
        }
    }
    ::close(fd);
    return flags;
}

namespace {

constexpr unsigned long kRouteUp = 0x1;        // RTF_UP
constexpr unsigned long kRouteReject = 0x200;  // RTF_REJECT

unsigned long hexFlags(const std::string& text) {
    unsigned long value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return result.ec == std::errc() ? value : 0;
}

/// A usable default route: up, not a reject route, on a real interface
/// (unreachable, prohibit and blackhole routes have none: "*").
bool usableDefaultRoute(const std::string& iface, unsigned long flags) {
    return !iface.empty() && iface != "lo" && iface != "*" && (flags & kRouteUp) != 0 && (flags & kRouteReject) == 0;
}

}  // namespace

bool LinuxReachabilitySource::hasDefaultRoute() {
    std::ifstream v4("/proc/net/route");
    std::ifstream v6("/proc/net/ipv6_route");
    return hasDefaultRouteIn(v4, v6);
}

bool LinuxReachabilitySource::hasDefaultRouteIn(std::istream& v4, std::istream& v6) {
    // IPv4: "Iface Destination Gateway Flags RefCnt Use Metric Mask ...", after a header line.
    std::string line;
    std::getline(v4, line);
    while (std::getline(v4, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway, flags, refs, use, metric, mask;
        fields >> iface >> destination >> gateway >> flags >> refs >> use >> metric >> mask;
        if (destination == "00000000" && (mask.empty() || mask == "00000000") &&
            usableDefaultRoute(iface, hexFlags(flags))) {
            return true;
        }
    }
    // IPv6: "dest prefixlen src srclen nexthop metric ref use flags iface".
    while (std::getline(v6, line)) {
        std::istringstream fields(line);
        std::string destination, prefix, source, sourcePrefix, nextHop, metric, refs, use, flags, iface;
        fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >> refs >> use >> flags >> iface;
        if (destination == std::string(32, '0') && prefix == "00" && usableDefaultRoute(iface, hexFlags(flags))) {
            return true;
        }
    }
    return false;
}

std::optional<std::uint32_t> LinuxReachabilitySource::flagsForHostName(const std::string& hostName) {
    const auto host = hostPart(hostName);
    if (host.empty()) return std::nullopt;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* results = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &results) != 0) return 0u;
    std::uint32_t flags = 0;
    for (const addrinfo* entry = results; entry != nullptr && flags == 0; entry = entry->ai_next) {
        flags = flagsForSocketAddress(entry->ai_addr, entry->ai_addrlen);
    }
    ::freeaddrinfo(results);
    return flags;
}

std::optional<std::uint32_t> LinuxReachabilitySource::flagsForAddress(const sockaddr_in& address) {
    const std::uint32_t ip = ntohl(address.sin_addr.s_addr);
    if (ip == 0) return hasDefaultRoute() ? kReachabilityFlagsReachable : 0u;
    if ((ip >> 16) == 0xA9FE) {
        // Link-local: reachable and direct when a non-loopback interface is up with an IPv4 address.
        ifaddrs* interfaces = nullptr;
        if (::getifaddrs(&interfaces) != 0) return std::nullopt;
        std::uint32_t flags = 0;
        for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
            if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
            if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
            flags = kReachabilityFlagsReachable | kReachabilityFlagsIsDirect;
            break;
        }
        ::freeifaddrs(interfaces);
        return flags;
    }
    return flagsForSocketAddress(reinterpret_cast<const sockaddr*>(&address), sizeof(address));
}

}  // namespace vorn
