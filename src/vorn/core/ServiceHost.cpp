#include "vorn/core/ServiceHost.h"

#include <array>
#include <cctype>
#include <utility>

namespace vorn {
namespace {

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

}  // namespace

ServiceHost ServiceHost::parse(std::string_view text) {
    static constexpr std::array<std::pair<std::string_view, bool>, 4> kSchemes{
        {{"https://", true}, {"wss://", true}, {"http://", false}, {"ws://", false}}};
    ServiceHost host;
    for (const auto& [scheme, secure] : kSchemes) {
        if (startsWithNoCase(text, scheme)) {
            host.secure = secure;
            text.remove_prefix(scheme.size());
            break;
        }
    }
    while (!text.empty() && text.back() == '/') text.remove_suffix(1);
    host.authority = std::string(text);
    return host;
}

std::string ServiceHost::origin() const {
    return (secure ? "https://" : "http://") + authority;
}

}  // namespace vorn
