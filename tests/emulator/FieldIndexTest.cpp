// The field index: finds and counts that read their candidates from it give
// exactly what a scan of every object gives, whatever the data and however
// it was written.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "AccountsTestUtil.h"
#include "ObjectTestUtil.h"
#include "accounts/AccessControl.h"
#include "query/FieldIndex.h"
#include "query/Query.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator::emutest {
namespace {

// What a find or a count gave: the objectIds in order, or the error.
struct Outcome {
    std::size_t count = 0;
    std::vector<std::string> ids;
    std::string error;
    friend bool operator==(const Outcome&, const Outcome&) = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
    out << "count " << outcome.count << ", error \"" << outcome.error << "\", ids";
    for (const auto& id : outcome.ids) out << ' ' << id;
    return out;
}

struct Find {
    Json where = Json::object();
    std::string order;
    std::size_t skip = 0;
    std::size_t limit = query::kDefaultLimit;
    bool anonymous = false;  // as a caller without a session; else every object is visible
};

Find findOf(Json where, std::string order = "", std::size_t skip = 0, std::size_t limit = query::kDefaultLimit,
            bool anonymous = false) {
    Find find;
    find.where = std::move(where);
    find.order = std::move(order);
    find.skip = skip;
    find.limit = limit;
    find.anonymous = anonymous;
    return find;
}

Outcome run(Storage& storage, const std::string& className, const Find& find, bool useFieldIndex, bool countOnly) {
    Outcome outcome;
    query::ObjectCache cache;
    auto caller = accounts::Caller::anonymous(storage);
    query::QueryContext context{storage, cache, find.anonymous ? &caller : nullptr, useFieldIndex};
    query::FindRequest request;
    request.className = className;
    request.where = &find.where;
    if (!find.order.empty()) request.order = query::parseOrder(find.order);
    request.skip = find.skip;
    request.limit = find.limit;
    request.countOnly = countOnly;
    try {
        const auto result = query::runFind(context, request);
        outcome.count = result.count;
        for (const auto& object : result.objects) outcome.ids.push_back(object->objectId);
    } catch (const std::exception& e) {
        outcome.error = e.what();
    }
    return outcome;
}

// Whether the where map's candidates come from the index.
bool usesIndex(Storage& storage, const std::string& className, const Json& where) {
    query::ObjectCache cache;
    query::QueryContext context{storage, cache};
    const query::Where compiled = query::compileWhere(where, className, context);
    return query::indexedCandidates(storage, className, compiled).has_value();
}

// Compares the indexed find and count with the scanning ones; returns the
// indexed find.
Outcome expectSame(Storage& storage, const std::string& className, const Find& find) {
    const Outcome indexed = run(storage, className, find, true, false);
    EXPECT_EQ(indexed, run(storage, className, find, false, false)) << find.where.dump();
    EXPECT_EQ(run(storage, className, find, true, true), run(storage, className, find, false, true))
        << find.where.dump();
    return indexed;
}

std::vector<std::string> sorted(std::vector<std::string> ids) {
    std::sort(ids.begin(), ids.end());
    return ids;
}

Json date(const std::string& iso) {
    return Json{{"__type", "Date"}, {"iso", iso}};
}

class EmulatorFieldIndexTest : public ObjectEndpointTest {
protected:
    Outcome same(Find find, const std::string& className = "Mix") {
        return server_->call([&] { return expectSame(server_->storage(), className, find); });
    }

    bool indexed(const Json& where, const std::string& className = "Mix") {
        return server_->call([&] { return usesIndex(server_->storage(), className, where); });
    }

    // The index rows of one field of a class ("" for the kind 'x' rows).
    std::size_t fieldRows(const std::string& className, const std::string& key) {
        return server_->call([&] {
            return static_cast<std::size_t>(
                server_->storage()
                    .queryOne("SELECT count(*) FROM field_index WHERE class_name = ? AND key = ?", {className, key})
                    ->at(0)
                    .asInt());
        });
    }

    std::size_t indexRows(const std::string& objectId) {
        return server_->call([&] {
            return static_cast<std::size_t>(
                server_->storage()
                    .queryOne("SELECT count(*) FROM field_index WHERE object_id = ?", {objectId})
                    ->at(0)
                    .asInt());
        });
    }

