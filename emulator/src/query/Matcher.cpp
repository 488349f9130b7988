#include "query/Matcher.h"

#include <algorithm>

namespace vorn::emulator::query {

namespace {

using nlohmann::json;

bool inList(const Term& field, const std::vector<Term>& operands) {
    return std::any_of(operands.begin(), operands.end(),
                       [&](const Term& operand) { return fieldEquals(field, operand); });
}

// A Pointer (or an array holding one) to an object of the sub-query's class
// that matched it.
bool pointsIntoMatches(const Term& field, const Condition& condition) {
    const auto matching = [&](const Term& value) {
        return value.kind == Kind::Pointer && value.className == condition.className &&
               condition.ids.contains(value.text);
    };
    if (matching(field)) return true;
    if (field.kind != Kind::Array) return false;
    return std::any_of(field.json->begin(), field.json->end(),
                       [&](const json& element) { return matching(termOf(element)); });
}

bool compares(const Term& field, const Term& operand, bool (*accept)(int)) {
    const auto order = compareTerms(field, operand);
    return order && accept(*order);
}

GeoPoint geoPointOf(const Term& term) {
    return GeoPoint{term.latitude, term.longitude};
}

bool holds(Condition& condition, const Term& field) {
    using Op = Condition::Op;
    switch (condition.op) {
        case Op::Equal:
            return fieldEquals(field, condition.operand);
        case Op::NotEqual:
            return !fieldEquals(field, condition.operand);
        case Op::Greater:
            return compares(field, condition.operand, [](int order) { return order > 0; });
        case Op::GreaterOrEqual:
            return compares(field, condition.operand, [](int order) { return order >= 0; });
        case Op::Less:
            return compares(field, condition.operand, [](int order) { return order < 0; });
        case Op::LessOrEqual:
            return compares(field, condition.operand, [](int order) { return order <= 0; });
        case Op::In:
            return inList(field, condition.operands);
        case Op::NotIn:
            return !inList(field, condition.operands);
        case Op::Exists:
            return (field.kind != Kind::Missing) == condition.exists;
        case Op::Regex:
            return field.kind == Kind::String && condition.regex->find(field.text);
        case Op::NearSphere:
            return field.kind == Kind::GeoPoint &&
                   distanceRadians(geoPointOf(field), condition.point) <= condition.maxRadians;
        case Op::Within:
            return field.kind == Kind::GeoPoint && condition.box.contains(geoPointOf(field));
        case Op::InQuery:
            return pointsIntoMatches(field, condition);
        case Op::NotInQuery:
            return !pointsIntoMatches(field, condition);
    }
    return false;
}

}  // namespace

bool fieldEquals(const Term& field, const Term& operand) {
    if (termsEqual(field, operand)) return true;
    if (field.kind != Kind::Array) return false;
    return std::any_of(field.json->begin(), field.json->end(),
                       [&](const json& element) { return termsEqual(termOf(element), operand); });
}

bool matches(Where& where, const StoredObject& object) {
    for (auto& constraint : where.fields) {
        const Term field = constraintTerm(constraint.field, object);
        for (auto& condition : constraint.conditions) {
            if (!holds(condition, field)) return false;
        }
    }
    if (where.relatedIds && !where.relatedIds->contains(object.objectId)) return false;
    for (auto& part : where.allOf) {
        if (!matches(part, object)) return false;
    }
    if (where.hasAnyOf) {
        return std::any_of(where.anyOf.begin(), where.anyOf.end(), [&](Where& part) { return matches(part, object); });
    }
    return true;
}

}  // namespace vorn::emulator::query
