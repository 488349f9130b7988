#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/core/v_VornUtils.h"
#include "vorn/data/VornObject.h"
#include "vorn/data/VornObjectsBatch.h"
#include "vorn/query/VornQuery.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace vorn;
using json = nlohmann::json;

namespace {

struct Found {
    std::optional<VornObjectList> objects;
    OptionalError error;
};

Found find(const std::shared_ptr<VornQuery>& query) {
    Found found;
    bool done = false;
    query->findObjectsInBackgroundWithBlock(
        [&](const std::optional<VornObjectList>& objects, const OptionalError& error) {
        found = Found{objects, error};
        done = true;
    });
    EXPECT_TRUE(test::runUntil([&] { return done; }));
    return found;
}

/// The "name" of each object found, in order.
std::vector<std::string> names(const std::shared_ptr<VornQuery>& query) {
    const auto found = find(query);
    EXPECT_FALSE(found.error) << found.error->code << " " << found.error->message();
    std::vector<std::string> out;
    if (!found.objects) return out;
    for (const auto& object : *found.objects) {
        auto name = object->objectForKey("name");
        out.push_back(name ? name->json().get<std::string>() : "?");
    }
    return out;
}

std::vector<std::string> sorted(std::vector<std::string> values) {
    std::sort(values.begin(), values.end());
    return values;
}

}  // namespace

/// A small world of cities, teams and players in the emulator.
class QueryWorld : public test::EmulatorTest {
protected:
    void SetUp() override {
        EmulatorTest::SetUp();
        red_ = save("Team", {{"name", "red"}, {"league", "north"}});
        blue_ = save("Team", {{"name", "blue"}, {"league", "south"}});
        const auto jan = v_VornUtils::dateOfString("2020-01-15 12:00:00").value();
        const auto jun = v_VornUtils::dateOfString("2020-06-15 12:00:00").value();
        save("Player", {{"name", "ann"},
                        {"score", 10},
                        {"team", red_},
                        {"tags", json{"fast", "tall"}},
                        {"joined", jan},
                        {"home", VornGeoPoint(13.40, 52.52)}});  // Berlin
        save("Player", {{"name", "bob"},
                        {"score", 20},
                        {"team", blue_},
                        {"tags", json{"slow"}},
                        {"joined", jun},
                        {"home", VornGeoPoint(2.35, 48.86)}});  // Paris
        save("Player", {{"name", "cid"},
                        {"score", 30},
                        {"team", red_},
                        {"joined", jun},
                        {"home", VornGeoPoint(-0.13, 51.51)}});  // London
        save("Player", {{"name", "Dee"}, {"score", 20.0}});
    }

    std::shared_ptr<VornObject> save(const std::string& className, const VornValueMap& values) {
        auto object = VornObject::objectWithClassName(className);
        object->saveAllWithDictionary(values);
        bool done = false;
        object->saveInBackgroundWithResultBlock([&](bool, const OptionalError&) { done = true; });
        EXPECT_TRUE(test::runUntil([&] { return done; }));
        EXPECT_TRUE(object->objectId());
        return object;
    }

    std::shared_ptr<VornQuery> players() { return VornQuery::queryWithClassName("Player"); }

    std::shared_ptr<VornObject> red_;
    std::shared_ptr<VornObject> blue_;
};

TEST_F(QueryWorld, ComparisonsAndSets) {
    auto q = players();
    q->whereKeyEqualTo("score", 20);
    EXPECT_EQ(sorted(names(q)), (std::vector<std::string>{"Dee", "bob"}));
    q = players();
    q->whereKeyGreaterThan("score", 10);
    q->orderByDescending("score");
    q->orderByAscending("name");
    EXPECT_EQ(names(q), (std::vector<std::string>{"cid", "Dee", "bob"}));
    q = players();
    q->whereKeyNotEqualTo("score", 20);
    EXPECT_EQ(sorted(names(q)), (std::vector<std::string>{"ann", "cid"}));
    q = players();
    q->whereKeyContainedIn("name", {"ann", "cid", "zed"});
    EXPECT_EQ(sorted(names(q)), (std::vector<std::string>{"ann", "cid"}));
    q = players();
    q->whereKeyNotContainedIn("name", {"ann"});
    EXPECT_EQ(names(q).size(), 3u);
    q = players();
    q->whereKeyEqualTo("tags", "fast");  // array fields contain the value
    EXPECT_EQ(names(q), std::vector<std::string>{"ann"});
    q = players();
    q->whereKeyDoesNotExist("tags");
    EXPECT_EQ(sorted(names(q)), (std::vector<std::string>{"Dee", "cid"}));
    q = players();
    q->whereKeyLessThan("joined", v_VornUtils::dateOfString("2020-03-01 00:00:00").value());
    EXPECT_EQ(names(q), std::vector<std::string>{"ann"});
}

TEST_F(QueryWorld, TextPatterns) {
    auto q = players();
    q->whereKeyStartWithString("name", "b");
    EXPECT_EQ(names(q), std::vector<std::string>{"bob"});
    q = players();
    q->whereKeyEndWithString("name", "e");
    EXPECT_EQ(names(q), std::vector<std::string>{"Dee"});
    q = players();
    q->whereKeyMatchesWithRegex("name", "^[a-c]..$");
    EXPECT_EQ(sorted(names(q)), (std::vector<std::string>{"ann", "bob", "cid"}));
}