    // One object per value of "v", each with a "rank" (ties in pairs).
    void createMixed() {
        const std::vector<Json> values{
            "5",
            5,
            5.0,
            true,
            false,
            1,
            0,
            -0.0,
            "true",
            nullptr,
            Json::array({5, "5"}),
            Json::array({Json::array({5})}),
            Json::array({true, 7.5}),
            date("2024-01-01 00:00:00"),
            Json{{"a", 5}},
            5.0000000001,
            4.9999999999,
            9007199254740993LL,
            9007199254740992.0,
            1e308,
            -1e308,
            18446744073709551615ULL,
            "",
            std::string("a\0b", 3),
            "a",
            Json{{"__type", "GeoPoint"}, {"latitude", 5}, {"longitude", 5}},
        };
        int rank = 0;
        for (const Json& value : values) {
            ids_.push_back(create("Mix", {{"v", value}, {"rank", rank / 2}, {"even", rank % 2 == 0}}));
            ++rank;
        }
        ids_.push_back(create("Mix", {{"rank", 100}}));  // no "v"
    }

    std::vector<std::string> ids_;
};

TEST_F(EmulatorFieldIndexTest, MixedKindsUnderOneKeyGiveWhatAScanGives) {
    createMixed();
    const std::vector<Json> wheres{
        {{"v", 5}},
        {{"v", "5"}},
        {{"v", 5.0}},
        {{"v", true}},
        {{"v", false}},
        {{"v", 0}},
        {{"v", 1}},
        {{"v", 7.5}},
        {{"v", "true"}},
        {{"v", ""}},
        {{"v", "a"}},
        {{"v", 9007199254740993LL}},
        {{"v", 9007199254740992LL}},
        {{"v", 18446744073709551615ULL}},
        {{"v", 1e308}},
        {{"v", {{"$gt", 4}}}},
        {{"v", {{"$gt", 5}}}},
        {{"v", {{"$gte", 5}}}},
        {{"v", {{"$gte", 5}, {"$lt", 6}}}},
        {{"v", {{"$lt", 5}}}},
        {{"v", {{"$lte", 0}}}},
        {{"v", {{"$lt", 0}}}},
        {{"v", {{"$gt", 9007199254740992LL}}}},
        {{"v", {{"$gte", 1e308}}}},
        {{"v", {{"$gt", 5}, {"$lt", 5}}}},
        {{"v", {{"$in", {5, "5", true}}}}},
        {{"v", {{"$in", {"a", 0}}}}},
        {{"v", {{"$in", Json::array()}}}},
        {{"v", 5}, {"even", true}},
        {{"v", {{"$gt", 4}}}, {"even", false}},
        {{"v", 5}, {"$or", {{{"rank", 0}}, {{"rank", 5}}}}},
        {{"v", 5}, {"rank", {{"$ne", 0}}}},
        {{"v", {{"$gt", 0}, {"$ne", 5}}}},
        {{"v", {{"$in", {5, "5"}}, {"$nin", {5.0}}}}},
        {{"nothing", 5}},
        {{"nothing", {{"$gt", 0}}}},
    };
    for (const Json& where : wheres) {
        EXPECT_TRUE(indexed(where)) << where.dump();
        same(findOf(where));
        same(findOf(where, "-rank,v"));
        same(findOf(where, "rank", 1, 2));
    }
    // Equal numbers in any form and arrays holding one; ranges skip arrays.
    EXPECT_EQ(same(findOf({{"v", 5}})).count, 3u);
    EXPECT_EQ(same(findOf({{"v", {{"$gte", 5}, {"$lt", 6}}}})).count, 3u);
    EXPECT_EQ(same(findOf({{"v", 7.5}})).count, 1u);
    EXPECT_EQ(same(findOf({{"v", 9007199254740993LL}})).count, 1u);
    // Numbers, booleans and texts are kept apart.
    EXPECT_EQ(sorted(same(findOf({{"v", true}})).ids), sorted({ids_[3], ids_[12]}));
    EXPECT_EQ(sorted(same(findOf({{"v", "5"}})).ids), sorted({ids_[0], ids_[10]}));
}

TEST_F(EmulatorFieldIndexTest, ConditionsTheIndexDoesNotHoldStillScan) {
    createMixed();
    const std::vector<Json> wheres{
        Json::object(),
        {{"v", nullptr}},
        {{"v", {{"$gt", "4"}}}},
        {{"v", {{"$gt", date("2023-01-01 00:00:00")}}}},
        {{"v", date("2024-01-01 00:00:00")}},
        {{"v", std::string("a\0b", 3)}},
        {{"v", Json::array({5, "5"})}},
        {{"v", {{"a", 5}}}},
        {{"v", {{"$exists", true}}}},
        {{"v", {{"$ne", 5}}}},
        {{"v", {{"$in", {5, nullptr}}}}},
        {{"$or", {{{"v", 5}}, {{"v", "5"}}}}},
        {{"$and", {{{"v", 5}}}}},
        {{"createdAt", {{"$gt", date("2020-01-01 00:00:00")}}}},
    };
    for (const Json& where : wheres) {
        EXPECT_FALSE(indexed(where)) << where.dump();
        same(findOf(where, "rank"));
    }
}

TEST_F(EmulatorFieldIndexTest, TiesInOrderWithSkipAndLimit) {
    for (int i = 0; i < 30; ++i) create("Tie", {{"cat", i % 3 == 0 ? "a" : "b"}, {"score", i % 4}});
    for (const std::string order : {"", "score", "-score", "-score,cat", "cat"}) {
        for (std::size_t skip : {0, 1, 3, 9}) {
            for (std::size_t limit : {0, 1, 2, 5, 100}) {
                same(findOf({{"cat", "a"}}, order, skip, limit), "Tie");
                same(findOf({{"score", {{"$gte", 1}, {"$lt", 3}}}}, order, skip, limit), "Tie");
            }
        }
    }
    EXPECT_EQ(same(findOf({{"cat", "a"}}), "Tie").count, 10u);
}

TEST_F(EmulatorFieldIndexTest, HiddenObjectsStayHiddenInFindsAndCounts) {
    for (int i = 0; i < 6; ++i) {
        Json data{{"cat", "a"}, {"n", i}};
        if (i % 2 == 1) data["ACL"] = aclOf({{"someone", kReadOnly}});
        create("Secret", data);
    }
    const Outcome visible = same(findOf({{"cat", "a"}}, "n", 0, 100, true), "Secret");
    EXPECT_EQ(visible.ids.size(), 3u);
    same(findOf({{"n", {{"$gte", 1}}}}, "-n", 1, 100, true), "Secret");
    EXPECT_EQ(same(findOf({{"cat", "a"}}), "Secret").ids.size(), 6u);
}

TEST_F(EmulatorFieldIndexTest, UpdatesDeletesAndBatchesKeepTheIndexCurrent) {
    const std::string a = create("Item", {{"n", 1}, {"tags", Json::array({"x"})}, {"cat", "a"}});
    const std::string b = create("Item", {{"n", 2}, {"cat", "a"}});
    const std::string c = create("Item", {{"n", 3}, {"cat", "b"}});
    ASSERT_EQ(update("Item", a, {{"n", increment(10)}, {"tags", op("Add", {"y"})}}).code(), 200);
    ASSERT_EQ(update("Item", b, {{"cat", {{"__op", "Delete"}}}}).code(), 200);
    EXPECT_EQ(same(findOf({{"n", 11}}), "Item").ids, std::vector<std::string>{a});
    EXPECT_EQ(same(findOf({{"n", 1}}), "Item").ids, std::vector<std::string>{});
    EXPECT_EQ(same(findOf({{"tags", "y"}}), "Item").ids, std::vector<std::string>{a});
    EXPECT_EQ(same(findOf({{"cat", "a"}}), "Item").ids, std::vector<std::string>{a});

    Json requests = Json::array();
    requests.push_back({{"method", "PUT"}, {"path", "/1/classes/Item/" + c}, {"body", {{"n", increment(-3)}}}});
    requests.push_back({{"method", "DELETE"}, {"path", "/1/classes/Item/" + a}});
    requests.push_back({{"method", "POST"}, {"path", "/1/classes/Item"}, {"body", {{"n", 0}, {"cat", "b"}}}});
    const Reply reply = call("/7/batch", nullptr, nullptr, {{"requests", requests}});
    ASSERT_EQ(reply.code(), 200) << reply.body;
    const std::string d = reply.data().at(2).at("success").at("objectId");
    EXPECT_EQ(indexRows(a), 0u);
    const Outcome zero = same(findOf({{"n", 0}}, "", 0, 100), "Item");
    EXPECT_EQ(zero.count, 2u);
    EXPECT_EQ(same(findOf({{"n", {{"$gt", 5}}}}), "Item").count, 0u);
    EXPECT_EQ(same(findOf({{"cat", "b"}}, "objectId"), "Item").count, 2u);
    ASSERT_EQ(call("/7/delete", "Item", d, nullptr).code(), 200);
    EXPECT_EQ(indexRows(d), 0u);
    EXPECT_EQ(same(findOf({{"cat", "b"}}), "Item").ids, std::vector<std::string>{c});
}

TEST_F(EmulatorFieldIndexTest, RowsWrittenStraightIntoTheTableAreIndexedAndBadOnesFailAlike) {
    const std::string a = create("Raw", {{"n", 1}});
    server_->call([&] {
        Storage& storage = server_->storage();
        storage.execute("UPDATE objects SET data = ? WHERE object_id = ?", {R"({"n": 2, "m": [2]})", a});
        storage.execute(
            "INSERT INTO objects (class_name, object_id, data, created_at, updated_at, created_ms, updated_ms) "
            "VALUES ('Raw', 'r1', '{\"n\": 2.0}', '2024-01-01 00:00:00', '2024-01-01 00:00:00', 1, 1)");
        // Texts with escaped surrogates, and data that is no JSON object at all.
        storage.execute(
            "INSERT INTO objects (class_name, object_id, data, created_at, updated_at, created_ms, updated_ms) "
            "VALUES ('Raw', 'r2', '{\"n\": 7, \"s\": \"\\ud83d\\ude00\"}', '2024-01-01 00:00:00', "
            "'2024-01-01 00:00:00', 2, 2)");
    });
    EXPECT_EQ(same(findOf({{"n", 2}}), "Raw").ids, (std::vector<std::string>{"r1", a}));
    EXPECT_EQ(same(findOf({{"m", 2}}), "Raw").ids, std::vector<std::string>{a});
    EXPECT_EQ(same(findOf({{"s", "\xF0\x9F\x98\x80"}}), "Raw").ids, std::vector<std::string>{"r2"});
    server_->call([&] {
        server_->storage().execute(
            "INSERT INTO objects (class_name, object_id, data, created_at, updated_at, created_ms, updated_ms) "
            "VALUES ('Raw', 'r3', '[1]', '2024-01-01 00:00:00', '2024-01-01 00:00:00', 3, 3)");
        server_->storage().execute(
            "INSERT INTO objects (class_name, object_id, data, created_at, updated_at, created_ms, updated_ms) "
            "VALUES ('Raw', 'r4', 'not json', '2024-01-01 00:00:00', '2024-01-01 00:00:00', 4, 4)");
    });
    const Outcome failed = same(findOf({{"n", 2}}), "Raw");
    EXPECT_NE(failed.error.find("r3"), std::string::npos) << failed.error;
}

Json geoPoint(double latitude, double longitude) {
    return Json{{"__type", "GeoPoint"}, {"latitude", latitude}, {"longitude", longitude}};
}

Json nearWhere(const Json& center, const std::string& limitKey, double limit) {
    return Json{{"place", {{"$nearSphere", center}, {limitKey, limit}}}};
}

Json boxWhere(const Json& southwest, const Json& northeast) {
    return Json{{"place", {{"$within", {{"$box", Json::array({southwest, northeast})}}}}}};
}

TEST_F(EmulatorFieldIndexTest, GeoConditionsReadALatitudeBandAndGiveWhatAScanGives) {
    std::vector<std::string> ids;
    for (const double latitude : {-90.0, -89.99, -45.0, -0.001, 0.0, 0.001, 45.0, 52.5, 52.6, 89.99, 90.0}) {
        for (const double longitude : {-180.0, -179.9, 0.0, 13.4, 179.9, 180.0}) {
            ids.push_back(create("Geo", {{"place", geoPoint(latitude, longitude)}}));
        }
    }
    // What is no GeoPoint, or is one only as the emulator reads it.
    create("Geo", {{"place", {{"latitude", 52.5}, {"longitude", 13.4}}}});
    create("Geo", {{"place", Json::array({geoPoint(52.5, 13.4)})}});
    create("Geo", {{"other", geoPoint(52.5, 13.4)}});
    create("Geo", {{"place", geoPoint(52.5, 13.4)}, {"rank", 1}});
    server_->call([&] {
        const char* insert =
            "INSERT INTO objects (class_name, object_id, data, created_at, updated_at, created_ms, updated_ms) "
            "VALUES ('Geo', ?, ?, '2024-01-01 00:00:00', '2024-01-01 00:00:00', 1, 1)";
        Storage& storage = server_->storage();
        storage.execute(insert, {"d1", R"({"place": {"__type": "GeoPoint", "latitude": 0, "latitude": 52.5,)"
                                       R"( "longitude": 13.4}})"});
        storage.execute(insert, {"d2", R"({"place": {"__type": "Other", "__type": "GeoPoint", "latitude": 52.5,)"
                                       R"( "longitude": 13.4}})"});
        storage.execute(insert, {"d3", R"({"place": 1, "place": {"__type": "GeoPoint", "latitude": 52.5,)"
                                       R"( "longitude": 13.4}})"});
        storage.execute(insert, {"d4", R"({"place": {"__type": "GeoPoint", "latitude": "52.5", "longitude": 13.4}})"});
        storage.execute(insert,
                        {"d5", R"({"place": {"__type": "GeoP\u006fint", "latitude": 52.5, "longitude": 13.4}})"});
    });

    const std::vector<Json> centers{geoPoint(52.5, 13.4), geoPoint(0, 0),      geoPoint(90, 0),
                                    geoPoint(-90, 0),     geoPoint(0, 179.95), geoPoint(52.55, -180)};
    for (const Json& center : centers) {
        for (const double kilometers : {0.0, 1.0, 12.0, 100.0, 5000.0, 20000.0}) {
            const Json where = nearWhere(center, "$maxDistanceInKilometers", kilometers);
            EXPECT_TRUE(indexed(where, "Geo")) << where.dump();
            same(findOf(where, "", 0, 1000), "Geo");
        }
        same(findOf(nearWhere(center, "$maxDistanceInMiles", 7.5), "", 0, 1000), "Geo");
        same(findOf(nearWhere(center, "$maxDistanceInRadians", 0.02), "", 0, 1000), "Geo");
        // Limits of a half circle and more span every latitude: a scan.
        EXPECT_FALSE(indexed(nearWhere(center, "$maxDistanceInRadians", 3.2), "Geo"));
        same(findOf(nearWhere(center, "$maxDistanceInRadians", 3.2), "", 0, 1000), "Geo");
        EXPECT_FALSE(indexed(Json{{"place", {{"$nearSphere", center}}}}, "Geo"));
    }
    // A point on its own: what is at it, also when its map repeats members
    // or spells its type with an escape.
    const Outcome at = same(findOf(nearWhere(geoPoint(52.5, 13.4), "$maxDistanceInKilometers", 0)), "Geo");
    EXPECT_EQ(at.ids.size(), 6u);
    for (const char* id : {"d1", "d2", "d3", "d5"})
        EXPECT_NE(std::find(at.ids.begin(), at.ids.end(), id), at.ids.end());

    const std::vector<std::pair<Json, Json>> boxes{
        {geoPoint(52, 13), geoPoint(53, 14)},     {geoPoint(-1, -1), geoPoint(1, 1)},
        {geoPoint(45, 179), geoPoint(90, -179)},  {geoPoint(-90, -180), geoPoint(90, 180)},
        {geoPoint(0.001, 0), geoPoint(0.001, 0)}, {geoPoint(89.99, -180), geoPoint(90, 180)}};
    for (const auto& [southwest, northeast] : boxes) {
        const Json where = boxWhere(southwest, northeast);
        EXPECT_TRUE(indexed(where, "Geo")) << where.dump();
        same(findOf(where, "", 0, 1000), "Geo");
    }
    EXPECT_EQ(same(findOf(boxWhere(geoPoint(52, 13), geoPoint(53, 14)), "", 0, 1000), "Geo").ids.size(), 7u);
    // With another condition the band and the range are intersected.
    same(findOf({{"place", {{"$within", {{"$box", Json::array({geoPoint(52, 13), geoPoint(53, 14)})}}}}},
                 {"rank", {{"$gte", 1}}}}),
         "Geo");

    // Moved and deleted points leave the band.
    ASSERT_EQ(update("Geo", ids.front(), {{"place", geoPoint(52.5, 13.4)}}).code(), 200);
    ASSERT_EQ(call("/7/delete", "Geo", ids.back(), nullptr).code(), 200);
    EXPECT_EQ(indexRows(ids.back()), 0u);
    same(findOf(nearWhere(geoPoint(52.5, 13.4), "$maxDistanceInKilometers", 1), "", 0, 1000), "Geo");
    same(findOf(nearWhere(geoPoint(90, 180), "$maxDistanceInKilometers", 1), "", 0, 1000), "Geo");
}

TEST_F(EmulatorFieldIndexTest, AFieldEntersTheIndexWhenAFindFirstLooksItUp) {
    const std::string a = create("Lazy", {{"n", 1}, {"cat", "a"}, {"tags", Json::array({"a", 2})}});
    create("Lazy", {{"n", 2}, {"cat", "b"}, {"place", geoPoint(52.5, 13.4)}});
    const char* insert =
        "INSERT INTO objects (class_name, object_id, data, created_at, updated_at, created_ms, updated_ms) "
        "VALUES ('Lazy', ?, ?, '2024-01-01 00:00:00', '2024-01-01 00:00:00', 1, 1)";
    // An escaped surrogate: a kind 'x' row once the class is in the index.
    server_->call([&] { server_->storage().execute(insert, {"r1", R"({"n": 2, "cat": "a", "s": "\ud83d\ude00"})"}); });
    for (const char* key : {"", "n", "cat", "tags", "place"}) EXPECT_EQ(fieldRows("Lazy", key), 0u) << key;

    EXPECT_EQ(same(findOf({{"cat", "a"}}), "Lazy").ids, (std::vector<std::string>{"r1", a}));
    EXPECT_EQ(fieldRows("Lazy", "cat"), 3u);
    EXPECT_EQ(fieldRows("Lazy", ""), 1u);
    EXPECT_EQ(fieldRows("Lazy", "n"), 0u);

    // From then on every write keeps that field current, and only that one.
    const std::string c = create("Lazy", {{"n", 3}, {"cat", "a"}});
    ASSERT_EQ(update("Lazy", a, {{"cat", "c"}, {"n", increment(5)}}).code(), 200);
    server_->call([&] { server_->storage().execute(insert, {"r2", R"({"cat": ["a", "d"], "n": 4})"}); });
    EXPECT_EQ(fieldRows("Lazy", "cat"), 6u);
    EXPECT_EQ(fieldRows("Lazy", "n"), 0u);
    EXPECT_EQ(sorted(same(findOf({{"cat", "a"}}), "Lazy").ids), sorted({c, "r1", "r2"}));

    // Each further field is filled from what is stored by then.
    EXPECT_EQ(same(findOf({{"n", {{"$gte", 3}}}}), "Lazy").count, 3u);
    EXPECT_EQ(same(findOf({{"tags", 2}}), "Lazy").ids, std::vector<std::string>{a});
    EXPECT_EQ(same(findOf(nearWhere(geoPoint(52.5, 13.4), "$maxDistanceInKilometers", 1)), "Lazy").count, 1u);
    EXPECT_EQ(fieldRows("Lazy", "n"), 5u);
    EXPECT_EQ(fieldRows("Lazy", "tags"), 2u);
    EXPECT_EQ(fieldRows("Lazy", "place"), 1u);
    ASSERT_EQ(call("/7/delete", "Lazy", a, nullptr).code(), 200);
    EXPECT_EQ(indexRows(a), 0u);
    EXPECT_EQ(same(findOf({{"tags", "a"}}), "Lazy").count, 0u);
    // Another class has nothing in the index yet.
    create("Other", {{"cat", "a"}});
    EXPECT_EQ(fieldRows("Other", "cat"), 0u);
    // An object moved to it leaves the index, and comes back with its class.
    const auto moveTo = [&](const char* className) {
        server_->call([&] {
            server_->storage().execute("UPDATE objects SET class_name = ? WHERE object_id = ?", {className, c});
        });
    };
    moveTo("Other");
    EXPECT_EQ(indexRows(c), 0u);
    moveTo("Lazy");
    EXPECT_EQ(indexRows(c), 2u);
}

TEST_F(EmulatorFieldIndexTest, AFieldFilledInATransactionThatRollsBackIsNotInTheIndex) {
    create("Undo", {{"cat", "a"}});
    const std::string b = create("Undo", {{"cat", "b"}});
    server_->call([&] {
        Storage& storage = server_->storage();
        Storage::Transaction transaction(storage);
        EXPECT_TRUE(storage.indexField("Undo", "cat"));
        EXPECT_EQ(storage.queryOne("SELECT count(*) FROM field_index WHERE class_name = 'Undo'")->at(0).asInt(), 2);
    });
    EXPECT_EQ(fieldRows("Undo", "cat"), 0u);
    // Had the field stayed listed without its rows, this find would miss b.
    ASSERT_EQ(update("Undo", b, {{"cat", "c"}}).code(), 200);
    EXPECT_EQ(same(findOf({{"cat", "c"}}), "Undo").ids, std::vector<std::string>{b});
    EXPECT_EQ(fieldRows("Undo", "cat"), 2u);
}

/// Writes an object straight into the objects table, as an earlier version
/// of the emulator left it.
void insertStored(Storage& storage, const std::string& className, const std::string& objectId, const std::string& data,
                  std::int64_t ms) {
    storage.execute(
        "INSERT INTO objects (class_name, object_id, data, created_at, updated_at, created_ms, updated_ms) "
        "VALUES (?, ?, ?, '2024-01-01 00:00:00', '2024-01-01 00:00:00', ?, ?)",
        {className, objectId, data, ms, ms});
}

TEST(EmulatorFieldIndexMigrationTest, AnOlderDatabaseGetsItsObjectsIndexed) {
    TempDir dir;
    const Storage::Options onDisk{dir.path() / "data", false};
    {
        std::vector<Migration> older(builtinMigrations().begin(), builtinMigrations().begin() + 5);
        Storage first(onDisk, older);
        insertStored(first, "Old", "o1", R"({"n": 5, "cat": "a", "tags": ["x", 5, 5]})", 1);
        insertStored(first, "Old", "o2", R"({"n": 5.0, "cat": "b"})", 2);
        insertStored(first, "Old", "o3", R"({"n": "5", "cat": "a", "ok": true})", 3);
        insertStored(first, "Old", "o4", R"({"n": 6})", 4);
        insertStored(first, "Old", "o5", R"({"at": {"__type": "GeoPoint", "latitude": 52.5, "longitude": 13.4}})", 5);
        // Without the index every find scans.
        EXPECT_FALSE(usesIndex(first, "Old", {{"n", 5}}));
        EXPECT_EQ(expectSame(first, "Old", findOf({{"n", 5}})).ids, (std::vector<std::string>{"o1", "o2"}));
    }
    Storage storage(onDisk);
    EXPECT_EQ(storage.schemaVersion(), static_cast<int>(builtinMigrations().size()));
    EXPECT_EQ(storage.queryOne("SELECT count(*) FROM field_index WHERE class_name = 'Old'")->at(0).asInt(), 11);
    // The fields an upgrade finds in the index stay in it.
    EXPECT_EQ(storage.query("SELECT key FROM indexed_fields WHERE class_name = 'Old' ORDER BY key"),
              (std::vector<SqlRow>{{"at"}, {"cat"}, {"n"}, {"ok"}, {"tags"}}));
    EXPECT_EQ(expectSame(storage, "Old", findOf({{"n", 5}})).ids, (std::vector<std::string>{"o1", "o2"}));
    EXPECT_EQ(expectSame(storage, "Old", findOf({{"tags", 5}})).ids, std::vector<std::string>{"o1"});
    EXPECT_EQ(expectSame(storage, "Old", findOf({{"cat", "a"}, {"ok", true}})).ids, std::vector<std::string>{"o3"});
    EXPECT_EQ(expectSame(storage, "Old", findOf({{"n", {{"$gte", 5}}}}, "-n")).ids,
              (std::vector<std::string>{"o4", "o1", "o2"}));
    EXPECT_TRUE(usesIndex(storage, "Old", {{"n", 5}}));
    const Json near{{"at",
                     {{"$nearSphere", {{"__type", "GeoPoint"}, {"latitude", 52.4}, {"longitude", 13.4}}},
                      {"$maxDistanceInKilometers", 20}}}};
    EXPECT_TRUE(usesIndex(storage, "Old", near));
    EXPECT_EQ(expectSame(storage, "Old", findOf(near)).ids, std::vector<std::string>{"o5"});
}

// A database whose field index an earlier version filled (a row for each
// array element, unreadable data as a row without a value) keeps finding
// the same objects once its index is rebuilt in key order.
TEST(EmulatorFieldIndexMigrationTest, AnIndexWithRepeatedAndValuelessRowsIsCarriedOver) {
    TempDir dir;
    const Storage::Options onDisk{dir.path() / "data", false};
    {
        std::vector<Migration> older(builtinMigrations().begin(), builtinMigrations().begin() + 7);
        Storage first(onDisk, older);
        insertStored(first, "Old", "o1", R"({"tags": [5, 5, 6]})", 1);
        insertStored(first, "Old", "o2", R"({"s": "\ud83d\ude00"})", 2);
        insertStored(first, "Bad", "o3", "not an object", 3);
        // As the earlier version wrote them.
        first.execute("INSERT INTO field_index VALUES ('Old', 'tags', 'n', 5, 1, 'o1')");
        first.execute("UPDATE field_index SET value = NULL WHERE kind = 'x'");
        EXPECT_EQ(first.queryOne("SELECT count(*) FROM field_index")->at(0).asInt(), 7);
    }
    Storage storage(onDisk);
    EXPECT_EQ(storage.schemaVersion(), static_cast<int>(builtinMigrations().size()));
    // A class with no field in the index has no rows in it, not even kind 'x' ones.
    EXPECT_EQ(storage.queryOne("SELECT count(*) FROM field_index")->at(0).asInt(), 4);
    EXPECT_EQ(storage.queryOne("SELECT count(*) FROM field_index WHERE class_name = 'Bad'")->at(0).asInt(), 0);
    EXPECT_EQ(storage.queryOne("SELECT count(*) FROM field_index WHERE kind = 'x' AND object_id = 'o2'")->at(0).asInt(),
              1);
    EXPECT_EQ(expectSame(storage, "Old", findOf({{"tags", 5}})).ids, std::vector<std::string>{"o1"});
    EXPECT_TRUE(usesIndex(storage, "Old", {{"tags", 5}}));
    // Later writes keep the index exact: a repeated value adds one row, a
    // deleted object leaves none.
    storage.execute("UPDATE objects SET data = '{\"tags\": [7, 7]}' WHERE object_id = 'o1'");
    EXPECT_EQ(storage.queryOne("SELECT count(*) FROM field_index WHERE object_id = 'o1'")->at(0).asInt(), 1);
    EXPECT_EQ(expectSame(storage, "Old", findOf({{"tags", 7}})).ids, std::vector<std::string>{"o1"});
    storage.execute("DELETE FROM objects WHERE object_id = 'o2'");
    EXPECT_EQ(storage.queryOne("SELECT count(*) FROM field_index WHERE object_id = 'o2'")->at(0).asInt(), 0);
}

}  // namespace
}  // namespace vorn::emulator::emutest
