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

// Objects [skip, skip + limit) of those offered once put in order: by
// "order" keys (values compare with compareForSort, a missing field first
// when ascending), by distance from a point (nearest first, objects whose
// field is not a GeoPoint last), or as offered. Objects are offered one at a
// time in the store's order, which ties keep. Only the best skip + limit are
// held (in the offering order only the limit), so a find over a large class
// keeps at most that many objects alive.
class OrderedWindow {
public:
    OrderedWindow(std::vector<OrderKey> keys, std::size_t skip, std::size_t limit);
    OrderedWindow(FieldRef field, GeoPoint from, std::size_t skip, std::size_t limit);

    void offer(const ObjectRef& object);
    // The window, once every object was offered.
    std::vector<ObjectRef> take();

private:
    enum class By { Offering, Keys, Distance };
    struct Entry {
        ObjectRef object;
        std::size_t index = 0;  // in the offering order
        double distance = 0;
        std::vector<Term> terms;  // one per key; they view into the object
    };
    bool before(const Entry& a, const Entry& b) const;

    By by_;
    std::vector<OrderKey> keys_;
    FieldRef field_;
    GeoPoint from_;
    std::size_t skip_;
    std::size_t keep_;  // skip + limit, saturated
    std::size_t offered_ = 0;
    std::vector<Entry> heap_;  // the worst entry kept on top
    Entry next_;               // the entry being offered, reused
};

}  // namespace vorn::emulator::query
