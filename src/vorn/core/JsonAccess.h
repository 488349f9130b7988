#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace vorn::jsonutil {

/// The member under `key` when `map` is an object holding it with a value
/// other than null; otherwise null.
const nlohmann::json* member(const nlohmann::json& map, const char* key);

/// A value as text: a string as it is, anything else as its JSON text.
std::string textOf(const nlohmann::json& value);

}  // namespace vorn::jsonutil
