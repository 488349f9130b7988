#pragma once

// Small text helpers shared by the emulator's sources.

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vorn::emulator {

// "text" with its quotes, for messages.
inline std::string inQuotes(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

// Without leading and trailing spaces and tabs.
inline std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// Compact JSON text; invalid UTF-8 in strings is replaced, never thrown on.
inline std::string compactJson(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace vorn::emulator
