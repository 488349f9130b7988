#include "vorn/core/JsonAccess.h"

namespace vorn::jsonutil {

const nlohmann::json* member(const nlohmann::json& map, const char* key) {
    if (!map.is_object()) return nullptr;
    auto it = map.find(key);
    return it == map.end() || it->is_null() ? nullptr : &*it;
}

bool nestingWithin(std::string_view text, std::size_t limit) {
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

nlohmann::json parse(std::string_view text) {
    if (!nestingWithin(text)) return nlohmann::json(nlohmann::json::value_t::discarded);
    try {
        return nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
    } catch (const std::exception&) {
        // Allocation failure: as unreadable as garbage.
        return nlohmann::json(nlohmann::json::value_t::discarded);
    }
}

std::string textOf(const nlohmann::json& value) {
    return value.is_string() ? value.get<std::string>() : value.dump();
}

}  // namespace vorn::jsonutil
