#pragma once

// Field keys and values in wire form: which keys may be stored, and the checks
// of the typed forms ({"__type": "Date" | "GeoPoint" | "File" | "Pointer", ...})
// wherever they appear inside a value.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "vorn_emulator/ObjectStore.h"

namespace vorn::emulator::objects {

// Deepest nesting of maps and arrays accepted inside one field value.
inline constexpr int kMaxValueDepth = 64;

// "objectId", "createdAt", "updatedAt": kept by the store, ignored in "data".
bool isReservedKey(std::string_view key);

// Throws ServiceError InvalidFieldType for "" and keys starting with "__".
void checkFieldKey(const std::string& key);

// Throws ServiceError (InvalidFieldType, or InvalidDate for a bad Date text)
// naming `field` when a typed form inside `value` is malformed or the value
// is nested deeper than kMaxValueDepth. Any other value passes.
void checkWireValue(const nlohmann::json& value, const std::string& field);

// The "__type" of a map whose "__type" is a string; empty otherwise.
std::string_view typeOf(const nlohmann::json& value);

// The target of a Pointer form that has both "className" and "objectId".
std::optional<RelationTarget> pointerTarget(const nlohmann::json& value);

// {"__type": "Relation", "className": targetClass}
nlohmann::json relationDescriptor(const std::string& targetClass);

}  // namespace vorn::emulator::objects
