// The cache of parsed objects: held to its budget of bytes, never giving an
// object other than what its row holds, and making room once what it holds
// is no longer read.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "query/ObjectCache.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator::emutest {
namespace {

using query::ObjectCache;
using query::ObjectRef;

class EmulatorObjectCacheTest : public ::testing::Test {
protected:
    // Objects first..first+count-1 of a class (four digits each, so every
    // entry costs the same).
    void insert(const std::string& className, int first, int count) {
        for (int i = first; i < first + count; ++i) {
            const std::string data =
                R"({"n":)" + std::to_string(i) + R"(,"name":"an object with a name long enough","tags":["a","b"]})";
            storage_.execute(
                "INSERT INTO objects (class_name, object_id, data, created_at, updated_at, created_ms, updated_ms) "
                "VALUES (?, ?, ?, '2024-01-01 00:00:00', '2024-01-01 00:00:00', ?, ?)",
                {className, id(i), data, i, i});
        }
    }

    static std::string id(int i) { return "object" + std::to_string(i); }

    std::vector<ObjectRef> scan(ObjectCache& cache, const std::string& className) {
        std::vector<ObjectRef> objects;
        cache.scan(storage_, className, std::nullopt, [&](const ObjectRef& object) { objects.push_back(object); });
        return objects;
    }

    // How many objects of the second scan are the very ones of the first.
    static std::size_t reused(const std::vector<ObjectRef>& first, const std::vector<ObjectRef>& second) {
        std::set<const StoredObject*> earlier;
        for (const auto& object : first) earlier.insert(object.get());
        std::size_t count = 0;
        for (const auto& object : second) count += earlier.count(object.get());
        return count;
    }

    // About what one object of insert() costs in the cache.
    std::size_t oneEntry() {
        ObjectCache measuring;
        insert("Probe", 9999, 1);
        scan(measuring, "Probe");
        return measuring.bytes();
    }

    Storage storage_{Storage::Options{"unused", /*memory=*/true}};
};

TEST_F(EmulatorObjectCacheTest, StaysWithinItsBudgetAndGivesWhatTheRowsHold) {
    const std::size_t entry = oneEntry();
    ASSERT_GT(entry, 300U);  // text, parsed values and bookkeeping
    insert("Item", 1000, 1000);
    ObjectCache cache(entry * 100 + entry / 2);
    const auto first = scan(cache, "Item");
    ASSERT_EQ(first.size(), 1000U);
    EXPECT_EQ(cache.size(), 100U);
    EXPECT_LE(cache.bytes(), cache.byteBudget());
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(first[i]->objectId, id(1000 + i));
        EXPECT_EQ(first[i]->fields.at("n"), 1000 + i);
    }
    // The objects kept are reused, scan after scan (a class larger than the
    // cache does not push them out); the others are parsed again, and a
    // rewritten row is read afresh.
    storage_.execute(R"(UPDATE objects SET data = '{"n":-1}' WHERE object_id = ?)", {id(1005)});
    const auto second = scan(cache, "Item");
    ASSERT_EQ(second.size(), 1000U);
    EXPECT_EQ(reused(first, second), 99U);
    EXPECT_EQ(second[5]->fields, (nlohmann::json{{"n", -1}}));
    for (int round = 0; round < 3; ++round) EXPECT_EQ(reused(second, scan(cache, "Item")), 100U);
    EXPECT_LE(cache.bytes(), cache.byteBudget());

    ObjectCache none(0);
    EXPECT_EQ(scan(none, "Item").size(), 1000U);
    EXPECT_EQ(none.size(), 0U);
    EXPECT_EQ(none.bytes(), 0U);
}

TEST_F(EmulatorObjectCacheTest, AFullCacheMakesRoomWhenWhatItHoldsIsNoLongerRead) {
    const std::size_t entry = oneEntry();
    ObjectCache cache(entry * 200 + entry / 2);
    insert("Old", 1000, 200);
    scan(cache, "Old");
    ASSERT_EQ(cache.size(), 200U);
    // New rows first, so that they do not take the deleted rows' rowids (an
    // entry of a reused rowid is replaced when its row is read).
    insert("New", 2000, 200);
    storage_.execute("DELETE FROM objects WHERE class_name = 'Old'");
    // The entries of the deleted rows go once enough finds have passed
    // without reading them; until then the new objects are parsed each time.
    std::vector<ObjectRef> before = scan(cache, "New");
    std::uint64_t finds = 1;
    EXPECT_EQ(reused(before, scan(cache, "New")), 0U);
    for (; finds < 2 * ObjectCache::kIdleFinds; ++finds) {
        const std::vector<ObjectRef> next = scan(cache, "New");
        const bool allKept = reused(before, next) == 200U;
        before = next;
        if (allKept) break;
    }
    EXPECT_GT(finds, ObjectCache::kIdleFinds - 2);
    EXPECT_LT(finds, 2 * ObjectCache::kIdleFinds);
    EXPECT_EQ(cache.size(), 200U);
    EXPECT_LE(cache.bytes(), cache.byteBudget());
}

TEST_F(EmulatorObjectCacheTest, CountsDeeplyNestedDataWithoutRecursing) {
    std::string deep(100000, '[');
    deep += std::string(100000, ']');
    storage_.execute(
        "INSERT INTO objects (class_name, object_id, data, created_at, updated_at, created_ms, updated_ms) "
        "VALUES ('Deep', 'd', ?, '2024-01-01 00:00:00', '2024-01-01 00:00:00', 1, 1)",
        {R"({"v":)" + deep + "}"});
    ObjectCache cache;
    const auto objects = scan(cache, "Deep");
    ASSERT_EQ(objects.size(), 1U);
    // Every level is an array of one: its own allocation and one value.
    EXPECT_GT(cache.bytes(), 100000U * 50);
}

}  // namespace
}  // namespace vorn::emulator::emutest
