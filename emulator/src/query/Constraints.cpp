#include "query/Constraints.h"

#include <algorithm>
#include <utility>

#include "TextHelpers.h"
#include "objects/FieldValues.h"
#include "query/Query.h"
#include "vorn_emulator/ObjectStore.h"
#include "vorn_emulator/ServiceError.h"

namespace vorn::emulator::query {

namespace {

using nlohmann::json;

// A regular expression match may take about this many steps of ICU's match
// engine (roughly milliseconds) before the query fails.
constexpr std::int32_t kRegexStepLimit = 100;

[[noreturn]] void invalidQuery(const std::string& message) {
    throw ServiceError(ErrorCode::InvalidQuery, "invalid query: " + message);
}

[[noreturn]] void malformed(std::string_view op, std::string_view field, const std::string& what) {
    invalidQuery(inQuotes(op) + " of " + inQuotes(field) + " " + what);
}

bool isOperatorKey(std::string_view key) {
    return key.starts_with('$');
}

// A GeoPoint operand: {"__type": "GeoPoint", "latitude": N, "longitude": N}
// within range.
std::optional<GeoPoint> geoPointOperand(const json& value) {
    if (objects::typeOf(value) != "GeoPoint") return std::nullopt;
    auto latitude = value.find("latitude");
    auto longitude = value.find("longitude");
    if (latitude == value.end() || longitude == value.end() || !latitude->is_number() || !longitude->is_number()) {
        return std::nullopt;
    }
    GeoPoint point{latitude->get<double>(), longitude->get<double>()};
    if (!(point.latitude >= -90 && point.latitude <= 90 && point.longitude >= -180 && point.longitude <= 180)) {
        return std::nullopt;
    }
    return point;
}

class Compiler {
public:
    explicit Compiler(QueryContext& context) : context_(context) {}

    Where compile(const json& where, const std::string& className, int depth) {
        if (depth > kMaxWhereDepth) {
            invalidQuery("where maps nested deeper than " + std::to_string(kMaxWhereDepth) + " levels");
        }
        if (!where.is_object()) invalidQuery("a where map must be a JSON object");
        Where compiled;
        for (auto it = where.begin(); it != where.end(); ++it) {
            const std::string& key = it.key();
            const json& value = *it;
            if (key == "$and" || key == "$or") {
                std::vector<Where>& parts = key == "$and" ? compiled.allOf : compiled.anyOf;
                if (!value.is_array()) invalidQuery(inQuotes(key) + " needs an array of where maps");
                for (const json& part : value) {
                    if (!part.is_object()) invalidQuery(inQuotes(key) + " needs an array of where maps");
                    parts.push_back(compile(part, className, depth + 1));
                }
                if (key == "$or") compiled.hasAnyOf = true;
            } else if (key == "$relatedTo") {
                compiled.relatedIds = relatedTo(value, className);
            } else if (isOperatorKey(key)) {
                invalidQuery("unknown operator " + inQuotes(key));
            } else {
                compiled.fields.push_back(compileField(key, value, depth));
            }
        }
        return compiled;
    }

private:
    FieldConstraint compileField(const std::string& key, const json& condition, int depth) {
        FieldConstraint constraint;
        constraint.field = fieldRef(key);
        if (!isOperatorMap(condition, key)) {
            Condition equal;
            equal.op = Condition::Op::Equal;
            equal.operand = valueOperand(condition, key);
            constraint.conditions.push_back(std::move(equal));
            return constraint;
        }
        for (auto it = condition.begin(); it != condition.end(); ++it) {
            const std::string& op = it.key();
            const json& operand = *it;
            if (op == "$options") {
                if (!condition.contains("$regex")) malformed(op, key, "needs \"$regex\"");
                continue;
            }
            if (op == "$maxDistanceInMiles" || op == "$maxDistanceInKilometers" || op == "$maxDistanceInRadians") {
                if (!condition.contains("$nearSphere")) malformed(op, key, "needs \"$nearSphere\"");
                continue;
            }
            constraint.conditions.push_back(compileOperator(op, operand, condition, key, depth));
        }
        return constraint;
    }

    // A map whose keys start with "$" (and that is not a typed value) holds
    // operators; a map mixing them with other keys is refused.
    static bool isOperatorMap(const json& condition, const std::string& key) {
        if (!condition.is_object() || condition.contains("__type")) return false;
        std::size_t operators = 0;
        for (auto it = condition.begin(); it != condition.end(); ++it) {
            if (isOperatorKey(it.key())) ++operators;
        }
        if (operators == 0) return false;
        if (operators != condition.size())
            invalidQuery("the condition on " + inQuotes(key) + " mixes operators and fields");
        return true;
    }

