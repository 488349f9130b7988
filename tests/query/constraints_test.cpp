#include "support/TestDevice.h"

#include "vorn/core/v_VornUtils.h"
#include "vorn/query/VornQuery.h"

#include <gtest/gtest.h>

using namespace vorn;
using json = nlohmann::json;

class ConstraintsTest : public ::testing::Test {
protected:
    test::TestDevice device_;
    std::shared_ptr<VornQuery> query_ = VornQuery::queryWithClassName("GameScore");
};

TEST_F(ConstraintsTest, EachOperationStoresItsEntryAndReplacesTheKey) {
    query_->whereKeyGreaterThan("score", 10);
    query_->whereKeyLessThan("score", 100);
    EXPECT_EQ(query_->queryDataDic(), (json{{"score", {{"$lt", 100}}}}));

    const auto date = v_VornUtils::dateOfString("2015-03-01 08:00:00").value();
    query_->whereKeyNotEqualTo("when", date);
    EXPECT_EQ(query_->queryDic()["when"], (json{{"$ne", {{"__type", "Date"}, {"iso", "2015-03-01 08:00:00"}}}}));
    query_->whereKeyGreaterThanOrEqualTo("a", 1);
    query_->whereKeyLessThanOrEqualTo("b", 2);
    query_->whereKeyNotContainedIn("c", {1, 2});
    query_->whereKeyContainedIn("d", {"x"});
    query_->whereKeyExists("e");
    query_->whereKeyDoesNotExist("f");
    query_->whereKeyMatchesWithRegex("g", "a.c");
    query_->whereKeyStartWithString("h", "a.b");
    query_->whereKeyEndWithString("i", "z");
    auto& map = query_->queryDic();
    EXPECT_EQ(map["a"], (json{{"$gte", 1}}));
    EXPECT_EQ(map["b"], (json{{"$lte", 2}}));
    EXPECT_EQ(map["c"], (json{{"$nin", {1, 2}}}));
    EXPECT_EQ(map["d"], (json{{"$in", {"x"}}}));
    EXPECT_EQ(map["e"], (json{{"$exists", true}}));
    EXPECT_EQ(map["f"], (json{{"$exists", false}}));
    EXPECT_EQ(map["g"], (json{{"$regex", "a.c"}}));
    EXPECT_EQ(map["h"], (json{{"$regex", "^a.b"}}));
    EXPECT_EQ(map["i"], (json{{"$regex", "z$"}}));
}

TEST_F(ConstraintsTest, EqualityConvertsObjectsAndDates) {
    auto user = VornObject::objectWithoutDatatWithClassName("_User", "u1");
    query_->whereKeyEqualTo("owner", user);
    query_->whereKeyEqualTo("name", "Sean");
    EXPECT_EQ(query_->queryDic()["owner"], (json{{"__type", "Pointer"}, {"className", "_User"}, {"objectId", "u1"}}));
    EXPECT_EQ(query_->queryDic()["name"], "Sean");
    query_->whereKeyEqualTo("owner", VornObject::objectWithClassName("_User"));
    EXPECT_EQ(query_->queryDic()["owner"], (json{{"__type", "Pointer"}, {"className", "_User"}}));
}

TEST_F(ConstraintsTest, IdentifierListsBecomeAlternatives) {
    query_->addTheConstraintByOrOperationWithArray(json::array({{{"x", 1}}}));
    query_->whereKeyContainedIn("objectId", {"a", 5, "b"});
    EXPECT_EQ(query_->queryDic(), (json{{"$or", {{{"_id", "a"}}, {{"_id", "b"}}}}}));
    query_->whereKeyContainedIn("_id", json::array());
    EXPECT_EQ(query_->queryDic()["$or"], json::array());
}

TEST_F(ConstraintsTest, GeoConstraints) {
    const VornGeoPoint point(121.5, 31.2);
    query_->whereKeyNearGeoPoint("objectId", point);
    EXPECT_TRUE(query_->queryDic().contains("_id"));
    EXPECT_FALSE(query_->queryDic().contains("objectId"));
    query_->whereKeyNearGeoPointWithinMiles("objectId", point, 5);
    EXPECT_EQ(query_->queryDic()["objectId"]["$maxDistanceInMiles"], 5.0);
    query_->whereKeyNearGeoPointWithinKilometers("where", point, 2);
    EXPECT_EQ(query_->queryDic()["where"],
              (json{{"$nearSphere", {{"__type", "GeoPoint"}, {"latitude", 31.2}, {"longitude", 121.5}}},
                    {"$maxDistanceInKilometers", 2.0}}));
    query_->whereKeyNearGeoPointWithinRadians("r", point, 0.1);
    EXPECT_EQ(query_->queryDic()["r"]["$maxDistanceInRadians"], 0.1);
    query_->whereKeyWithinGeoBoxFromSouthwestToNortheast("box", VornGeoPoint(1, 2), std::nullopt);
    EXPECT_FALSE(query_->queryDic().contains("box"));
    query_->whereKeyWithinGeoBoxFromSouthwestToNortheast("box", VornGeoPoint(1, 2), VornGeoPoint(3, 4));
    EXPECT_EQ(query_->queryDic()["box"]["$within"]["$box"][1]["longitude"], 3.0);
}

