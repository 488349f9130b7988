#include "vorn/websocket/SRURLRequest.h"

#include <strings.h>
#include <algorithm>

namespace vorn {

namespace {
bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}
}  // namespace

SRURLRequest::HeaderFields::iterator SRURLRequest::findField(const std::string& field) {
    return std::find_if(headerFields_.begin(), headerFields_.end(),
                        [&](const auto& entry) { return sameName(entry.first, field); });
}

SRURLRequest::HeaderFields::const_iterator SRURLRequest::findField(const std::string& field) const {
    return std::find_if(headerFields_.begin(), headerFields_.end(),
                        [&](const auto& entry) { return sameName(entry.first, field); });
}

void SRURLRequest::setValue(std::string value, const std::string& field) {
    if (auto it = findField(field); it != headerFields_.end()) {
        it->second = std::move(value);
    } else {
        headerFields_.emplace_back(field, std::move(value));
    }
}

void SRURLRequest::addValue(const std::string& value, const std::string& field) {
    if (auto it = findField(field); it != headerFields_.end()) {
        it->second += "," + value;
    } else {
        headerFields_.emplace_back(field, value);
    }
}

std::optional<std::string> SRURLRequest::valueForHTTPHeaderField(const std::string& field) const {
    if (auto it = findField(field); it != headerFields_.end()) return it->second;
    return std::nullopt;
}

}  // namespace vorn
