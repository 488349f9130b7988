#include "support/TestDevice.h"

#include "vorn/core/LinuxReachabilitySource.h"
#include "vorn/core/vReachability.h"
#include "vorn/core/v_VornUtils.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <sstream>

using namespace vorn;

namespace {

/// Flags chosen by the test, per host name; the internet target has its own.
class FakeReachability : public ReachabilitySource {
public:
    std::optional<std::uint32_t> internet = kReachabilityFlagsReachable;
    std::map<std::string, std::uint32_t> hosts;
    std::vector<std::string> asked;

    std::optional<std::uint32_t> flagsForHostName(const std::string& host) override {
        asked.push_back(host);
        auto it = hosts.find(host);
        return it == hosts.end() ? 0u : it->second;
    }
    std::optional<std::uint32_t> flagsForAddress(const sockaddr_in& address) override {
        if (address.sin_addr.s_addr == 0) return internet;
        return 0u;
    }
};

}  // namespace

TEST(Reachability, StatusRule) {
    const auto status = [](std::uint32_t flags) { return vReachability::networkStatusForFlags(flags, false); };
    EXPECT_EQ(status(0), kNotReachable);
    EXPECT_EQ(status(kReachabilityFlagsConnectionRequired), kNotReachable);
    EXPECT_EQ(status(kReachabilityFlagsReachable), kReachableViaWiFi);
    EXPECT_EQ(status(kReachabilityFlagsReachable | kReachabilityFlagsIsWWAN), kReachableViaWWAN);
    EXPECT_EQ(status(kReachabilityFlagsReachable | kReachabilityFlagsTransientConnection |
                     kReachabilityFlagsConnectionRequired),
              kNotReachable);
    EXPECT_EQ(status(kReachabilityFlagsReachable | kReachabilityFlagsTransientConnection), kReachableViaWiFi);
    EXPECT_EQ(status(kReachabilityFlagsReachable | kReachabilityFlagsIsLocalAddress | kReachabilityFlagsIsDirect),
              kReachableViaWiFi);
    EXPECT_EQ(status(kReachabilityFlagsReachable | kReachabilityFlagsConnectionRequired |
                     kReachabilityFlagsConnectionOnTraffic),
              kReachableViaWiFi);
    EXPECT_EQ(status(kReachabilityFlagsReachable | kReachabilityFlagsInterventionRequired), kNotReachable);
    // The link-local target is judged by is-direct alone.
    EXPECT_EQ(vReachability::networkStatusForFlags(kReachabilityFlagsReachable, true), kNotReachable);
    EXPECT_EQ(vReachability::networkStatusForFlags(kReachabilityFlagsReachable | kReachabilityFlagsIsDirect, true),
              kReachableViaWiFi);
}

TEST(Reachability, KeysAndEquality) {
    in_addr address{};
    ::inet_pton(AF_INET, "192.168.1.1", &address);
    EXPECT_EQ(vReachability::makeAddressKey(address), "192.168.1.1");
    EXPECT_EQ(vReachability::reachabilityForInternetConnection()->key(), "InternetConnection");
    EXPECT_EQ(vReachability::reachabilityForLocalWiFi()->key(), "LocalWiFiConnection");
    EXPECT_TRUE(vReachability::reachabilityWithHostName("a.example")
                    ->isEqual(*vReachability::reachabilityWithHostName("a.example")));
    EXPECT_FALSE(vReachability::reachabilityWithHostName("a.example")
                     ->isEqual(*vReachability::reachabilityWithHostName("b.example")));
    EXPECT_EQ(vReachability::reachabilityWithHostName(""), nullptr);
}

