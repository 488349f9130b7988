#include "query/Ordering.h"

#include <algorithm>
#include <limits>
#include <numeric>
#include <string>

#include "TextHelpers.h"
#include "vorn_emulator/ServiceError.h"

namespace vorn::emulator::query {

namespace {

// Sorts the indexes 0..count-1 with `less` (ties broken by index, so the
// store's order stays) far enough that the first skip + limit are in place,
// and returns those objects.
template <class Less>
std::vector<ObjectRef> take(const std::vector<ObjectRef>& objects, std::size_t skip, std::size_t limit, Less less) {
    const std::size_t count = objects.size();
    if (skip >= count) return {};
    const std::size_t end = limit > count - skip ? count : skip + limit;
    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto before = [&](std::size_t a, std::size_t b) {
        if (less(a, b)) return true;
        if (less(b, a)) return false;
        return a < b;
    };
    if (end < count) {
        std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(end), order.end(), before);
    } else {
        std::sort(order.begin(), order.end(), before);
    }
    std::vector<ObjectRef> taken;
    taken.reserve(end - skip);
    for (std::size_t i = skip; i < end; ++i) taken.push_back(objects[order[i]]);
    return taken;
}

}  // namespace

std::vector<OrderKey> parseOrder(std::string_view text) {
    std::vector<OrderKey> keys;
    while (!text.empty()) {
        const auto comma = text.find(',');
        std::string_view key = trimmed(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        bool descending = false;
        if (key.starts_with('-')) {
            descending = true;
            key = trimmed(key.substr(1));
        }
        if (key.empty()) continue;
        if (keys.size() == kMaxOrderKeys) {
            throw ServiceError(ErrorCode::InvalidQuery,
                               "invalid query: more than " + std::to_string(kMaxOrderKeys) + " keys in \"order\"");
        }
        keys.push_back(OrderKey{fieldRef(key), descending});
    }
    return keys;
}

std::vector<ObjectRef> takeOrdered(const std::vector<ObjectRef>& objects, const std::vector<OrderKey>& keys,
                                   std::size_t skip, std::size_t limit) {
    if (keys.empty()) {
        std::vector<ObjectRef> taken;
        for (std::size_t i = skip; i < objects.size() && i - skip < limit; ++i) taken.push_back(objects[i]);
        return taken;
    }
    // Each object's sort values, read once: terms[i * keys.size() + k]. They
    // view into the objects.
    const std::size_t width = keys.size();
    std::vector<Term> terms;
    terms.reserve(objects.size() * width);
    for (const auto& object : objects) {
        for (const auto& key : keys) terms.push_back(sortTerm(key.field, *object));
    }
    return take(objects, skip, limit, [&](std::size_t a, std::size_t b) {
        for (std::size_t k = 0; k < width; ++k) {
            int order = compareForSort(terms[a * width + k], terms[b * width + k]);
            if (keys[k].descending) order = -order;
            if (order != 0) return order < 0;
        }
        return false;
    });
}

std::vector<ObjectRef> takeNearest(const std::vector<ObjectRef>& objects, const FieldRef& field, const GeoPoint& from,
                                   std::size_t skip, std::size_t limit) {
    std::vector<double> distances;
    distances.reserve(objects.size());
    for (const auto& object : objects) {
        const Term point = sortTerm(field, *object);
        distances.push_back(point.kind == Kind::GeoPoint
                                ? distanceRadians(GeoPoint{point.latitude, point.longitude}, from)
                                : std::numeric_limits<double>::infinity());
    }
    return take(objects, skip, limit, [&](std::size_t a, std::size_t b) { return distances[a] < distances[b]; });
}

}  // namespace vorn::emulator::query
