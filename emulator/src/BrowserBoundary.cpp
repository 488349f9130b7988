#include "BrowserBoundary.h"

#include <boost/asio/ip/address.hpp>

#include <algorithm>
#include <cctype>
#include <string>

namespace vorn::emulator {

bool loopbackAuthority(std::string_view authority) {
    std::string_view host = authority;
    if (host.starts_with('[')) {
        const auto close = host.find(']');
        if (close == std::string_view::npos) return false;
        host = host.substr(1, close - 1);
    } else if (const auto colon = host.rfind(':'); colon != std::string_view::npos) {
        host = host.substr(0, colon);
    }
    std::string lower(host);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower == "localhost") return true;
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(lower, ec);
    return !ec && address.is_loopback();
}

bool ownOrigin(const RequestContext& ctx) {
    const auto origin = ctx.header("Origin");
    if (!origin) return true;
    const auto host = ctx.header("Host");
    if (!host || !loopbackAuthority(*host)) return false;
    const std::string expected = std::string(ctx.scheme()) + "://" + std::string(*host);
    return origin->size() == expected.size() &&
           std::equal(origin->begin(), origin->end(), expected.begin(),
                      [](unsigned char a, unsigned char b) { return std::tolower(a) == std::tolower(b); });
}

bool serviceRequestAllowed(const RequestContext& ctx) {
    if (ctx.remoteAddress().empty()) return true;
    if (const auto host = ctx.header("Host"); host && !loopbackAuthority(*host)) return false;
    return ownOrigin(ctx);
}

}  // namespace vorn::emulator
