#include "vorn/websocket/SRURL.h"

#include <cctype>

namespace vorn {

std::optional<SRURL> SRURL::URLWithString(std::string_view text) {
    SRURL url;
    url.absoluteString_ = std::string(text);

    const auto colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    const std::string_view scheme = text.substr(0, colon);
    if (!std::isalpha(static_cast<unsigned char>(scheme[0]))) return std::nullopt;
    for (char ch : scheme) {
        if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '+' && ch != '-' && ch != '.') return std::nullopt;
    }
    url.scheme_ = std::string(scheme);

    std::string_view rest = text.substr(colon + 1);
    if (rest.substr(0, 2) != "//") return std::nullopt;
    rest.remove_prefix(2);

    const auto authorityEnd = rest.find_first_of("/?#");
    std::string_view authority = rest.substr(0, authorityEnd);
    rest = authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);

    if (const auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);

    std::string_view portText;
    bool hasPort = false;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        url.host_ = std::string(authority.substr(1, close - 1));
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return std::nullopt;
            portText = after.substr(1);
            hasPort = true;
        }
    } else {
        const auto portColon = authority.rfind(':');
        if (portColon != std::string_view::npos) {
            url.host_ = std::string(authority.substr(0, portColon));
            portText = authority.substr(portColon + 1);
            hasPort = true;
        } else {
            url.host_ = std::string(authority);
        }
    }
    if (url.host_.empty()) return std::nullopt;
    // "host:" with nothing after the colon has no port.
    if (hasPort && !portText.empty()) {
        unsigned long value = 0;
        for (char ch : portText) {
            if (!std::isdigit(static_cast<unsigned char>(ch))) return std::nullopt;
            value = value * 10 + static_cast<unsigned long>(ch - '0');
            if (value > 65535) return std::nullopt;
        }
        url.port_ = static_cast<std::uint16_t>(value);
    }

    if (const auto hash = rest.find('#'); hash != std::string_view::npos) rest = rest.substr(0, hash);
    if (const auto question = rest.find('?'); question != std::string_view::npos) {
        url.query_ = std::string(rest.substr(question + 1));
        rest = rest.substr(0, question);
    }
    url.path_ = std::string(rest);
    return url;
}

std::string SRURL::hostForHeader() const {
    if (host_.find(':') != std::string::npos) return "[" + host_ + "]";
    return host_;
}

std::string SRURL::requestTarget() const {
    std::string target = path_.empty() ? std::string("/") : path_;
    if (query_) target += "?" + *query_;
    return target;
}

}  // namespace vorn
