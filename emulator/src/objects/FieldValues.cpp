#include "objects/FieldValues.h"

#include <initializer_list>
#include <utility>

#include "TextHelpers.h"
#include "vorn_emulator/DateText.h"
#include "vorn_emulator/ServiceError.h"

namespace vorn::emulator::objects {

namespace {

using nlohmann::json;

[[noreturn]] void invalid(const std::string& field, const std::string& what) {
    throw ServiceError(ErrorCode::InvalidFieldType, "invalid value of field \"" + field + "\": " + what);
}

// Forms whose entries after "__type" are strings that may be missing from
// some point on: {"__type": "File", "group": ""} is complete, while
// {"__type": "File", "url": "u"} lacks the "group" before its "url".
void checkStringForm(const json& value, std::string_view type, std::initializer_list<std::string_view> entries,
                     const std::string& field) {
    std::string_view firstAbsent;
    for (std::string_view entry : entries) {
        auto it = value.find(entry);
        if (it == value.end()) {
            if (firstAbsent.empty()) firstAbsent = entry;
            continue;
        }
        if (!firstAbsent.empty()) {
            invalid(field, "a " + std::string(type) + " with " + inQuotes(entry) + " needs " + inQuotes(firstAbsent));
        }
        if (!it->is_string()) invalid(field, inQuotes(entry) + " of a " + std::string(type) + " must be a string");
    }
}

void checkDate(const json& value, const std::string& field) {
    auto it = value.find("iso");
    if (it == value.end() || !it->is_string()) invalid(field, "a Date needs the text \"iso\"");
    parseDateTextOrThrow(it->get_ref<const std::string&>(), field);
}

void checkGeoPoint(const json& value, const std::string& field) {
    for (const auto& [name, limit] : {std::pair<const char*, double>{"latitude", 90.0}, {"longitude", 180.0}}) {
        auto it = value.find(name);
        if (it == value.end() || !it->is_number()) invalid(field, "a GeoPoint needs the number " + inQuotes(name));
        const double number = it->get<double>();
        if (!(number >= -limit && number <= limit)) {
            invalid(field, inQuotes(name) + " of a GeoPoint must be within [-" +
                               std::to_string(static_cast<int>(limit)) + ", " +
                               std::to_string(static_cast<int>(limit)) + "]");
        }
    }
}

void checkValue(const json& value, const std::string& field, int depth) {
    if (!value.is_structured()) return;
    if (depth > kMaxValueDepth) {
        invalid(field, "nested deeper than " + std::to_string(kMaxValueDepth) + " levels");
    }
    if (value.is_object()) {
        if (auto type = value.find("__type"); type != value.end()) {
            if (!type->is_string()) invalid(field, "\"__type\" must be a string");
            const std::string& name = type->get_ref<const std::string&>();
            if (name == "Date") {
                checkDate(value, field);
            } else if (name == "GeoPoint") {
                checkGeoPoint(value, field);
            } else if (name == "File") {
                checkStringForm(value, name, {"group", "url", "filename"}, field);
            } else if (name == "Pointer") {
                checkStringForm(value, name, {"className", "objectId"}, field);
            }
        }
    }
    for (const auto& entry : value) checkValue(entry, field, depth + 1);
}

}  // namespace

bool isReservedKey(std::string_view key) {
    return key == "objectId" || key == "createdAt" || key == "updatedAt";
}

void checkFieldKey(const std::string& key) {
    if (key.empty()) throw ServiceError(ErrorCode::InvalidFieldType, "invalid field name: empty");
    if (key.starts_with("__")) {
        throw ServiceError(ErrorCode::InvalidFieldType, "invalid field name " + inQuotes(key) + ": starts with \"__\"");
    }
}

void checkWireValue(const json& value, const std::string& field) {
    checkValue(value, field, 1);
}

std::string_view typeOf(const json& value) {
    if (!value.is_object()) return {};
    auto it = value.find("__type");
    if (it == value.end() || !it->is_string()) return {};
    return it->get_ref<const std::string&>();
}

std::optional<RelationTarget> pointerTarget(const json& value) {
    if (typeOf(value) != "Pointer") return std::nullopt;
    auto className = value.find("className");
    auto objectId = value.find("objectId");
    if (className == value.end() || objectId == value.end() || !className->is_string() || !objectId->is_string()) {
        return std::nullopt;
    }
    return RelationTarget{className->get<std::string>(), objectId->get<std::string>()};
}

json relationDescriptor(const std::string& targetClass) {
    return json{{"__type", "Relation"}, {"className", targetClass}};
}

}  // namespace vorn::emulator::objects
