// "/7/find": the constraint language of "where", operator by operator, and
// its errors.

#include <gtest/gtest.h>

#include "FindTestUtil.h"

namespace vorn::emulator::emutest {
namespace {

using EmulatorFindTest = FindEndpointTest;

TEST_F(EmulatorFindTest, EqualityComparesValuesByKind) {
    const auto ids =
        createNamed("Thing", {{"a", {{"n", 1}, {"s", "x"}, {"flag", true}, {"nothing", nullptr}}},
                              {"b", {{"n", 1.0}, {"s", "X"}, {"flag", false}}},
                              {"c", {{"n", 2}, {"s", "x"}, {"map", {{"k", 1}, {"d", date("2024-01-02 03:04:05")}}}}},
                              {"d", {{"n", "1"}, {"list", {1, "x", Json::array({2, 3})}}}}});
    EXPECT_EQ(namesWhere("Thing", {{"n", 1}}), (Names{"a", "b"}));  // 1 == 1.0, never "1"
    EXPECT_EQ(namesWhere("Thing", {{"n", 1.0}}), (Names{"a", "b"}));
    EXPECT_EQ(namesWhere("Thing", {{"n", "1"}}), (Names{"d"}));
    EXPECT_EQ(namesWhere("Thing", {{"s", "x"}, {"n", 2}}), (Names{"c"}));  // every entry must hold
    EXPECT_EQ(namesWhere("Thing", {{"flag", false}}), (Names{"b"}));
    EXPECT_EQ(namesWhere("Thing", {{"nothing", nullptr}}), (Names{"a"}));  // a missing field equals nothing
    EXPECT_EQ(namesWhere("Thing", {{"absent", 1}}), Names{});
    // Maps entry by entry with the same rules: 1.0 == 1, dates by instant.
    EXPECT_EQ(namesWhere("Thing", {{"map", {{"d", date("2024-01-02 03:04:05")}, {"k", 1.0}}}}), (Names{"c"}));
    EXPECT_EQ(namesWhere("Thing", {{"map", {{"k", 1}}}}), Names{});
    // Array fields: an element equal to the value, or the whole array.
    EXPECT_EQ(namesWhere("Thing", {{"list", "x"}}), (Names{"d"}));
    EXPECT_EQ(namesWhere("Thing", {{"list", 1.0}}), (Names{"d"}));
    EXPECT_EQ(namesWhere("Thing", {{"list", Json::array({2, 3})}}), (Names{"d"}));
    EXPECT_EQ(namesWhere("Thing", {{"list", Json::array({1, "x", Json::array({2, 3})})}}), (Names{"d"}));
    EXPECT_EQ(namesWhere("Thing", {{"list", Json::array({1, "x"})}}), Names{});
    EXPECT_EQ(namesWhere("Thing", {{"list", 3}}), Names{});  // not inside nested arrays
    // objectId and its other name "_id".
    EXPECT_EQ(namesWhere("Thing", {{"objectId", ids[2]}}), (Names{"c"}));
    EXPECT_EQ(namesWhere("Thing", {{"_id", ids[1]}}), (Names{"b"}));
    EXPECT_EQ(namesWhere("Thing", {{"_id", ids[1]}, {"objectId", ids[2]}}), Names{});
    EXPECT_EQ(namesWhere("Thing", {{"_id", "nope"}}), Names{});
    EXPECT_EQ(namesWhere("Other", {{"_id", ids[1]}}), Names{});
}

TEST_F(EmulatorFindTest, PointersAndDatesCompareByIdentityAndInstant) {
    createNamed("Post",
                {{"p1", {{"author", pointer("_User", "u1")}, {"at", date("2024-03-01 10:00:00")}}},
                 {"p2", {{"author", pointer("_User", "u2")}, {"at", date("2024-03-01 10:00:01")}}},
                 {"p3", {{"author", pointer("Robot", "u1")}, {"authors", Json::array({pointer("_User", "u1")})}}}});
    EXPECT_EQ(namesWhere("Post", {{"author", pointer("_User", "u1")}}), (Names{"p1"}));
    // A full object map is its pointer.
    const Json asObject{{"__type", "Object"}, {"className", "_User"}, {"objectId", "u2"}, {"nick", "x"}};
    EXPECT_EQ(namesWhere("Post", {{"author", asObject}}), (Names{"p2"}));
    EXPECT_EQ(namesWhere("Post", {{"authors", pointer("_User", "u1")}}), (Names{"p3"}));
    EXPECT_EQ(namesWhere("Post", {{"author", {{"$ne", pointer("_User", "u1")}}}}), (Names{"p2", "p3"}));
    EXPECT_EQ(namesWhere("Post", {{"at", date("2024-03-01 10:00:01")}}), (Names{"p2"}));
    EXPECT_EQ(namesWhere("Post", {{"at", "2024-03-01 10:00:01"}}), Names{});  // text is not a date
}

TEST_F(EmulatorFindTest, NotEqualMatchesMissingFields) {
    createNamed("Thing", {{"a", {{"n", 1}}}, {"b", {{"n", 2}}}, {"c", nullptr}, {"d", {{"n", {1, 2}}}}});
    EXPECT_EQ(namesWhere("Thing", {{"n", {{"$ne", 1}}}}), (Names{"b", "c"}));
    EXPECT_EQ(namesWhere("Thing", {{"n", {{"$ne", 3}}}}), (Names{"a", "b", "c", "d"}));
    EXPECT_EQ(namesWhere("Thing", {{"n", {{"$ne", 1}, {"$exists", true}}}}), (Names{"b"}));
}

TEST_F(EmulatorFindTest, RangesPairNumbersStringsAndDates) {
    createNamed("Thing", {{"a", {{"v", 1}, {"at", date("2023-12-31 23:59:59")}}},
                          {"b", {{"v", 2.5}, {"at", date("2024-01-01 00:00:00")}}},
                          {"c", {{"v", 3}}},
                          {"d", {{"v", "B"}}},
                          {"e", {{"v", "a"}}},
                          {"f", {{"v", "\xc3\xa9"}}},  // é sorts after every ASCII letter
                          {"g", {{"v", true}}},
                          {"h", {{"v", Json::array({3})}}}});
    EXPECT_EQ(namesWhere("Thing", {{"v", {{"$gt", 1}}}}), (Names{"b", "c"}));
    EXPECT_EQ(namesWhere("Thing", {{"v", {{"$gte", 1.0}}}}), (Names{"a", "b", "c"}));
    EXPECT_EQ(namesWhere("Thing", {{"v", {{"$lt", 3}}}}), (Names{"a", "b"}));
    EXPECT_EQ(namesWhere("Thing", {{"v", {{"$lte", 3}, {"$gt", 1}}}}), (Names{"b", "c"}));
    EXPECT_EQ(namesWhere("Thing", {{"v", {{"$gt", "A"}}}}), (Names{"d", "e", "f"}));
    EXPECT_EQ(namesWhere("Thing", {{"v", {{"$lt", "a"}}}}), (Names{"d"}));  // byte order: "B" < "a"
    EXPECT_EQ(namesWhere("Thing", {{"v", {{"$gt", "z"}}}}), (Names{"f"}));
    EXPECT_EQ(namesWhere("Thing", {{"v", {{"$gt", false}}}}), Names{});  // booleans are not ranged
    EXPECT_EQ(namesWhere("Thing", {{"at", {{"$gte", date("2024-01-01 00:00:00")}}}}), (Names{"b"}));
    EXPECT_EQ(namesWhere("Thing", {{"at", {{"$lt", date("2024-01-01 00:00:00")}}}}), (Names{"a"}));
    EXPECT_EQ(namesWhere("Thing", {{"at", {{"$lt", "2024-01-01 00:00:00"}}}}), Names{});
}

TEST_F(EmulatorFindTest, BuiltInDatesCompareToTheSecondOfTheirText) {
    const std::string id = create("Thing", {{"name", "a"}});
    const Json stored = *fetch("Thing", id);
    const std::string createdAt = stored.at("createdAt");
    EXPECT_EQ(namesWhere("Thing", {{"createdAt", date(createdAt)}}), (Names{"a"}));
    EXPECT_EQ(namesWhere("Thing", {{"createdAt", {{"$lte", date(createdAt)}}}}), (Names{"a"}));
    EXPECT_EQ(namesWhere("Thing", {{"updatedAt", {{"$gte", date(createdAt)}}}}), (Names{"a"}));
    EXPECT_EQ(namesWhere("Thing", {{"createdAt", {{"$lt", date(createdAt)}}}}), Names{});
    EXPECT_EQ(namesWhere("Thing", {{"createdAt", {{"$gt", date("2999-01-01 00:00:00")}}}}), Names{});
    EXPECT_EQ(namesWhere("Thing", {{"updatedAt", {{"$gt", date("2000-01-01 00:00:00")}}}}), (Names{"a"}));
    EXPECT_EQ(namesWhere("Thing", {{"createdAt", createdAt}}), Names{});
    EXPECT_EQ(where("Thing", {{"createdAt", date("2024-02-30 00:00:00")}}).code(), 107);
}

TEST_F(EmulatorFindTest, InNinAndExists) {
    createNamed(
        "Thing",
        {{"a", {{"n", 1}}}, {"b", {{"n", "1"}}}, {"c", {{"n", {5, 6}}}}, {"d", nullptr}, {"e", {{"n", nullptr}}}});
    EXPECT_EQ(namesWhere("Thing", {{"n", {{"$in", {1, 6}}}}}), (Names{"a", "c"}));
    EXPECT_EQ(namesWhere("Thing", {{"n", {{"$in", {"1", nullptr}}}}}), (Names{"b", "e"}));
    EXPECT_EQ(namesWhere("Thing", {{"n", {{"$in", Json::array()}}}}), Names{});
    EXPECT_EQ(namesWhere("Thing", {{"n", {{"$nin", {1, 6}}}}}), (Names{"b", "d", "e"}));
    EXPECT_EQ(namesWhere("Thing", {{"n", {{"$nin", Json::array()}}}}), (Names{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(namesWhere("Thing", {{"n", {{"$exists", true}}}}), (Names{"a", "b", "c", "e"}));
    EXPECT_EQ(namesWhere("Thing", {{"n", {{"$exists", false}}}}), (Names{"d"}));
    EXPECT_EQ(namesWhere("Thing", {{"objectId", {{"$exists", true}}}, {"name", {{"$in", {"a", "d"}}}}}),
              (Names{"a", "d"}));
}

TEST_F(EmulatorFindTest, RegexFindsAnywhereWithOptions) {
    createNamed("Thing", {{"a", {{"t", "Hello World"}}},
                          {"b", {{"t", "say hello\nworld"}}},
                          {"c", {{"t", "caf\xc3\xa9"}}},
                          {"d", {{"t", 5}}},
                          {"e", {{"t", Json::array({"hello"})}}}});
    EXPECT_EQ(namesWhere("Thing", {{"t", {{"$regex", "llo"}}}}), (Names{"a", "b"}));
    EXPECT_EQ(namesWhere("Thing", {{"t", {{"$regex", "^hello"}}}}), Names{});
    EXPECT_EQ(namesWhere("Thing", {{"t", {{"$regex", "^hello"}, {"$options", "i"}}}}), (Names{"a"}));
    EXPECT_EQ(namesWhere("Thing", {{"t", {{"$regex", "^world"}, {"$options", "mi"}}}}), (Names{"b"}));
    EXPECT_EQ(namesWhere("Thing", {{"t", {{"$regex", "hello.world"}}}}), Names{});
    EXPECT_EQ(namesWhere("Thing", {{"t", {{"$regex", "hello.world"}, {"$options", "is"}}}}), (Names{"a", "b"}));
    EXPECT_EQ(namesWhere("Thing", {{"t", {{"$regex", "w o r l d  # spaced"}, {"$options", "xi"}}}}), (Names{"a", "b"}));
    EXPECT_EQ(namesWhere("Thing", {{"t", {{"$regex", "^caf.$"}}}}), (Names{"c"}));  // characters, not bytes
    EXPECT_EQ(namesWhere("Thing", {{"t", {{"$regex", "^\\p{L}{4}$"}}}}), (Names{"c"}));
    EXPECT_EQ(namesWhere("Thing", {{"t", {{"$regex", ""}}}}), (Names{"a", "b", "c"}));  // strings only

    // Errors: the pattern, the options, the operand types.
    const Reply invalid = where("Thing", {{"t", {{"$regex", "a(b"}}}});
    EXPECT_EQ(invalid.code(), 106);
    EXPECT_NE(invalid.message().find("\"t\""), std::string::npos) << invalid.message();
    EXPECT_EQ(where("Thing", {{"t", {{"$regex", "[z-a]"}}}}).code(), 106);
    EXPECT_EQ(where("Thing", {{"t", {{"$regex", "a"}, {"$options", "g"}}}}).code(), 106);
    EXPECT_EQ(where("Thing", {{"t", {{"$regex", "a"}, {"$options", 1}}}}).code(), 106);
    EXPECT_EQ(where("Thing", {{"t", {{"$options", "i"}}}}).code(), 106);
    EXPECT_EQ(where("Thing", {{"t", {{"$regex", 5}}}}).code(), 106);
    // An invalid pattern is an error even when no object has the field.
    EXPECT_EQ(where("Empty", {{"t", {{"$regex", "*"}}}}).code(), 106);
}

TEST_F(EmulatorFindTest, RegexThatBacktracksForeverIsStopped) {
    createNamed("Thing", {{"a", {{"t", std::string(40, 'a') + "!"}}}});
    const auto started = std::chrono::steady_clock::now();
    const Reply reply = where("Thing", {{"t", {{"$regex", "^(a+)+$"}}}});
    EXPECT_EQ(reply.code(), 106) << reply.body;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(client_->postEnvelope("/7/timestamp").code(), 200);
}

// Distances from San Francisco: Oakland 13.43 km, San Jose 67.57 km (41.99
// miles), Los Angeles 559.12 km (0.08776 radians), New York 4129 km, Tokyo 8275 km.
class EmulatorGeoTest : public FindEndpointTest {
protected:
    void SetUp() override {
        FindEndpointTest::SetUp();
        createNamed("City", {{"tokyo", {{"at", geoPoint(35.6762, 139.6503)}}},
                             {"la", {{"at", geoPoint(34.0522, -118.2437)}}},
                             {"ny", {{"at", geoPoint(40.7128, -74.0060)}}},
                             {"sj", {{"at", geoPoint(37.3382, -121.8863)}}},
                             {"sf", {{"at", geoPoint(37.7749, -122.4194)}}},
                             {"oakland", {{"at", geoPoint(37.8044, -122.2712)}}},
                             {"nowhere", {{"at", "37.7749,-122.4194"}}},
                             {"unplaced", nullptr}});
    }

    Names near(Json extra, Json data = Json::object()) {
        Json condition{{"$nearSphere", sf_}};
        condition.update(extra);
        data["where"] = {{"at", condition}};
        return names(find("City", data));
    }

    const Json sf_ = geoPoint(37.7749, -122.4194);
};

TEST_F(EmulatorGeoTest, NearSphereSortsByDistanceAndLimitsIt) {
    EXPECT_EQ(near(Json::object()), (Names{"sf", "oakland", "sj", "la", "ny", "tokyo"}));
    EXPECT_EQ(near({{"$maxDistanceInKilometers", 67.5}}), (Names{"sf", "oakland"}));
    EXPECT_EQ(near({{"$maxDistanceInKilometers", 67.6}}), (Names{"sf", "oakland", "sj"}));
    EXPECT_EQ(near({{"$maxDistanceInMiles", 41.9}}), (Names{"sf", "oakland"}));
    EXPECT_EQ(near({{"$maxDistanceInMiles", 42}}), (Names{"sf", "oakland", "sj"}));
    EXPECT_EQ(near({{"$maxDistanceInRadians", 0.0877}}), (Names{"sf", "oakland", "sj"}));
    EXPECT_EQ(near({{"$maxDistanceInRadians", 0.0878}}), (Names{"sf", "oakland", "sj", "la"}));
    EXPECT_EQ(near({{"$maxDistanceInRadians", 0}}), (Names{"sf"}));
    // With several limits the smallest holds: 347 miles is 558.4 km.
    EXPECT_EQ(near({{"$maxDistanceInKilometers", 560}, {"$maxDistanceInMiles", 347}}), (Names{"sf", "oakland", "sj"}));
    // "order" wins over distance; skip and limit apply after either.
    EXPECT_EQ(near(Json::object(), {{"order", "-name"}}), (Names{"tokyo", "sj", "sf", "oakland", "ny", "la"}));
    EXPECT_EQ(near(Json::object(), {{"skip", 1}, {"limit", 2}}), (Names{"oakland", "sj"}));
    // Also inside "$or".
    const Json nearTokyo{{"at", {{"$nearSphere", geoPoint(35, 139)}}}};
    EXPECT_EQ(names(find("City", {{"where", {{"$or", Json::array({nearTokyo})}}}})),
              (Names{"tokyo", "sf", "oakland", "sj", "la", "ny"}));
}

TEST_F(EmulatorGeoTest, DistancesAcrossTheDateLine) {
    createNamed("Buoy", {{"east", {{"at", geoPoint(0, 179.5)}}}, {"west", {{"at", geoPoint(0, -179.5)}}}});
    // 1 degree along the equator: 111.19 km.
    const Json from = geoPoint(0, 179.5);
    EXPECT_EQ(names(find("Buoy", {{"where", {{"at", {{"$nearSphere", from}, {"$maxDistanceInKilometers", 111.3}}}}}})),
              (Names{"east", "west"}));
    EXPECT_EQ(names(find("Buoy", {{"where", {{"at", {{"$nearSphere", from}, {"$maxDistanceInKilometers", 111.1}}}}}})),
              (Names{"east"}));
}

TEST_F(EmulatorGeoTest, WithinBoxIncludesItsEdges) {
    const auto box = [](Json southwest, Json northeast) {
        return Json{{"at", {{"$within", {{"$box", {std::move(southwest), std::move(northeast)}}}}}}};
    };
    EXPECT_EQ(namesWhere("City", box(geoPoint(37, -123), geoPoint(38, -122))), (Names{"oakland", "sf"}));
    // Edges: San Francisco's own coordinates.
    EXPECT_EQ(namesWhere("City", box(geoPoint(37.7749, -122.4194), geoPoint(37.7749, -122.4194))), (Names{"sf"}));
    // Southwest east of northeast: the box crosses the 180th meridian.
    EXPECT_EQ(namesWhere("City", box(geoPoint(30, 130), geoPoint(40, -120))), (Names{"oakland", "sf", "sj", "tokyo"}));
    EXPECT_EQ(where("City", box(geoPoint(38, -123), geoPoint(37, -122))).code(), 106);
    EXPECT_EQ(where("City", {{"at", {{"$within", {{"$box", Json::array({geoPoint(37, -123)})}}}}}}).code(), 106);
    EXPECT_EQ(where("City", {{"at", {{"$within", {{"$box", {geoPoint(37, -123), 5}}}}}}}).code(), 106);
    EXPECT_EQ(where("City", {{"at", {{"$within", {{"$box", geoPoint(37, -123)}}}}}}).code(), 106);
    EXPECT_EQ(where("City", {{"at", {{"$within", {{"$polygon", Json::array()}}}}}}).code(), 106);
    EXPECT_EQ(where("City", {{"at", {{"$within", Json::array()}}}}).code(), 106);
}

TEST_F(EmulatorGeoTest, MalformedGeoOperands) {
    EXPECT_EQ(where("City", {{"at", {{"$nearSphere", {{"latitude", 1}, {"longitude", 2}}}}}}).code(), 106);
    EXPECT_EQ(where("City", {{"at", {{"$nearSphere", geoPoint(91, 0)}}}}).code(), 106);
    EXPECT_EQ(where("City", {{"at", {{"$nearSphere", "here"}}}}).code(), 106);
    EXPECT_EQ(where("City", {{"at", {{"$nearSphere", sf_}, {"$maxDistanceInMiles", "5"}}}}).code(), 106);
    EXPECT_EQ(where("City", {{"at", {{"$maxDistanceInKilometers", 5}}}}).code(), 106);
    EXPECT_EQ(where("City", {{"at", {{"$nearSphere", sf_}, {"$maxDistance", 5}}}}).code(), 106);
}

TEST_F(EmulatorFindTest, InQueryAndNotInQuery) {
    const auto users =
        createNamed("_User", {{"ann", {{"banned", false}}}, {"bob", {{"banned", true}}}, {"cy", nullptr}});
    createNamed("Post", {{"p-ann", {{"author", pointer("_User", users[0])}}},
                         {"p-bob", {{"author", pointer("_User", users[1])}}},
                         {"p-cy", {{"author", pointer("_User", users[2])}}},
                         {"p-ghost", {{"author", pointer("_User", "ghost")}}},
                         {"p-robot", {{"author", pointer("Robot", users[0])}}},
                         {"p-none", nullptr},
                         {"p-many", {{"author", {pointer("_User", "x"), pointer("_User", users[1])}}}}});
    const auto inQuery = [](const char* op, Json where) {
        return Json{{"author", {{op, {{"where", std::move(where)}, {"className", "_User"}}}}}};
    };
    EXPECT_EQ(namesWhere("Post", inQuery("$inQuery", {{"banned", false}})), (Names{"p-ann"}));
    EXPECT_EQ(namesWhere("Post", inQuery("$inQuery", {{"banned", {{"$ne", true}}}})), (Names{"p-ann", "p-cy"}));
    EXPECT_EQ(namesWhere("Post", inQuery("$inQuery", {{"banned", true}})), (Names{"p-bob", "p-many"}));
    EXPECT_EQ(namesWhere("Post", inQuery("$inQuery", Json::object())), (Names{"p-ann", "p-bob", "p-cy", "p-many"}));
    EXPECT_EQ(namesWhere("Post", inQuery("$notInQuery", {{"banned", true}})),
              (Names{"p-ann", "p-cy", "p-ghost", "p-none", "p-robot"}));
    // Sub-queries nest: comments on posts by banned authors.
    const auto posts = idsByName("Post");
    createNamed("Comment", {{"c-ann", {{"on", pointer("Post", posts.at("p-ann"))}}},
                            {"c-bob", {{"on", pointer("Post", posts.at("p-bob"))}}}});
    const Json byBanned{{"author", {{"$inQuery", {{"className", "_User"}, {"where", {{"banned", true}}}}}}}};
    EXPECT_EQ(namesWhere("Comment", {{"on", {{"$inQuery", {{"className", "Post"}, {"where", byBanned}}}}}}),
              (Names{"c-bob"}));
    // Extra members of the operand are ignored.
    EXPECT_EQ(
        namesWhere("Post",
                   {{"author", {{"$inQuery", {{"className", "_User"}, {"where", {{"name", "cy"}}}, {"limit", 1}}}}}}),
        (Names{"p-cy"}));

    for (const Json& operand :
         {Json("x"), Json{{"where", Json::object()}}, Json{{"className", "_User"}},
          Json{{"where", 1}, {"className", "_User"}}, Json{{"where", Json::object()}, {"className", ""}},
          Json{{"where", {{"a", {{"$bad", 1}}}}}, {"className", "_User"}}}) {
        EXPECT_EQ(where("Post", {{"author", {{"$inQuery", operand}}}}).code(), 106) << operand;
        EXPECT_EQ(where("Post", {{"author", {{"$notInQuery", operand}}}}).code(), 106) << operand;
    }
}

TEST_F(EmulatorFindTest, RelatedToFollowsRelationRows) {
    const auto users = createNamed("_User", {{"ann", nullptr}, {"bob", nullptr}, {"cy", nullptr}});
    const auto teams = createNamed("Team", {{"red", nullptr}, {"blue", nullptr}});
    ASSERT_EQ(update("Team", teams[0],
                     {{"members", op("AddRelation", {pointer("_User", users[0]), pointer("_User", users[2])})}})
                  .code(),
              200);
    ASSERT_EQ(update("Team", teams[1], {{"members", op("AddRelation", {pointer("_User", users[1])})}}).code(), 200);
    ASSERT_EQ(update("Team", teams[1], {{"rivals", op("AddRelation", {pointer("Team", teams[0])})}}).code(), 200);
    const auto relatedTo = [](const std::string& team, const char* key) {
        return Json{{"$relatedTo", {{"object", pointer("Team", team)}, {"key", key}}}};
    };
    EXPECT_EQ(namesWhere("_User", relatedTo(teams[0], "members")), (Names{"ann", "cy"}));
    EXPECT_EQ(namesWhere("_User", relatedTo(teams[1], "members")), (Names{"bob"}));
    EXPECT_EQ(namesWhere("_User", relatedTo(teams[1], "rivals")), Names{});  // rows of another class
    EXPECT_EQ(namesWhere("Team", relatedTo(teams[1], "rivals")), (Names{"red"}));
    EXPECT_EQ(namesWhere("_User", relatedTo("nobody", "members")), Names{});
    Json combined = relatedTo(teams[0], "members");
    combined["name"] = {{"$ne", "ann"}};
    EXPECT_EQ(namesWhere("_User", combined), (Names{"cy"}));
    ASSERT_EQ(update("Team", teams[0], {{"members", op("RemoveRelation", {pointer("_User", users[2])})}}).code(), 200);
    EXPECT_EQ(namesWhere("_User", relatedTo(teams[0], "members")), (Names{"ann"}));
    // Users in red or blue, through "$or".
    EXPECT_EQ(namesWhere("_User", {{"$or", {relatedTo(teams[0], "members"), relatedTo(teams[1], "members")}}}),
              (Names{"ann", "bob"}));

    for (const Json& operand : {Json("x"), Json{{"object", pointer("Team", teams[0])}}, Json{{"key", "members"}},
                                Json{{"object", "Team"}, {"key", "members"}},
                                Json{{"object", {{"__type", "Pointer"}, {"className", "Team"}}}, {"key", "members"}},
                                Json{{"object", pointer("Team", teams[0])}, {"key", 5}}}) {
        EXPECT_EQ(where("_User", {{"$relatedTo", operand}}).code(), 106) << operand;
    }
}

TEST_F(EmulatorFindTest, AndOrNestToAnyDepth) {
    const auto ids = createNamed("Thing", {{"a", {{"n", 1}, {"t", "x"}}},
                                           {"b", {{"n", 2}, {"t", "y"}}},
                                           {"c", {{"n", 3}, {"t", "x"}}},
                                           {"d", {{"n", 4}}}});
    EXPECT_EQ(namesWhere("Thing", {{"$or", {{{"n", 1}}, {{"n", 4}}}}}), (Names{"a", "d"}));
    EXPECT_EQ(namesWhere("Thing", {{"$and", {{{"n", {{"$gt", 1}}}}, {{"n", {{"$lt", 4}}}}}}}), (Names{"b", "c"}));
    EXPECT_EQ(namesWhere("Thing", {{"t", "x"}, {"$or", {{{"n", 1}}, {{"n", 2}}}}}), (Names{"a"}));
    EXPECT_EQ(
        namesWhere("Thing",
                   {{"$or", {{{"_id", ids[1]}}, {{"$and", {{{"t", "x"}}, {{"$or", {{{"n", 3}}, {{"n", 9}}}}}}}}}}}),
        (Names{"b", "c"}));
    EXPECT_EQ(namesWhere("Thing", {{"$or", Json::array()}}), Names{});
    EXPECT_EQ(namesWhere("Thing", {{"$and", Json::array()}}), (Names{"a", "b", "c", "d"}));
    EXPECT_EQ(namesWhere("Thing", Json::object()), (Names{"a", "b", "c", "d"}));

    EXPECT_EQ(where("Thing", {{"$or", Json::array({1})}}).code(), 106);  // entries must be maps
    EXPECT_EQ(where("Thing", {{"$or", Json::array({Json::array({"n", 1})})}}).code(), 106);
    EXPECT_EQ(where("Thing", {{"$and", {{"n", 1}}}}).code(), 106);  // a map, not an array
    EXPECT_EQ(where("Thing", {{"$or", {{{"n", {{"$huh", 1}}}}}}}).code(), 106);
    // Deeply nested where maps are refused, not recursed into without end.
    Json deep{{"n", 1}};
    for (int i = 0; i < 200; ++i) deep = Json{{"$and", Json::array({deep})}};
    EXPECT_EQ(where("Thing", deep).code(), 106);
    Json allowed{{"n", 1}};
    for (int i = 0; i < 20; ++i) allowed = Json{{"$or", Json::array({allowed})}};
    EXPECT_EQ(namesWhere("Thing", allowed), (Names{"a"}));
}

TEST_F(EmulatorFindTest, UnknownOperatorsAndMalformedOperandsAreErrors) {
    createNamed("Thing", {{"a", {{"n", 1}}}});
    const auto expectCode = [&](const Json& constraints, int code) {
        const Reply reply = where("Thing", constraints);
        EXPECT_EQ(reply.code(), code) << constraints << " -> " << reply.body;
    };
    expectCode({{"n", {{"$eq", 1}}}}, 106);
    expectCode({{"n", {{"$foo", 1}}}}, 106);
    expectCode({{"$nor", Json::array()}}, 106);
    expectCode({{"$where", "true"}}, 106);
    expectCode({{"n", {{"$gt", 0}, {"plain", 1}}}}, 106);  // operators mixed with fields
    expectCode({{"n", {{"$in", 1}}}}, 106);
    expectCode({{"n", {{"$nin", "1"}}}}, 106);
    expectCode({{"n", {{"$exists", 1}}}}, 106);
    expectCode({{"$and", 1}}, 106);
    expectCode({{"$relatedTo", nullptr}}, 106);
    // Typed forms in operands are checked like in writes.
    expectCode({{"n", date("yesterday")}}, 107);
    expectCode({{"n", {{"$in", {date("2024-13-01 00:00:00")}}}}}, 107);
    expectCode({{"n", {{"$gt", {{"__type", "Date"}}}}}}, 105);
    expectCode({{"n", {{"__type", 5}}}}, 105);
    // A map without operators is a plain value; "__type" makes it one too.
    expectCode({{"n", {{"plain", 1}}}}, 200);
    expectCode({{"n", {{"__type", "Bytes"}, {"$x", 1}}}}, 200);
    // A where that is not a map.
    EXPECT_EQ(find("Thing", {{"where", "n = 1"}}).code(), 105);
    EXPECT_EQ(find("Thing", {{"where", Json::array()}}).code(), 105);
    EXPECT_EQ(find("Thing", {{"where", nullptr}}).code(), 200);
}

// Whatever an operator gets, the reply is a result or a documented error,
// and the connection keeps working.
TEST_F(EmulatorFindTest, NoOperandCrashesTheEngine) {
    createNamed("Thing",
                {{"a", {{"n", 1}, {"at", geoPoint(1, 1)}, {"list", {1, {{"k", 2}}}}, {"p", pointer("X", "y")}}},
                 {"b", {{"n", "text"}, {"at", {{"__type", "Date"}, {"iso", "2024-01-01 00:00:00"}}}}}});
    const std::vector<Json> operands = {nullptr,
                                        true,
                                        -1,
                                        1e308,
                                        "",
                                        "(",
                                        Json::array(),
                                        Json::array({nullptr, Json::object()}),
                                        Json::object(),
                                        geoPoint(1, 1),
                                        pointer("X", "y"),
                                        date("2024-01-01 00:00:00"),
                                        Json{{"$box", {geoPoint(0, 0), geoPoint(1, 1)}}},
                                        Json{{"where", Json::object()}, {"className", "Thing"}},
                                        Json{{"object", pointer("X", "y")}, {"key", "k"}},
                                        Json{{"__type", "Relation"}, {"className", "X"}}};
    const std::vector<std::string> ops = {"$ne",     "$gt",      "$gte",        "$lt",
                                          "$lte",    "$in",      "$nin",        "$exists",
                                          "$regex",  "$options", "$nearSphere", "$maxDistanceInMiles",
                                          "$within", "$inQuery", "$notInQuery", "$relatedTo",
                                          "$and",    "$or",      "$select",     ""};
    for (const std::string field : {"n", "at", "list", "p", "missing", "objectId", "createdAt"}) {
        for (const std::string& op : ops) {
            for (const Json& operand : operands) {
                const Json condition = op.empty() ? operand : Json{{op, operand}};
                for (const Json& constraints : {Json{{field, condition}}, Json{{op.empty() ? "$or" : op, operand}}}) {
                    const Reply reply = find("Thing", {{"where", constraints}, {"order", field}});
                    const int code = reply.code();
                    EXPECT_TRUE(code == 200 || code == 105 || code == 106 || code == 107)
                        << constraints << " -> " << reply.body;
                }
            }
        }
    }
}

}  // namespace
}  // namespace vorn::emulator::emutest