TEST_F(QueryWorld, GeoConstraints) {
    auto q = players();
    q->whereKeyNearGeoPoint("home", VornGeoPoint(2.35, 48.86));  // from Paris
    EXPECT_EQ(names(q), (std::vector<std::string>{"bob", "cid", "ann"}));
    q = players();
    q->whereKeyNearGeoPointWithinKilometers("home", VornGeoPoint(2.35, 48.86), 400);  // London is ~344 km away
    EXPECT_EQ(names(q), (std::vector<std::string>{"bob", "cid"}));
    q = players();
    q->whereKeyNearGeoPointWithinMiles("home", VornGeoPoint(2.35, 48.86), 100);
    EXPECT_EQ(names(q), std::vector<std::string>{"bob"});
    q = players();
    q->whereKeyWithinGeoBoxFromSouthwestToNortheast("home", VornGeoPoint(-1, 50), VornGeoPoint(14, 53));
    EXPECT_EQ(sorted(names(q)), (std::vector<std::string>{"ann", "cid"}));
}

TEST_F(QueryWorld, PointersSubQueriesAndCombinations) {
    auto q = players();
    q->whereKeyEqualTo("team", red_);
    EXPECT_EQ(sorted(names(q)), (std::vector<std::string>{"ann", "cid"}));

    auto southern = VornQuery::queryWithClassName("Team");
    southern->whereKeyEqualTo("league", "south");
    q = players();
    q->whereKeyMatchesQuery("team", southern);
    EXPECT_EQ(names(q), std::vector<std::string>{"bob"});
    q = players();
    q->whereKeyDoesNotMatchQuery("team", southern);
    EXPECT_EQ(sorted(names(q)), (std::vector<std::string>{"Dee", "ann", "cid"}));

    auto low = players();
    low->whereKeyLessThan("score", 15);
    auto high = players();
    high->whereKeyGreaterThan("score", 25);
    q = players();
    q->addTheConstraintByOrOperationWithArray(json::array({low->queryDataDic(), high->queryDataDic()}));
    EXPECT_EQ(sorted(names(q)), (std::vector<std::string>{"ann", "cid"}));
    q = players();
    q->addTheConstraintByAndOperationWithArray(
        json::array({json{{"score", {{"$gte", 20}}}}, json{{"score", {{"$lte", 20}}}}}));
    EXPECT_EQ(sorted(names(q)), (std::vector<std::string>{"Dee", "bob"}));
}

TEST_F(QueryWorld, IdentifiersRelationsAndIncludes) {
    auto all = find(players());
    ASSERT_EQ(all.objects->size(), 4u);
    const auto first = all.objects->at(0);
    const auto second = all.objects->at(1);
    auto q = players();
    q->whereKeyContainedIn("objectId", {*first->objectId(), *second->objectId()});
    EXPECT_EQ(find(q).objects->size(), 2u);

    auto relation = VornRelation::relation();
    relation->addObject(first);
    red_->emptyDataDic();
    red_->addRelation(relation, "stars");
    bool updated = false;
    red_->updateInBackgroundWithResultBlock([&](bool ok, const OptionalError&) { updated = ok; });
    ASSERT_TRUE(test::runUntil([&] { return updated; }));
    q = players();
    q->whereObjectKey("stars", red_);
    ASSERT_EQ(find(q).objects->size(), 1u);
    EXPECT_EQ(find(q).objects->at(0)->objectId(), first->objectId());

    q = players();
    q->whereKeyEqualTo("name", "bob");
    q->includeKey("team");
    q->selectKeys({"name", "team"});
    auto bob = find(q).objects->at(0);
    EXPECT_FALSE(bob->vornDataDic().contains("score"));
    auto team = bob->objectForKey("team")->object();
    ASSERT_TRUE(team);
    EXPECT_EQ(team->objectId(), blue_->objectId());
    EXPECT_EQ(team->objectForKey("league")->json(), "south");
}

TEST_F(QueryWorld, CountsPagesAndFetches) {
    auto q = players();
    q->whereKeyExists("score");
    q->orderByAscending("name");
    q->setSkip(1);
    q->setLimit(2);
    EXPECT_EQ(names(q), (std::vector<std::string>{"ann", "bob"}));
    int count = 0;
    bool counted = false;
    q->countObjectsInBackgroundWithBlock([&](int n, const OptionalError& error) {
        count = n;
        counted = !error;
    });
    ASSERT_TRUE(test::runUntil([&] { return counted; }));
    EXPECT_EQ(count, 4);

    std::vector<int> outcomes;
    std::shared_ptr<VornObject> fetched;
    q->getObjectInBackgroundWithId(*red_->objectId(), [&](const std::shared_ptr<VornObject>&, const OptionalError& e) {
        outcomes.push_back(e ? e->code : 0);  // a Team id in the Player class: none
    });
    auto teams = VornQuery::queryWithClassName("Team");
    teams->getObjectInBackgroundWithId(*red_->objectId(),
                                       [&](const std::shared_ptr<VornObject>& o, const OptionalError& e) {
        fetched = o;
        outcomes.push_back(e ? e->code : 0);
    });
    ASSERT_TRUE(test::runUntil([&] { return outcomes.size() == 2; }));
    EXPECT_NE(std::find(outcomes.begin(), outcomes.end(), 20004), outcomes.end());
    ASSERT_TRUE(fetched);
    EXPECT_EQ(fetched->objectForKey("name")->json(), "red");
    EXPECT_EQ(fetched->createdAt(), red_->createdAt());
}

TEST_F(QueryWorld, ServiceErrorsPassThrough) {
    auto q = players();
    q->queryWithAllConstraint({{"score", {{"$bogus", 1}}}});
    const auto found = find(q);
    ASSERT_TRUE(found.error);
    EXPECT_LT(found.error->code, 20000);
    EXPECT_FALSE(found.error->message().empty());
}