    // An operand compared with stored values: typed forms are checked like in
    // a write (105, 107 for a bad Date).
    static Term valueOperand(const json& value, const std::string& key) {
        objects::checkWireValue(value, key);
        return termOf(value);
    }

    Condition compileOperator(const std::string& op, const json& operand, const json& condition, const std::string& key,
                              int depth) {
        using Op = Condition::Op;
        Condition compiled;
        if (op == "$ne" || op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte") {
            compiled.op = op == "$ne"    ? Op::NotEqual
                          : op == "$gt"  ? Op::Greater
                          : op == "$gte" ? Op::GreaterOrEqual
                          : op == "$lt"  ? Op::Less
                                         : Op::LessOrEqual;
            compiled.operand = valueOperand(operand, key);
        } else if (op == "$in" || op == "$nin") {
            compiled.op = op == "$in" ? Op::In : Op::NotIn;
            if (!operand.is_array()) malformed(op, key, "needs an array");
            for (const json& value : operand) compiled.operands.push_back(valueOperand(value, key));
        } else if (op == "$exists") {
            compiled.op = Op::Exists;
            if (!operand.is_boolean()) malformed(op, key, "needs true or false");
            compiled.exists = operand.get<bool>();
        } else if (op == "$regex") {
            compiled.op = Op::Regex;
            if (!operand.is_string()) malformed(op, key, "needs a pattern string");
            std::string options;
            if (auto it = condition.find("$options"); it != condition.end()) {
                if (!it->is_string()) malformed("$options", key, "needs a string");
                options = it->get<std::string>();
            }
            compiled.regex = std::make_unique<Regex>(operand.get<std::string>(), options, key);
        } else if (op == "$nearSphere") {
            compiled.op = Op::NearSphere;
            auto point = geoPointOperand(operand);
            if (!point) malformed(op, key, "needs a GeoPoint");
            compiled.point = *point;
            compiled.maxRadians = maxDistance(condition, key);
        } else if (op == "$within") {
            compiled.op = Op::Within;
            compiled.box = box(operand, key);
        } else if (op == "$inQuery" || op == "$notInQuery") {
            compiled.op = op == "$inQuery" ? Op::InQuery : Op::NotInQuery;
            subQuery(op, operand, key, depth, compiled);
        } else {
            invalidQuery("unknown operator " + inQuotes(op) + " on " + inQuotes(key));
        }
        return compiled;
    }

    // The smallest of the "$maxDistanceIn..." limits, in radians (none: infinity).
    static double maxDistance(const json& condition, const std::string& key) {
        static constexpr std::pair<std::string_view, double (*)(double)> kUnits[] = {
            {"$maxDistanceInRadians", [](double radians) { return radians; }},
            {"$maxDistanceInKilometers", kilometersToRadians},
            {"$maxDistanceInMiles", milesToRadians},
        };
        double limit = std::numeric_limits<double>::infinity();
        for (const auto& [name, toRadians] : kUnits) {
            auto it = condition.find(name);
            if (it == condition.end()) continue;
            if (!it->is_number()) malformed(name, key, "needs a number");
            limit = std::min(limit, toRadians(it->get<double>()));
        }
        return limit;
    }

    static GeoBox box(const json& operand, const std::string& key) {
        if (!operand.is_object()) malformed("$within", key, "needs {\"$box\": [southwest, northeast]}");
        for (auto it = operand.begin(); it != operand.end(); ++it) {
            if (it.key() != "$box")
                invalidQuery("unknown operator " + inQuotes(it.key()) + " in \"$within\" of " + inQuotes(key));
        }
        auto corners = operand.find("$box");
        if (corners == operand.end() || !corners->is_array() || corners->size() != 2) {
            malformed("$box", key, "needs two GeoPoints [southwest, northeast]");
        }
        auto southwest = geoPointOperand((*corners)[0]);
        auto northeast = geoPointOperand((*corners)[1]);
        if (!southwest || !northeast) malformed("$box", key, "needs two GeoPoints [southwest, northeast]");
        if (southwest->latitude > northeast->latitude) {
            malformed("$box", key, "has its southwest corner north of its northeast corner");
        }
        return GeoBox{*southwest, *northeast};
    }

