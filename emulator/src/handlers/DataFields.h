#pragma once

// Reading members of a request's "data" map for the file and image calls.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "files/Base64.h"
#include "vorn_emulator/Router.h"
#include "vorn_emulator/ServiceError.h"

namespace vorn::emulator::fields {

// A whole number, or nullopt when absent or null; anything else is 105.
// Whole numbers of any size are taken, those beyond +-(2^63 - 1) as
// +-(2^63 - 1) (so negating or std::abs never overflows, and a range check
// refuses them); a float is compared before it is converted, never cast
// out of range.
inline std::optional<std::int64_t> optionalInteger(const nlohmann::json& data, std::string_view key) {
    constexpr std::int64_t kLargest = INT64_MAX;
    const auto it = data.find(key);
    if (it == data.end() || it->is_null()) return std::nullopt;
    if (it->is_number_unsigned()) {
        const std::uint64_t value = it->get<std::uint64_t>();
        return value > static_cast<std::uint64_t>(kLargest) ? kLargest : static_cast<std::int64_t>(value);
    }
    if (it->is_number_integer()) return std::max(it->get<std::int64_t>(), -kLargest);
    if (it->is_number_float()) {
        const double value = it->get<double>();
        if (std::isfinite(value) && std::trunc(value) == value) {
            // 2^63 is exact as a double; every double below it converts.
            if (value >= 9223372036854775808.0) return kLargest;
            if (value <= -9223372036854775808.0) return -kLargest;
            return std::max(static_cast<std::int64_t>(value), -kLargest);
        }
    }
    throw ServiceError(ErrorCode::InvalidFieldType,
                       "field \"" + std::string(key) + "\" in data must be a whole number");
}

inline std::int64_t requireInteger(const nlohmann::json& data, std::string_view key) {
    auto value = optionalInteger(data, key);
    if (!value) {
        throw ServiceError(ErrorCode::MissingField, "missing required field \"" + std::string(key) + "\" in data");
    }
    return *value;
}

// The bytes of a base64 member; `key` missing or null is 104, not a string
// 105. Text that would decode to more than `maxBytes` is `tooLarge` before
// anything is decoded; text that is not base64 is 123.
inline std::string decodeFileField(const nlohmann::json& data, std::string_view key, std::size_t maxBytes,
                                   ErrorCode tooLarge) {
    const auto it = data.find(key);
    if (it == data.end() || it->is_null()) {
        throw ServiceError(ErrorCode::MissingField, "missing required field \"" + std::string(key) + "\" in data");
    }
    if (!it->is_string()) {
        throw ServiceError(ErrorCode::InvalidFieldType,
                           "field \"" + std::string(key) + "\" in data must be base64 text");
    }
    const std::string& text = it->get_ref<const std::string&>();
    // At most 3 bytes per 4 characters: short texts need no counting.
    if (text.size() / 4 * 3 + 2 > maxBytes && files::decodedLength(text) > maxBytes) throw ServiceError(tooLarge);
    auto bytes = files::decodeBase64(text);
    if (!bytes) {
        throw ServiceError(ErrorCode::InvalidFileData,
                           "file data is not valid base64 text: field \"" + std::string(key) + "\"");
    }
    return std::move(*bytes);
}

}  // namespace vorn::emulator::fields
