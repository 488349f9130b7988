#pragma once

// Running finds: the scan of a class's objects with a compiled where map,
// then order, skip and limit.

#include <cstddef>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "query/Constraints.h"
#include "query/ObjectCache.h"
#include "query/Ordering.h"

namespace vorn::emulator::accounts {
class Caller;
}

namespace vorn::emulator::query {

inline constexpr std::size_t kDefaultLimit = 100;
inline constexpr std::size_t kMaxLimit = 1000;  // larger limits are lowered to it

// What the queries of one request work with.
struct QueryContext {
    Storage& storage;
    ObjectCache& cache;                  // kept between requests
    accounts::Caller* caller = nullptr;  // whose reads these are; null: every object is visible
    // Whether finds may read their candidates from the field index
    // (FieldIndex.h); false scans every object of the class, which tests
    // compare against.
    bool useFieldIndex = true;
};

// Calls onMatch with each object of `className` that satisfies `where`
// (compiled from `whereJson`) and that the caller may read, oldest first.
// SQLite selects the class and an objectId the map pins, or the candidates
// of the field index for the map's top-level conditions; every constraint
// is checked here.
void forEachMatch(QueryContext& context, const std::string& className, const nlohmann::json& whereJson, Where& where,
                  const std::function<void(const ObjectRef&)>& onMatch);

// The objectIds of the objects that forEachMatch finds.
IdSet matchingIds(QueryContext& context, const std::string& className, const nlohmann::json& whereJson, Where& where);

struct FindRequest {
    std::string className;
    const nlohmann::json* where = nullptr;  // null: every object
    std::vector<OrderKey> order;            // empty: by distance with a "$nearSphere", else the store's order
    std::size_t skip = 0;
    std::size_t limit = kDefaultLimit;  // at most kMaxLimit
    bool countOnly = false;
};

struct FindResult {
    std::size_t count = 0;           // every match, before skip and limit
    std::vector<ObjectRef> objects;  // empty for countOnly
};

FindResult runFind(QueryContext& context, const FindRequest& request);

}  // namespace vorn::emulator::query
