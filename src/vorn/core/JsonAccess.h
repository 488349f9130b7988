#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace vorn::jsonutil {

/// The deepest nesting of arrays and objects read from outside (replies,
/// packets, stored files). Deeper input is refused before it is parsed:
/// copying or comparing such a value would recurse once per level.
inline constexpr std::size_t kMaxJsonDepth = 256;

/// Whether the arrays and objects of a JSON text nest at most `limit`
/// deep. One pass, no allocation; brackets inside strings do not count.
bool nestingWithin(std::string_view text, std::size_t limit = kMaxJsonDepth);

/// Parses JSON text from outside: discarded (`is_discarded()`) when it is
/// not JSON or nests deeper than `kMaxJsonDepth`. Never throws.
nlohmann::json parse(std::string_view text);

/// The member under `key` when `map` is an object holding it with a value
/// other than null; otherwise null.
const nlohmann::json* member(const nlohmann::json& map, const char* key);

/// A value as text: a string as it is, anything else as its JSON text.
std::string textOf(const nlohmann::json& value);

}  // namespace vorn::jsonutil
