#pragma once

#include "vorn/core/DeviceSources.h"

#include <sys/socket.h>

#include <istream>

namespace vorn {

/// Reachability read from the Linux kernel: a target is reachable when the
/// kernel has a route to it (looked up by connecting a UDP socket, which
/// sends nothing); loopback and the machine's own addresses are local and
/// direct. The general internet target is reachable when a default route
/// exists on an interface that is up.
///
/// Changes are watched on a netlink socket read by the main loop.
class LinuxReachabilitySource : public ReachabilitySource {
public:
    std::optional<std::uint32_t> flagsForHostName(const std::string& hostName) override;
    std::optional<std::uint32_t> flagsForAddress(const sockaddr_in& address) override;
    /// Watches the kernel's link, address and route changes (netlink).
    std::shared_ptr<void> watchChanges(std::function<void()> onChange) override;

    /// The host part of "host", "host:port" or "[v6]:port".
    static std::string hostPart(const std::string& hostAndPort);
    /// Whether the host names this machine's loopback ("localhost",
    /// 127.0.0.0/8, ::1); the port is ignored.
    static bool isLoopbackHost(const std::string& hostAndPort);

    /// The reachability flags of a socket address: loopback is reachable, local and direct; otherwise reachable when
    /// the kernel has a route to it.
    static std::uint32_t flagsForSocketAddress(const sockaddr* address, socklen_t length);
    /// Whether the machine has a usable default route (IPv4 or IPv6).
    static bool hasDefaultRoute();
    /// The same rule over the texts of /proc/net/route and /proc/net/ipv6_route:
    /// a default route that is up, not on loopback, and not a reject route
    /// (unreachable, prohibit, blackhole: flagged reject or without an interface).
    static bool hasDefaultRouteIn(std::istream& ipv4Routes, std::istream& ipv6Routes);
};

}  // namespace vorn
