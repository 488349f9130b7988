#pragma once

// The constraint language of "/7/find": a "where" map compiled once per
// request into a tree that Matcher.h evaluates per object.
//
//   where      := {field: condition, ..., "$and": [where...], "$or": [where...],
//                  "$relatedTo": {"object": Pointer, "key": field}}
//   condition  := a plain value (equality) | {"$op": operand, ...} (all must hold)
//
// Every malformed part is a ServiceError (InvalidQuery, or the value checks'
// InvalidFieldType / InvalidDate for a malformed typed form in an operand);
// nothing in a request can make compiling or matching crash. "$inQuery",
// "$notInQuery" and "$relatedTo" are evaluated while compiling, each once per
// request.

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "query/GeoDistance.h"
#include "query/Values.h"

namespace vorn::emulator::query {

struct QueryContext;

// where maps nested in one another ("$and", "$or", "$inQuery") deeper than
// this are refused.
inline constexpr int kMaxWhereDepth = 32;

// A set of objectIds that can be searched with a string_view.
struct IdHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view id) const noexcept { return std::hash<std::string_view>{}(id); }
};
using IdSet = std::unordered_set<std::string, IdHash, std::equal_to<>>;

// A "$regex" compiled once; matches with find() (unanchored).
class Regex {
public:
    // `options`: any of "imsx". Throws ServiceError InvalidQuery naming `field`
    // for an invalid pattern or option.
    Regex(const std::string& pattern, const std::string& options, const std::string& field);
    ~Regex();
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;

    // Throws ServiceError InvalidQuery when the match runs too long.
    bool find(std::string_view text);

private:
    std::string field_;
    std::unique_ptr<icu::RegexPattern> pattern_;
    std::unique_ptr<icu::RegexMatcher> matcher_;
    icu::UnicodeString input_;  // the matcher reads it while matching
};

// One operator on one field.
struct Condition {
    enum class Op {
        Equal,  // a plain value
        NotEqual,
        Greater,
        GreaterOrEqual,
        Less,
        LessOrEqual,
        In,
        NotIn,
        Exists,
        Regex,
        NearSphere,
        Within,
        InQuery,
        NotInQuery,
    };
    Op op = Op::Equal;
    Term operand;                  // Equal, NotEqual, Greater ... LessOrEqual
    std::vector<Term> operands;    // In, NotIn
    bool exists = true;            // Exists
    std::unique_ptr<Regex> regex;  // Regex
    GeoPoint point;                // NearSphere
    double maxRadians = std::numeric_limits<double>::infinity();
    GeoBox box;             // Within
    std::string className;  // InQuery, NotInQuery: the pointers' class ...
    IdSet ids;              // ... and the objectIds of the matching objects
};

// Every condition on one field.
struct FieldConstraint {
    FieldRef field;
    std::vector<Condition> conditions;
};

// One compiled where map: every part must hold.
struct Where {
    std::vector<FieldConstraint> fields;
    std::optional<IdSet> relatedIds;  // "$relatedTo": the objectIds in the relation
    std::vector<Where> allOf;         // "$and"
    bool hasAnyOf = false;            // "$or" (an empty "$or" matches nothing)
    std::vector<Where> anyOf;
};

// Compiles the where map of a find over `className`. The result views into
// `where`, which must outlive it.
Where compileWhere(const nlohmann::json& where, const std::string& className, QueryContext& context);

// The objectId that the map pins with a plain string ("objectId" or "_id"),
// so the scan can read that one row. The compiled constraints still check it.
std::optional<std::string> pinnedObjectId(const nlohmann::json& where);

// The first "$nearSphere" of a where map (its own fields by name, then
// "$and", then "$or" entries), which orders a find without "order".
struct NearSphere {
    FieldRef field;
    GeoPoint point;
};
std::optional<NearSphere> firstNearSphere(const Where& where);

}  // namespace vorn::emulator::query