TEST_F(ConstraintsTest, SubQueriesStayLinked) {
    auto players = VornQuery::queryWithClassName("Player");
    players->whereKeyEqualTo("team", "red");
    query_->whereKeyMatchesQuery("player", players);
    players->whereKeyGreaterThan("level", 3);  // a later change shows in the outer query
    EXPECT_EQ(query_->queryDic()["player"],
              (json{{"$inQuery", {{"where", {{"team", "red"}, {"level", {{"$gt", 3}}}}}, {"className", "Player"}}}}));
    query_->whereKeyDoesNotMatchQuery("other", players);
    EXPECT_EQ(query_->queryDic()["other"]["$notInQuery"]["className"], "Player");
    // Replacing the key ends the link.
    query_->whereKeyEqualTo("player", "plain");
    players->whereKeyEqualTo("team", "blue");
    EXPECT_EQ(query_->queryDic()["player"], "plain");
    // A query nested in itself does not loop.
    query_->whereKeyMatchesQuery("self", query_);
    EXPECT_TRUE(query_->queryDic()["self"]["$inQuery"]["where"].is_object());
}

TEST_F(ConstraintsTest, RelatedToAndCombinations) {
    auto post = VornObject::objectWithoutDatatWithClassName("Post", "p1");
    query_->whereObjectKey("likes", post);
    query_->whereObjectKey("shares", post);
    EXPECT_EQ(
        query_->queryDic()["$relatedTo"],
        (json{{"object", {{"__type", "Pointer"}, {"className", "Post"}, {"objectId", "p1"}}}, {"key", "shares"}}));
    query_->addTheConstraintByAndOperationWithArray(json::array({{{"a", 1}}, {{"a", {{"$lt", 5}}}}}));
    EXPECT_EQ(query_->queryDic()["$and"].size(), 2u);
    query_->queryWithAllConstraint(json::object());
    EXPECT_TRUE(query_->queryDic().contains("$and"));
    query_->queryWithAllConstraint({{"only", 1}});
    EXPECT_EQ(query_->queryDic(), (json{{"only", 1}}));
}

TEST_F(ConstraintsTest, EmptyKeysAndAbsentValuesChangeNothing) {
    query_->whereKeyEqualTo("", 1);
    query_->whereKeyEqualTo("k", std::shared_ptr<VornObject>());
    query_->whereKeyGreaterThan("", 1);
    query_->whereKeyContainedIn("", {1});
    query_->whereKeyExists("");
    query_->whereKeyMatchesWithRegex("k", "");
    query_->whereKeyStartWithString("k", "");
    query_->whereKeyEndWithString("k", "");
    query_->whereKeyMatchesQuery("k", nullptr);
    query_->whereObjectKey("", VornObject::init());
    query_->whereObjectKey("k", nullptr);
    query_->addTheConstraintByOrOperationWithArray(json("not an array"));
    query_->includeKey("");
    query_->orderByAscending("");
    EXPECT_TRUE(query_->queryDic().empty());
    EXPECT_TRUE(query_->orderArray().empty());
}

TEST_F(ConstraintsTest, ShapingAndPolicy) {
    query_->selectKeys({"a", "b"});
    query_->orderByAscending("score");
    query_->orderByDescending("name");
    query_->orderByAscending("score");
    query_->includeKey("owner");
    query_->includeKey("post");
    EXPECT_EQ(query_->orderArray(), (std::vector<std::string>{"score", "-name", "score"}));
    EXPECT_EQ(query_->queryDic()["include"], "post");
    EXPECT_EQ(query_->cachePolicy(), 0);
    EXPECT_EQ(query_->maxCacheAge(), 18000);
    query_->setCachePolicy(5);
    query_->setCachePolicy(6);
    query_->setCachePolicy(-1);
    EXPECT_EQ(query_->cachePolicy(), 5);
    EXPECT_EQ(VornQuery::queryForUser()->queryClassName(), "_User");
}
