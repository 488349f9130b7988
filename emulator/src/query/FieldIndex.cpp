#include "query/FieldIndex.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <numbers>
#include <string_view>

#include "vorn_emulator/Storage.h"

namespace vorn::emulator::query {

namespace {

constexpr std::string_view kTextRows =
    "SELECT object_id FROM field_index WHERE class_name = ? AND key = ? AND kind = 's' AND value = ?";
constexpr std::string_view kBoolRows =
    "SELECT object_id FROM field_index WHERE class_name = ? AND key = ? AND kind = 'b' AND value = ?";
constexpr std::string_view kNumberRows =
    "SELECT object_id FROM field_index WHERE class_name = ? AND key = ? AND kind = 'n' AND value >= ? AND "
    "value <= ? AND in_array <= ?";
constexpr std::string_view kLatitudeRows =
    "SELECT object_id FROM field_index WHERE class_name = ? AND key = ? AND kind = 'g' AND value >= ? AND "
    "value <= ?";
constexpr std::string_view kUnreadableRows =
    "SELECT object_id FROM field_index WHERE class_name = ? AND key = '' AND kind = 'x'";

// One lookup: the objects whose field holds this text or boolean, or a
// number in [low, high]. Equality also finds the elements of arrays (an
// array field equals a value it holds); ranges never do (an array is not a
// number).
struct Probe {
    enum class Kind { Text, Bool, Number, Latitude };
    Kind kind = Kind::Number;
    std::string text;
    bool boolean = false;
    double low = -std::numeric_limits<double>::infinity();
    double high = std::numeric_limits<double>::infinity();
    bool inArrays = true;
};

// One condition as lookups: an object may satisfy it only if one of them
// finds it.
using Requirement = std::vector<Probe>;

// A bound a little beyond `number` (direction -1: below, 1: above). Stored
// numbers are compared as SQLite reads them, which may differ from the
// matcher's reading in the last digits; the margin keeps every number the
// matcher accepts inside the range.
double widened(double number, double direction) {
    return number + direction * (std::fabs(number) * 1e-9 + 1e-300);
}

std::optional<double> finiteNumber(const Term& term) {
    if (term.kind != Kind::Number) return std::nullopt;
    const auto number = static_cast<double>(term.number);
    if (!std::isfinite(number)) return std::nullopt;
    return number;
}

// The lookup of an equality with `operand`; nullopt for values the index
// does not hold (null, dates, pointers, arrays, maps, texts with a NUL).
std::optional<Probe> equalityProbe(const Term& operand) {
    Probe probe;
    switch (operand.kind) {
        case Kind::String:
            if (operand.text.find('\0') != std::string_view::npos) return std::nullopt;
            probe.kind = Probe::Kind::Text;
            probe.text = std::string(operand.text);
            return probe;
        case Kind::Bool:
            probe.kind = Probe::Kind::Bool;
            probe.boolean = operand.boolean;
            return probe;
        case Kind::Number:
            if (auto number = finiteNumber(operand)) {
                probe.kind = Probe::Kind::Number;
                probe.low = widened(*number, -1);
                probe.high = widened(*number, 1);
                return probe;
            }
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

struct Plan {
    std::vector<std::pair<std::string, Requirement>> equalities;  // by field name
    std::vector<std::pair<std::string, Requirement>> ranges;
};

// The lookup of GeoPoints with a latitude in [low, high] degrees. A point
// is never nearer to another than their difference in latitude, so the band
// around a center holds every point within its distance.
Probe latitudeBand(double low, double high) {
    Probe band;
    band.kind = Probe::Kind::Latitude;
    // A margin for the distance's rounding, on top of the readings'.
    constexpr double kMarginDegrees = 1e-7;
    band.low = widened(low, -1) - kMarginDegrees;
    band.high = widened(high, 1) + kMarginDegrees;
    return band;
}

void planField(const FieldConstraint& constraint, Plan& plan, bool withGeo) {
    using Op = Condition::Op;
    if (constraint.field.source != FieldRef::Source::Field) return;
    const std::string& key = constraint.field.name;
    if (key.empty() || key.find('\0') != std::string::npos) return;
    Probe range;
    range.inArrays = false;
    bool hasRange = false;
    for (const Condition& condition : constraint.conditions) {
        switch (condition.op) {
            case Op::Equal:
                if (auto probe = equalityProbe(condition.operand))
                    plan.equalities.emplace_back(key, Requirement{*probe});
                break;
            case Op::In: {
                if (condition.operands.size() > kMaxIndexedInValues) break;
                Requirement any;
                for (const Term& operand : condition.operands) {
                    auto probe = equalityProbe(operand);
                    if (!probe) break;
                    any.push_back(std::move(*probe));
                }
                if (any.size() == condition.operands.size()) plan.equalities.emplace_back(key, std::move(any));
                break;
            }
            case Op::Greater:
            case Op::GreaterOrEqual:
                if (auto number = finiteNumber(condition.operand)) {
                    range.low = std::max(range.low, widened(*number, -1));
                    hasRange = true;
                }
                break;
            case Op::Less:
            case Op::LessOrEqual:
                if (auto number = finiteNumber(condition.operand)) {
                    range.high = std::min(range.high, widened(*number, 1));
                    hasRange = true;
                }
                break;
            case Op::NearSphere:
                if (withGeo && std::isfinite(condition.maxRadians) && condition.maxRadians < std::numbers::pi) {
                    const double degrees = condition.maxRadians * 180 / std::numbers::pi;
                    plan.ranges.emplace_back(key, Requirement{latitudeBand(condition.point.latitude - degrees,
                                                                           condition.point.latitude + degrees)});
                }
                break;
            case Op::Within:
                if (withGeo) {
                    plan.ranges.emplace_back(key, Requirement{latitudeBand(condition.box.southwest.latitude,
                                                                           condition.box.northeast.latitude)});
                }
                break;
            default:
                break;
        }
    }
    if (hasRange) plan.ranges.emplace_back(key, Requirement{range});
}

void sortUnique(std::vector<std::string>& ids) {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
}

std::vector<std::string> lookUp(Storage& storage, const std::string& className, const std::string& key,
                                const Requirement& requirement) {
    std::vector<std::string> ids;
    const auto collect = [&](const Statement& row) { ids.push_back(row.getText(0)); };
    for (const Probe& probe : requirement) {
        switch (probe.kind) {
            case Probe::Kind::Text:
                storage.forEach(kTextRows, {className, key, probe.text}, collect);
                break;
            case Probe::Kind::Bool:
                storage.forEach(kBoolRows, {className, key, probe.boolean}, collect);
                break;
            case Probe::Kind::Number:
                storage.forEach(kNumberRows, {className, key, probe.low, probe.high, probe.inArrays ? 1 : 0}, collect);
                break;
            case Probe::Kind::Latitude:
                storage.forEach(kLatitudeRows, {className, key, probe.low, probe.high}, collect);
                break;
        }
    }
    sortUnique(ids);
    return ids;
}

}  // namespace

std::optional<std::vector<std::string>> indexedCandidates(Storage& storage, const std::string& className,
                                                          const Where& where) {
    if (storage.schemaVersion() < kFieldIndexSchemaVersion) return std::nullopt;
    Plan plan;
    const bool withGeo = storage.schemaVersion() >= kGeoIndexSchemaVersion;
    for (const FieldConstraint& constraint : where.fields) planField(constraint, plan, withGeo);
    // Equalities usually select few objects; ranges are looked up only
    // without them (the matcher checks the rest).
    const auto& chosen = plan.equalities.empty() ? plan.ranges : plan.equalities;
    if (chosen.empty()) return std::nullopt;
    if (storage.schemaVersion() >= kFieldsOnDemandSchemaVersion) {
        for (const auto& [key, requirement] : chosen) {
            if (!storage.indexField(className, key)) return std::nullopt;
        }
    }
    std::vector<std::string> ids;
    bool first = true;
    for (const auto& [key, requirement] : chosen) {
        std::vector<std::string> found = lookUp(storage, className, key, requirement);
        if (first) {
            ids = std::move(found);
            first = false;
        } else {
            std::vector<std::string> both;
            std::set_intersection(ids.begin(), ids.end(), found.begin(), found.end(), std::back_inserter(both));
            ids = std::move(both);
        }
        if (ids.empty()) break;
    }
    // Objects whose data the index could not read may match anything.
    const std::size_t matched = ids.size();
    storage.forEach(kUnreadableRows, {className}, [&](const Statement& row) { ids.push_back(row.getText(0)); });
    if (ids.size() != matched) sortUnique(ids);
    return ids;
}

}  // namespace vorn::emulator::query
