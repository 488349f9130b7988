#pragma once

#include "vorn/core/VornError.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace vorn {

/// The JSON routines of the realtime channel. As with the platform's JSON
/// serializer in its default options, the top level of a document is an
/// object or an array; anything else is refused.
class SocketIOJSONSerialization {
public:
    /// Parses JSON bytes; empty (with `*error` set when given) when they are
    /// not a JSON object or array.
    static std::optional<nlohmann::json> objectFromJSONData(std::string_view data, OptionalError* error = nullptr);

    /// Writes a value as compact JSON (no white space between tokens); empty
    /// (with `*error` set when given) for a value that JSON cannot represent:
    /// a top level other than an object or array, a number that is not
    /// finite, or a string that is not UTF-8.
    static std::optional<std::string> JSONStringFromObject(const nlohmann::json& value, OptionalError* error = nullptr);
};

}  // namespace vorn