    void subQuery(const std::string& op, const json& operand, const std::string& key, int depth, Condition& compiled) {
        if (!operand.is_object()) malformed(op, key, "needs {\"where\": map, \"className\": name}");
        auto where = operand.find("where");
        auto className = operand.find("className");
        if (where == operand.end() || !where->is_object() || className == operand.end() || !className->is_string() ||
            className->get_ref<const std::string&>().empty()) {
            malformed(op, key, "needs {\"where\": map, \"className\": name}");
        }
        compiled.className = className->get<std::string>();
        Where sub = compile(*where, compiled.className, depth + 1);
        compiled.ids = matchingIds(context_, compiled.className, *where, sub);
    }

    IdSet relatedTo(const json& operand, const std::string& className) {
        const auto bad = [] { invalidQuery("\"$relatedTo\" needs {\"object\": Pointer, \"key\": field}"); };
        if (!operand.is_object()) bad();
        auto object = operand.find("object");
        auto key = operand.find("key");
        if (object == operand.end() || key == operand.end() || !key->is_string() ||
            key->get_ref<const std::string&>().empty()) {
            bad();
        }
        auto owner = objects::pointerTarget(*object);
        if (!owner) bad();
        IdSet ids;
        for (auto& target :
             ObjectStore(context_.storage).related(owner->className, owner->objectId, key->get<std::string>())) {
            if (target.className == className) ids.insert(std::move(target.objectId));
        }
        return ids;
    }

    QueryContext& context_;
};

std::optional<NearSphere> findNearSphere(const Where& where) {
    for (const auto& field : where.fields) {
        for (const auto& condition : field.conditions) {
            if (condition.op == Condition::Op::NearSphere) return NearSphere{field.field, condition.point};
        }
    }
    for (const auto* parts : {&where.allOf, &where.anyOf}) {
        for (const auto& part : *parts) {
            if (auto found = findNearSphere(part)) return found;
        }
    }
    return std::nullopt;
}

}  // namespace

// ---------------------------------------------------------------- Regex

Regex::Regex(const std::string& pattern, const std::string& options, const std::string& field) : field_(field) {
    std::uint32_t flags = 0;
    for (char option : options) {
        switch (option) {
            case 'i':
                flags |= UREGEX_CASE_INSENSITIVE;
                break;
            case 'm':
                flags |= UREGEX_MULTILINE;
                break;
            case 's':
                flags |= UREGEX_DOTALL;
                break;
            case 'x':
                flags |= UREGEX_COMMENTS;
                break;
            default:
                malformed("$options", field, "may only hold \"i\", \"m\", \"s\" and \"x\", not " + inQuotes(options));
        }
    }
    UErrorCode status = U_ZERO_ERROR;
    UParseError where{};
    pattern_.reset(icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(pattern), flags, where, status));
    if (U_FAILURE(status) || !pattern_) {
        malformed("$regex", field,
                  "is not a valid regular expression (" + std::string(u_errorName(status)) + " at offset " +
                      std::to_string(where.offset) + ")");
    }
    matcher_.reset(pattern_->matcher(status));
    if (U_SUCCESS(status) && matcher_) matcher_->setTimeLimit(kRegexStepLimit, status);
    if (U_FAILURE(status) || !matcher_) {
        malformed("$regex", field, "cannot be used (" + std::string(u_errorName(status)) + ")");
    }
}

Regex::~Regex() = default;

bool Regex::find(std::string_view text) {
    input_ = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
    matcher_->reset(input_);
    UErrorCode status = U_ZERO_ERROR;
    const bool found = matcher_->find(0, status);
    if (status == U_REGEX_TIME_OUT || status == U_REGEX_STACK_OVERFLOW) {
        malformed("$regex", field_, "takes too long to match");
    }
    if (U_FAILURE(status)) malformed("$regex", field_, "failed to match (" + std::string(u_errorName(status)) + ")");
    return found;
}

// ---------------------------------------------------------------- compiling

Where compileWhere(const json& where, const std::string& className, QueryContext& context) {
    return Compiler(context).compile(where, className, 1);
}

std::optional<std::string> pinnedObjectId(const json& where) {
    if (!where.is_object()) return std::nullopt;
    for (const char* key : {"objectId", "_id"}) {
        auto it = where.find(key);
        if (it != where.end() && it->is_string()) return it->get<std::string>();
    }
    return std::nullopt;
}

std::optional<NearSphere> firstNearSphere(const Where& where) {
    return findNearSphere(where);
}

}  // namespace vorn::emulator::query
