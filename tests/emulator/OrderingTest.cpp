// The window of ordered results: whatever the keys, skip and limit, it gives
// what a stable sort of every object and a slice of it give, while holding
// only the objects of the window.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "query/Ordering.h"

namespace vorn::emulator::emutest {
namespace {

using nlohmann::json;
using query::ObjectRef;
using query::OrderedWindow;

// Few distinct values, so that ties are many; some fields are missing or of
// another kind, and some places are no GeoPoint.
std::vector<ObjectRef> makeObjects(std::size_t count) {
    std::mt19937 random(7);
    std::vector<ObjectRef> objects;
    for (std::size_t i = 0; i < count; ++i) {
        auto object = std::make_shared<StoredObject>();
        object->className = "Item";
        object->objectId = "o" + std::to_string(1000 + random() % 9000);
        const unsigned a = random() % 13;
        if (a == 0) {
            object->fields["a"] = "text";
        } else if (a != 1) {
            object->fields["a"] = a % 4;
        }
        object->fields["b"] = random() % 3;
        if (random() % 5 != 0) {
            object->fields["place"] = {{"__type", "GeoPoint"},
                                       {"latitude", static_cast<double>(random() % 180) - 90},
                                       {"longitude", static_cast<double>(random() % 360) - 180}};
        }
        objects.push_back(std::move(object));
    }
    return objects;
}

std::vector<std::string> slice(const std::vector<ObjectRef>& objects, std::vector<std::size_t> order, std::size_t skip,
                               std::size_t limit) {
    std::vector<std::string> ids;
    for (std::size_t i = skip; i < order.size() && i - skip < limit; ++i) ids.push_back(objects[order[i]]->objectId);
    return ids;
}

std::vector<std::string> windowed(OrderedWindow window, const std::vector<ObjectRef>& objects) {
    for (const auto& object : objects) window.offer(object);
    std::vector<std::string> ids;
    for (const auto& object : window.take()) ids.push_back(object->objectId);
    return ids;
}

const std::vector<std::pair<std::size_t, std::size_t>> kWindows{{0, 0},
                                                                {0, 1},
                                                                {0, 10},
                                                                {5, 10},
                                                                {290, 100},
                                                                {0, 1000},
                                                                {1000, 5},
                                                                {std::numeric_limits<std::size_t>::max(), 3},
                                                                {3, std::numeric_limits<std::size_t>::max()}};

TEST(EmulatorOrderedWindowTest, KeysGiveWhatAStableSortGives) {
    const auto objects = makeObjects(300);
    for (const char* text : {"", "a", "-a", "a,-b", "b,a", "-b,-a,objectId", "missing"}) {
        const auto keys = query::parseOrder(text);
        std::vector<std::size_t> order(objects.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
            for (const auto& key : keys) {
                int c = query::compareForSort(query::sortTerm(key.field, *objects[x]),
                                              query::sortTerm(key.field, *objects[y]));
                if (key.descending) c = -c;
                if (c != 0) return c < 0;
            }
            return false;
        });
        for (const auto& [skip, limit] : kWindows) {
            EXPECT_EQ(windowed(OrderedWindow(keys, skip, limit), objects), slice(objects, order, skip, limit))
                << "order \"" << text << "\", skip " << skip << ", limit " << limit;
        }
    }
}

TEST(EmulatorOrderedWindowTest, DistancesGiveWhatAStableSortGives) {
    const auto objects = makeObjects(300);
    const query::GeoPoint from{52.5, 13.4};
    const auto field = query::fieldRef("place");
    std::vector<double> distance;
    for (const auto& object : objects) {
        const auto point = query::sortTerm(field, *object);
        distance.push_back(point.kind == query::Kind::GeoPoint
                               ? query::distanceRadians(query::GeoPoint{point.latitude, point.longitude}, from)
                               : std::numeric_limits<double>::infinity());
    }
    std::vector<std::size_t> order(objects.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t x, std::size_t y) { return distance[x] < distance[y]; });
    for (const auto& [skip, limit] : kWindows) {
        EXPECT_EQ(windowed(OrderedWindow(field, from, skip, limit), objects), slice(objects, order, skip, limit))
            << "skip " << skip << ", limit " << limit;
    }
}

TEST(EmulatorOrderedWindowTest, HoldsOnlyTheObjectsOfTheWindow) {
    auto objects = makeObjects(1000);
    OrderedWindow window(query::parseOrder("-b,a"), 5, 10);
    std::vector<std::weak_ptr<const StoredObject>> offered;
    for (auto& object : objects) {
        offered.emplace_back(object);
        window.offer(object);
        object.reset();  // the window's reference is the only one
    }
    const auto alive = std::count_if(offered.begin(), offered.end(), [](const auto& weak) { return !weak.expired(); });
    EXPECT_EQ(alive, 15);
    EXPECT_EQ(window.take().size(), 10U);

    // In the offering order the skipped objects are not kept either.
    objects = makeObjects(1000);
    OrderedWindow inOrder({}, 500, 10);
    offered.clear();
    for (auto& object : objects) {
        offered.emplace_back(object);
        inOrder.offer(object);
        object.reset();
    }
    EXPECT_EQ(std::count_if(offered.begin(), offered.end(), [](const auto& weak) { return !weak.expired(); }), 10);
    EXPECT_EQ(inOrder.take().size(), 10U);
}

}  // namespace
}  // namespace vorn::emulator::emutest
