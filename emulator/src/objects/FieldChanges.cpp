#include "objects/FieldChanges.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "TextHelpers.h"
#include "objects/FieldValues.h"
#include "vorn_emulator/ServiceError.h"

namespace vorn::emulator::objects {

namespace {

using nlohmann::json;

[[noreturn]] void invalidOperator(const std::string& key, std::string_view op, const std::string& what) {
    throw ServiceError(ErrorCode::InvalidFieldType, std::string(op) + " on field " + inQuotes(key) + ": " + what);
}

[[noreturn]] void wrongType(const std::string& key, std::string_view op, const std::string& what) {
    throw ServiceError(ErrorCode::InvalidOperatorType, std::string(op) + " on field " + inQuotes(key) + ": " + what);
}

bool isRelation(const json& value) {
    return typeOf(value) == "Relation";
}

// "objects" of an operator: an array whose elements are valid field values.
const json& operatorObjects(const json& change, const std::string& key, std::string_view op) {
    auto it = change.find("objects");
    if (it == change.end() || !it->is_array()) invalidOperator(key, op, "\"objects\" must be an array");
    checkWireValue(*it, key);
    return *it;
}

std::optional<std::int64_t> asInt64(const json& number) {
    if (number.is_number_unsigned()) {
        const auto value = number.get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
        return static_cast<std::int64_t>(value);
    }
    if (number.is_number_integer()) return number.get<std::int64_t>();
    return std::nullopt;
}

// Integers stay integers while the sum fits in 64 bits.
json addNumbers(const json& a, const json& b, const std::string& key) {
    const auto x = asInt64(a);
    const auto y = asInt64(b);
    std::int64_t sum = 0;
    if (x && y && !__builtin_add_overflow(*x, *y, &sum)) return sum;
    const double result = a.get<double>() + b.get<double>();
    if (!std::isfinite(result)) invalidOperator(key, "Increment", "the result is out of range");
    return result;
}

void increment(json& fields, const std::string& key, const json& change) {
    auto amount = change.find("amount");
    if (amount == change.end() || !amount->is_number())
        invalidOperator(key, "Increment", "\"amount\" must be a number");
    auto stored = fields.find(key);
    if (stored == fields.end()) {
        fields[key] = addNumbers(0, *amount, key);
        return;
    }
    if (!stored->is_number()) wrongType(key, "Increment", std::string("the stored value is ") + stored->type_name());
    *stored = addNumbers(*stored, *amount, key);
}

// Add, AddUnique and Remove.
void changeArray(json& fields, const std::string& key, const std::string& op, const json& change) {
    const json& objects = operatorObjects(change, key, op);
    auto stored = fields.find(key);
    if (stored == fields.end()) {
        if (op == "Remove") return;  // nothing to remove from: the field stays absent
        stored = fields.emplace(key, json::array()).first;
    } else if (!stored->is_array()) {
        wrongType(key, op, std::string("the stored value is ") + stored->type_name() + ", not an array");
    }
    json& array = *stored;
    if (op == "Add") {
        array.insert(array.end(), objects.begin(), objects.end());
    } else if (op == "AddUnique") {
        for (const json& element : objects) {
            if (std::find(array.begin(), array.end(), element) == array.end()) array.push_back(element);
        }
    } else {
        json kept = json::array();
        for (json& element : array) {
            if (std::find(objects.begin(), objects.end(), element) == objects.end()) kept.push_back(std::move(element));
        }
        array = std::move(kept);
    }
}

// AddRelation and RemoveRelation: rows in the relations table, and the field
// holds {"__type": "Relation", "className": <target class>}.
void changeRelation(ObjectStore& store, StoredObject& object, const std::string& key, const std::string& op,
                    const json& change) {
    const json& objects = operatorObjects(change, key, op);
    std::vector<RelationTarget> targets;
    for (const json& element : objects) {
        auto target = pointerTarget(element);
        if (!target || target->className.empty() || target->objectId.empty()) {
            invalidOperator(key, op, "\"objects\" must hold Pointers with \"className\" and \"objectId\"");
        }
        targets.push_back(std::move(*target));
    }

    std::string targetClass;
    auto stored = object.fields.find(key);
    if (stored != object.fields.end()) {
        if (!isRelation(*stored)) wrongType(key, op, "the field holds a value that is not a relation");
        targetClass = stored->value("className", "");
    }
    for (const RelationTarget& target : targets) {
        if (targetClass.empty()) targetClass = target.className;
        if (target.className != targetClass) {
            wrongType(key, op, "the relation holds " + targetClass + " objects, not " + target.className);
        }
    }

    for (const RelationTarget& target : targets) {
        if (op == "AddRelation") {
            store.addRelation(object, key, target);
        } else {
            store.removeRelation(object, key, target);
        }
    }
    if (stored == object.fields.end() && op == "AddRelation" && !targets.empty()) {
        object.fields[key] = relationDescriptor(targetClass);
    }
}

void applyOperator(ObjectStore& store, StoredObject& object, const std::string& key, const json& change) {
    const json& name = change.at("__op");
    if (!name.is_string()) {
        throw ServiceError(ErrorCode::InvalidFieldType, "\"__op\" of field " + inQuotes(key) + " must be a string");
    }
    const std::string& op = name.get_ref<const std::string&>();
    if (op == "Delete") {
        auto stored = object.fields.find(key);
        if (stored == object.fields.end()) return;
        if (isRelation(*stored)) store.clearRelation(object, key);
        object.fields.erase(stored);
    } else if (op == "Increment") {
        increment(object.fields, key, change);
    } else if (op == "Add" || op == "AddUnique" || op == "Remove") {
        changeArray(object.fields, key, op, change);
    } else if (op == "AddRelation" || op == "RemoveRelation") {
        changeRelation(store, object, key, op, change);
    } else {
        throw ServiceError(ErrorCode::InvalidFieldType,
                           "unknown operator " + inQuotes(op) + " on field " + inQuotes(key));
    }
}

}  // namespace

void applyChanges(ObjectStore& store, StoredObject& object, const json& data) {
    if (!data.is_object()) throw ServiceError(ErrorCode::InvalidFieldType, "the fields must be a JSON object");
    for (auto it = data.begin(); it != data.end(); ++it) {
        const std::string& key = it.key();
        const json& value = *it;
        if (isReservedKey(key)) continue;
        checkFieldKey(key);
        if (value.is_object() && value.contains("__op")) {
            applyOperator(store, object, key, value);
            continue;
        }
        if (isRelation(value)) continue;  // relation descriptors are written by the store only
        checkWireValue(value, key);
        auto stored = object.fields.find(key);
        if (stored != object.fields.end() && isRelation(*stored)) {
            wrongType(key, "set", "the field is a relation; change it with AddRelation, RemoveRelation or Delete");
        }
        object.fields[key] = value;
    }
}

}  // namespace vorn::emulator::objects