TEST(Reachability, LinuxSourceSeesLoopbackAsLocalAndDirect) {
    test::TestDevice device;
    auto loopback = vReachability::reachabilityWithHostName("127.0.0.1:8470");
    const auto flags = loopback->reachabilityFlags();
    EXPECT_TRUE(flags & kReachabilityFlagsReachable);
    EXPECT_TRUE(flags & kReachabilityFlagsIsLocalAddress);
    EXPECT_EQ(loopback->currentReachabilityStatus(), kReachableViaWiFi);
    EXPECT_TRUE(vReachability::reachabilityWithHostName("localhost")->isReachable());
    EXPECT_EQ(LinuxReachabilitySource::hostPart("[::1]:80"), "::1");
    EXPECT_EQ(LinuxReachabilitySource::hostPart("::1"), "::1");
    EXPECT_EQ(LinuxReachabilitySource::hostPart("a.example:80"), "a.example");
    EXPECT_TRUE(LinuxReachabilitySource::isLoopbackHost("127.1.2.3:9"));
    EXPECT_TRUE(LinuxReachabilitySource::isLoopbackHost("[::1]:9"));
    EXPECT_FALSE(LinuxReachabilitySource::isLoopbackHost("10.0.0.1"));
}

TEST(HostChoice, PrimaryFallbackOrNothing) {
    test::TestDevice device("primary.example");
    DeviceContext::shared().setHosts(ServiceHosts{"primary.example", "fallback.example", "f", "c", "r"});
    auto fake = std::make_shared<FakeReachability>();
    DeviceContext::shared().setReachabilitySource(fake);

    fake->hosts["primary.example"] = kReachabilityFlagsReachable;
    EXPECT_EQ(v_VornUtils::serverHostAddress(), "http://primary.example/7");
    EXPECT_EQ(fake->asked.back(), "primary.example");

    fake->hosts["primary.example"] = 0;
    EXPECT_EQ(v_VornUtils::serverHostAddress(), "http://fallback.example/7");

    fake->internet = 0;
    EXPECT_EQ(v_VornUtils::serverHostAddress(), "");
    fake->internet = std::nullopt;  // flags that cannot be read count as not reachable
    EXPECT_EQ(v_VornUtils::serverHostAddress(), "");
}

TEST(HostChoice, LoopbackServiceNeedsNoOutsideRoute) {
    test::TestDevice device("127.0.0.1:8470");
    auto fake = std::make_shared<FakeReachability>();
    fake->internet = 0;
    fake->hosts["127.0.0.1:8470"] = kReachabilityFlagsReachable | kReachabilityFlagsIsLocalAddress;
    DeviceContext::shared().setReachabilitySource(fake);
    EXPECT_EQ(v_VornUtils::serverHostAddress(), "http://127.0.0.1:8470/7");
}

TEST(Reachability, RejectRoutesAreNoWayToTheInternet) {
    const std::string header = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    auto v4 = [&](const std::string& iface, const std::string& flags) {
        return header + iface + "\t00000000\t0102A8C0\t" + flags + "\t0\t0\t0\t00000000\t0\t0\t0\n";
    };
    auto check = [](const std::string& ipv4, const std::string& ipv6 = "") {
        std::istringstream a(ipv4), b(ipv6);
        return LinuxReachabilitySource::hasDefaultRouteIn(a, b);
    };
    EXPECT_TRUE(check(v4("eth0", "0003")));
    EXPECT_FALSE(check(v4("lo", "0003")));
    EXPECT_FALSE(check(v4("eth0", "0002")));  // not up
    EXPECT_FALSE(check(v4("*", "0201")));     // unreachable, prohibit: reject flag, no interface
    EXPECT_FALSE(check(v4("*", "0001")));     // blackhole: no interface
    EXPECT_FALSE(check(v4("eth0", "0201")));
    EXPECT_FALSE(check(header + "eth0\t00000000\t00000000\tzz\n"));  // unreadable flags
    EXPECT_FALSE(check(header));
    const std::string zero(32, '0');
    EXPECT_TRUE(check(header, zero + " 00 " + zero + " 00 " + zero + " 00000400 00000001 00000000 00000003 eth0\n"));
    EXPECT_FALSE(check(header, zero + " 00 " + zero + " 00 " + zero + " 00000400 00000001 00000000 00200201 lo\n"));
    EXPECT_FALSE(check(header, zero + " 00 " + zero + " 00 " + zero + " 00000400 00000001 00000000 00000201 eth0\n"));
}
