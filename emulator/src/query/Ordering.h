#pragma once

// The order of find results: "order" keys, distance from a "$nearSphere"
// point, or the store's order (createdAt, then objectId).

#include <cstddef>
#include <string_view>
#include <vector>

#include "query/GeoDistance.h"
#include "query/ObjectCache.h"
#include "query/Values.h"

namespace vorn::emulator::query {

// More keys than this in one "order" are refused.
inline constexpr std::size_t kMaxOrderKeys = 32;

struct OrderKey {
    FieldRef field;
    bool descending = false;
};

// "score,-name": keys separated by commas, "-" in front for descending;
// blanks around keys and empty keys are skipped. Throws ServiceError
// InvalidQuery for more than kMaxOrderKeys keys.
std::vector<OrderKey> parseOrder(std::string_view text);

// Objects [skip, skip + limit) of `objects` (which are in the store's order)
// once sorted by `keys`: values compare with compareForSort, a missing field
// first when ascending; ties keep the store's order.
std::vector<ObjectRef> takeOrdered(const std::vector<ObjectRef>& objects, const std::vector<OrderKey>& keys,
                                   std::size_t skip, std::size_t limit);

// The same by distance from `from`, nearest first; objects whose field is not
// a GeoPoint come last.
std::vector<ObjectRef> takeNearest(const std::vector<ObjectRef>& objects, const FieldRef& field, const GeoPoint& from,
                                   std::size_t skip, std::size_t limit);

}  // namespace vorn::emulator::query
