// "/7/find": what a find sends back (result maps, count, skip and limit,
// order, keys, include), fetch by objectId, envelope errors, and the speed of
// a find over a large class.

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>

#include "FindTestUtil.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator::emutest {
namespace {

using EmulatorFindResultsTest = FindEndpointTest;

TEST_F(EmulatorFindResultsTest, ResultsAreTheStoredObjectsInWireForm) {
    const Json fields{{"name", "full"},
                      {"int", 42},
                      {"real", 2.5},
                      {"list", {1, "two", {{"three", 3}}}},
                      {"when", date("2024-02-29 23:59:59")},
                      {"where", geoPoint(-90, 180)},
                      {"owner", pointer("_User", "u1")},
                      {"file", {{"__type", "File"}, {"group", "g"}, {"url", "http://x/f"}, {"filename", "f.png"}}},
                      {"members", op("AddRelation", {pointer("_User", "u1")})}};
    const std::string id = create("Thing", fields);
    const Reply reply = find("Thing", nullptr);
    ASSERT_EQ(reply.code(), 200) << reply.body;
    ASSERT_EQ(reply.data().size(), 1u) << reply.body;  // only "results"
    ASSERT_EQ(reply.data().at("results").size(), 1u);
    const Json& result = reply.data()["results"][0];
    EXPECT_EQ(result, *fetch("Thing", id));
    EXPECT_EQ(result["members"], (Json{{"__type", "Relation"}, {"className", "_User"}}));
    EXPECT_EQ(result["objectId"], id);

    // No objects, or no such class: an empty list.
    EXPECT_EQ(find("Nothing", Json::object()).data(), (Json{{"results", Json::array()}}));
}

TEST_F(EmulatorFindResultsTest, CountIgnoresSkipAndLimit) {
    for (int i = 0; i < 7; ++i) create("Thing", {{"n", i}});
    const Reply counted = find("Thing", {{"where", {{"n", {{"$gte", 2}}}}},
                                         {"count", true},
                                         {"skip", 1},
                                         {"limit", 2},
                                         {"order", "-n"},
                                         {"keys", "n"}});
    ASSERT_EQ(counted.code(), 200) << counted.body;
    EXPECT_EQ(counted.data(), (Json{{"count", 5}, {"results", Json::array()}}));
    EXPECT_EQ(find("Thing", {{"count", 1}, {"limit", 0}}).data(), (Json{{"count", 7}, {"results", Json::array()}}));
    EXPECT_EQ(find("Thing", {{"count", true}, {"where", {{"n", 99}}}}).data()["count"], 0);
    EXPECT_EQ(find("Other", {{"count", true}}).data()["count"], 0);
    // "count": false is an ordinary find.
    EXPECT_EQ(find("Thing", {{"count", false}}).data().at("results").size(), 7u);
    EXPECT_EQ(find("Thing", {{"count", "yes"}}).code(), 105);
}

TEST_F(EmulatorFindResultsTest, SkipAndLimit) {
    createNamed("Thing", {{"a", nullptr}, {"b", nullptr}, {"c", nullptr}, {"d", nullptr}, {"e", nullptr}});
    const auto page = [&](Json skip, Json limit) {
        Json data{{"order", "name"}};
        if (!skip.is_null()) data["skip"] = skip;
        if (!limit.is_null()) data["limit"] = limit;
        return names(find("Thing", data));
    };
    EXPECT_EQ(page(1, 2), (Names{"b", "c"}));
    EXPECT_EQ(page(3, nullptr), (Names{"d", "e"}));
    EXPECT_EQ(page(nullptr, 1), (Names{"a"}));
    EXPECT_EQ(page(0, 0), Names{});
    EXPECT_EQ(page(5, 10), Names{});
    EXPECT_EQ(page(2.0, 1e300), (Names{"c", "d", "e"}));
    EXPECT_EQ(page(Json(std::numeric_limits<std::uint64_t>::max()), 1), Names{});
    // Without order: the same pages of the store's order.
    Names all = names(find("Thing", Json::object()));
    EXPECT_EQ(names(find("Thing", {{"skip", 1}, {"limit", 3}})), Names(all.begin() + 1, all.begin() + 4));

    for (const char* key : {"skip", "limit"}) {
        for (const Json& bad :
             {Json(-1), Json(-0.5), Json(1.5), Json("2"), Json(true), Json::array({1}), Json::object()}) {
            EXPECT_EQ(find("Thing", {{key, bad}}).code(), 105) << key << " " << bad;
        }
    }
}

TEST_F(EmulatorFindResultsTest, DefaultLimitIsOneHundred) {
    Json requests = Json::array();
    for (int i = 0; i < 120; ++i) {
        requests.push_back({{"method", "POST"}, {"path", "/1/classes/Thing"}, {"body", {{"i", i}}}});
        if (requests.size() == 50 || i == 119) {
            ASSERT_EQ(client_->postEnvelope("/7/batch", {{"requests", requests}}).code(), 200);
            requests = Json::array();
        }
    }
    EXPECT_EQ(find("Thing", nullptr).data()["results"].size(), 100u);
    EXPECT_EQ(find("Thing", {{"limit", 110}}).data()["results"].size(), 110u);
    EXPECT_EQ(find("Thing", {{"skip", 100}}).data()["results"].size(), 20u);
}

TEST_F(EmulatorFindResultsTest, OrderBySeveralKeys) {
    createNamed("Player", {{"a", {{"level", 2}, {"score", 10}}},
                           {"b", {{"level", 1}, {"score", 30}}},
                           {"c", {{"level", 2}, {"score", 30}}},
                           {"d", {{"score", 20}}},
                           {"e", {{"level", 1}, {"score", 30}}},
                           {"f", {{"level", 1.5}}}});
    EXPECT_EQ(names(find("Player", {{"order", "level,-score,name"}})), (Names{"d", "b", "e", "f", "c", "a"}));
    EXPECT_EQ(names(find("Player", {{"order", "-level,score,-name"}})), (Names{"a", "c", "f", "e", "b", "d"}));
    EXPECT_EQ(names(find("Player", {{"order", " -score , ,name,"}})), (Names{"b", "c", "e", "d", "a", "f"}));
    EXPECT_EQ(names(find("Player", {{"where", {{"level", 1}}}, {"order", "-name"}})), (Names{"e", "b"}));
    std::string manyKeys = "level";
    for (int i = 0; i < 40; ++i) manyKeys += ",k" + std::to_string(i);
    EXPECT_EQ(find("Player", {{"order", manyKeys}}).code(), 106);
    EXPECT_EQ(find("Player", {{"order", 1}}).code(), 105);
    EXPECT_EQ(find("Player", {{"order", Json::array({"name"})}}).code(), 105);
}

TEST_F(EmulatorFindResultsTest, MixedKindsSortInAFixedOrder) {
    // Ascending: missing, null, booleans, numbers, strings, dates, pointers,
    // geo points, then arrays and maps.
    createNamed("Mixed", {{"10-map", {{"v", {{"k", 1}}}}},
                          {"09-geo", {{"v", geoPoint(1, 2)}}},
                          {"08-pointer", {{"v", pointer("A", "b")}}},
                          {"07-date", {{"v", date("2001-01-01 00:00:00")}}},
                          {"06-date", {{"v", date("2000-01-01 00:00:00")}}},
                          {"05-string", {{"v", "B"}}},
                          {"04-number", {{"v", 100}}},
                          {"03-number", {{"v", -2.5}}},
                          {"02-true", {{"v", true}}},
                          {"01-false", {{"v", false}}},
                          {"00-null", {{"v", nullptr}}},
                          {"-missing", nullptr}});
    const Names ascending = names(find("Mixed", {{"order", "v"}}));
    const Names expected{"-missing",  "00-null", "01-false", "02-true",    "03-number", "04-number",
                         "05-string", "06-date", "07-date",  "08-pointer", "09-geo",    "10-map"};
    EXPECT_EQ(ascending, expected);
    Names descending = names(find("Mixed", {{"order", "-v"}}));
    std::reverse(descending.begin(), descending.end());
    EXPECT_EQ(descending, expected);
}

TEST_F(EmulatorFindResultsTest, DefaultOrderIsOldestFirst) {
    for (int i = 0; i < 6; ++i) create("Thing", {{"i", i}});
    const Json results = find("Thing", nullptr).data()["results"];
    ASSERT_EQ(results.size(), 6u);
    for (std::size_t i = 1; i < results.size(); ++i) {
        EXPECT_LE(results[i - 1]["createdAt"].get<std::string>(), results[i]["createdAt"].get<std::string>());
    }
    // The same as ordering by createdAt (to the millisecond, then objectId).
    EXPECT_EQ(find("Thing", {{"order", "createdAt"}}).data()["results"], results);
    Json newest = find("Thing", {{"order", "-createdAt"}}).data()["results"];
    ASSERT_EQ(newest.size(), 6u);
    EXPECT_EQ(newest[0]["createdAt"], results[5]["createdAt"]);
    // objectId sorts as text.
    const Json byId = find("Thing", {{"order", "_id"}}).data()["results"];
    for (std::size_t i = 1; i < byId.size(); ++i) {
        EXPECT_LT(byId[i - 1]["objectId"].get<std::string>(), byId[i]["objectId"].get<std::string>());
    }
}

TEST_F(EmulatorFindResultsTest, KeysKeepTheNamedFields) {
    const std::string id = create("Thing", {{"a", 1}, {"b", {{"c", 2}, {"d", 3}}}, {"e", "x"}, {"className", "mine"}});
    const Json stored = *fetch("Thing", id);
    const auto keep = [&](const char* keys) {
        const Reply reply = find("Thing", {{"keys", keys}});
        EXPECT_EQ(reply.code(), 200) << reply.body;
        return reply.data()["results"][0];
    };
    EXPECT_EQ(
        keep("a,missing"),
        (Json{{"a", 1}, {"objectId", id}, {"createdAt", stored["createdAt"]}, {"updatedAt", stored["updatedAt"]}}));
    EXPECT_EQ(keep(""),
              (Json{{"objectId", id}, {"createdAt", stored["createdAt"]}, {"updatedAt", stored["updatedAt"]}}));
    // A dotted key keeps part of a nested map.
    Json partial = keep(" b.c , e ");
    EXPECT_EQ(partial["b"], (Json{{"c", 2}}));
    EXPECT_EQ(partial["e"], "x");
    EXPECT_FALSE(partial.contains("className"));  // at the top, only what is named
    EXPECT_EQ(keep("b.c,b")["b"], (Json{{"c", 2}, {"d", 3}}));
    EXPECT_EQ(find("Thing", {{"keys", 5}}).code(), 105);
    EXPECT_EQ(find("Thing", {{"keys", "a..b"}}).code(), 106);
    std::string manyPaths = "a";
    for (int i = 0; i < 300; ++i) manyPaths += ",f" + std::to_string(i);
    EXPECT_EQ(find("Thing", {{"keys", manyPaths}}).code(), 106);
    EXPECT_EQ(find("Thing", {{"include", manyPaths}}).code(), 106);
}

class EmulatorIncludeTest : public FindEndpointTest {
protected:
    void SetUp() override {
        FindEndpointTest::SetUp();
        user_ = create("_User", {{"nick", "ann"}});
        post_ = create("Post", {{"title", "Hello"}, {"author", pointer("_User", user_)}});
        createNamed("Comment", {{"c1", {{"post", pointer("Post", post_)}, {"text", "first"}}},
                                {"c2", {{"post", pointer("Post", "gone")}}},
                                {"c3", {{"posts", {pointer("Post", post_), pointer("Post", "gone"), 7}}}},
                                {"c4", {{"post", "not a pointer"}}}});
    }

    // The "post"/"posts" of each comment, by name.
    std::map<std::string, Json> included(Json data) {
        data["order"] = "name";
        const Reply reply = find("Comment", data);
        EXPECT_EQ(reply.code(), 200) << reply.body;
        std::map<std::string, Json> byName;
        for (const Json& comment : reply.data()["results"]) {
            byName[comment["name"].get<std::string>()] =
                comment.contains("posts") ? comment["posts"] : comment.value("post", Json());
        }
        return byName;
    }

    Json includedObject(const std::string& className, const std::string& id) {
        Json object = *fetch(className, id);
        object["__type"] = "Object";
        object["className"] = className;
        return object;
    }

    std::string user_;
    std::string post_;
};

TEST_F(EmulatorIncludeTest, IncludeReplacesPointersWithObjects) {
    const Json post = includedObject("Post", post_);
    auto byName = included({{"include", "post,posts"}});
    EXPECT_EQ(byName["c1"], post);
    EXPECT_EQ(byName["c1"]["author"], pointer("_User", user_));  // one level only
    EXPECT_EQ(byName["c2"], pointer("Post", "gone"));            // missing objects stay pointers
    EXPECT_EQ(byName["c3"], (Json{post, pointer("Post", "gone"), 7}));
    EXPECT_EQ(byName["c4"], "not a pointer");

    // A dotted path includes each step.
    Json deep = post;
    deep["author"] = includedObject("_User", user_);
    byName = included({{"include", "post.author"}});
    EXPECT_EQ(byName["c1"], deep);
    EXPECT_EQ(byName["c2"], pointer("Post", "gone"));
    EXPECT_EQ(included({{"include", "posts.author"}})["c3"], (Json{deep, pointer("Post", "gone"), 7}));
    EXPECT_EQ(included({{"include", "post,post.author, post.author.nick"}})["c1"], deep);
    // Without include, pointers stay pointers.
    EXPECT_EQ(included(Json::object())["c1"], pointer("Post", post_));
}

TEST_F(EmulatorIncludeTest, KeysApplyInsideIncludedObjects) {
    const auto byName = included({{"include", "post.author"}, {"keys", "name,post.title,post.author.nick"}});
    const Json& post = byName.at("c1");
    EXPECT_EQ(post["title"], "Hello");
    EXPECT_EQ(post["__type"], "Object");
    EXPECT_EQ(post["className"], "Post");
    EXPECT_EQ(post["objectId"], post_);
    EXPECT_TRUE(post.contains("createdAt"));
    EXPECT_EQ(post["author"]["nick"], "ann");
    EXPECT_EQ(post["author"].size(), 6u) << post;  // nick, objectId, createdAt, updatedAt, __type, className
    // A pointer that was not included keeps its form.
    EXPECT_EQ(byName.at("c2"), pointer("Post", "gone"));
    const Reply errors = find("Comment", {{"include", 1}});
    EXPECT_EQ(errors.code(), 105);
    EXPECT_EQ(find("Comment", {{"include", "post."}}).code(), 106);
    std::string tooDeep = "post";
    for (int i = 0; i < 40; ++i) tooDeep += ".author";
    EXPECT_EQ(find("Comment", {{"include", tooDeep}}).code(), 106);
}

TEST_F(EmulatorIncludeTest, FetchByObjectId) {
    const auto ids = idsByName("Comment");
    const auto fetchCall = [&](Json objectId, Json data) {
        return call("/7/find", "Comment", std::move(objectId), std::move(data));
    };
    Json stored = *fetch("Comment", ids.at("c1"));
    EXPECT_EQ(fetchCall(ids.at("c1"), nullptr).data(), stored);
    // "where" and the find members are ignored; "keys" and "include" apply.
    EXPECT_EQ(fetchCall(ids.at("c1"), {{"where", {{"name", "other"}}}, {"limit", 0}}).data(), stored);
    const Json shaped = fetchCall(ids.at("c1"), {{"keys", "post"}, {"include", "post"}}).data();
    EXPECT_EQ(shaped["post"], includedObject("Post", post_));
    EXPECT_FALSE(shaped.contains("text"));
    EXPECT_EQ(shaped["objectId"], ids.at("c1"));
    // No such object: {}.
    const Reply missing = fetchCall("nope", nullptr);
    EXPECT_EQ(missing.code(), 200);
    EXPECT_EQ(missing.data(), Json::object());
    EXPECT_EQ(call("/7/find", "Post", ids.at("c1"), nullptr).data(), Json::object());

    EXPECT_EQ(fetchCall("", nullptr).code(), 104);
    EXPECT_EQ(fetchCall(5, nullptr).code(), 105);
    EXPECT_EQ(fetchCall(ids.at("c1"), "keys").code(), 105);
    EXPECT_EQ(fetchCall(ids.at("c1"), {{"keys", 1}}).code(), 105);
}

TEST_F(EmulatorFindResultsTest, EnvelopeErrors) {
    EXPECT_EQ(call("/7/find", nullptr, nullptr, nullptr).code(), 104);
    EXPECT_EQ(call("/7/find", "", nullptr, nullptr).code(), 104);
    EXPECT_EQ(call("/7/find", 5, nullptr, nullptr).code(), 105);
    EXPECT_EQ(find("Thing", "where").code(), 105);
    EXPECT_EQ(find("Thing", Json::array()).code(), 105);
    EXPECT_EQ(find("Thing", nullptr).code(), 200);
    Json body = envelope(nullptr);
    body["c"] = "Thing";
    body.erase("data");
    body.erase("objectId");
    const Reply bare = client_->post("/7/find", body.dump());
    EXPECT_EQ(bare.code(), 200) << bare.body;
    EXPECT_EQ(bare.data(), (Json{{"results", Json::array()}}));
    // An unknown session token reads as anonymous.
    body["data"] = Json::object();
    EXPECT_EQ(client_->post("/7/find", body.dump(), {{"X-Vorn-Session-Token", "r:whatever"}}).code(), 200);
}

TEST_F(EmulatorFindResultsTest, FindsSeeEveryWrite) {
    const std::string id = create("Thing", {{"name", "a"}, {"n", 1}});
    EXPECT_EQ(namesWhere("Thing", {{"n", 1}}), (Names{"a"}));
    // Several changes within one millisecond are all seen.
    for (int i = 2; i <= 5; ++i) {
        ASSERT_EQ(update("Thing", id, {{"n", i}}).code(), 200);
        EXPECT_EQ(namesWhere("Thing", {{"n", i}}), (Names{"a"})) << i;
    }
    // Also changes made around the handlers, straight in the store.
    server_->call([&] { return ObjectStore(server_->storage()).update("Thing", id, {{"n", 9}}); });
    EXPECT_EQ(namesWhere("Thing", {{"n", 9}}), (Names{"a"}));
    server_->call([&] {
        return server_->storage().execute("UPDATE objects SET data = ? WHERE object_id = ?",
                                          {R"({"name":"a","n":10})", id});
    });
    EXPECT_EQ(namesWhere("Thing", {{"n", 10}}), (Names{"a"}));
    ASSERT_EQ(call("/7/delete", "Thing", id, nullptr).code(), 200);
    EXPECT_EQ(namesWhere("Thing", Json::object()), Names{});
    create("Thing", {{"name", "b"}, {"n", 10}});
    EXPECT_EQ(namesWhere("Thing", {{"n", 10}}), (Names{"b"}));
}

// The find of a benchmark over a class of 10,000 objects: two constraints,
// an order and limit 100. Optimised builds answer in about 10 ms once the
// objects are parsed; the bound here only catches a find that got
// disproportionately slow, in any build type.
TEST_F(EmulatorFindResultsTest, FindOverTenThousandObjects) {
    constexpr int kObjects = 10000;
    server_->call([&] {
        ObjectStore store(server_->storage());
        server_->storage().transaction([&] {
            for (int i = 0; i < kObjects; ++i) {
                store.create("GameScore", {{"score", i % 1000},
                                           {"playerName", "player" + std::to_string(i)},
                                           {"cheatMode", i % 2 == 0},
                                           {"tags", {"a", "b" + std::to_string(i % 5)}}});
            }
        });
    });
    const Json query{
        {"where", {{"score", {{"$gte", 500}}}, {"cheatMode", false}}}, {"order", "-score,playerName"}, {"limit", 100}};
    // Timing lives in bench/bench_query; here only the answers are checked.
    const Reply reply = find("GameScore", query);
    ASSERT_EQ(reply.code(), 200) << reply.message();

    const Json& results = reply.data()["results"];
    ASSERT_EQ(results.size(), 100u);
    // Scores from 999 down, odd i only; names in byte order: "player1999",
    // "player2999", ..., "player8999", "player999", "player9999".
    EXPECT_EQ(results[0]["score"], 999);
    EXPECT_EQ(results[0]["playerName"], "player1999");
    EXPECT_EQ(results[8]["playerName"], "player999");
    EXPECT_EQ(results[9]["playerName"], "player9999");
    EXPECT_EQ(results[10]["score"], 997);
    for (const Json& result : results) EXPECT_EQ(result["cheatMode"], false);

    EXPECT_EQ(find("GameScore", {{"where", query["where"]}, {"count", true}}).data()["count"], 2500);
    EXPECT_EQ(find("GameScore", {{"limit", 5000}}).data()["results"].size(), 1000u);  // at most 1000
    EXPECT_EQ(find("GameScore", {{"count", true}}).data()["count"], kObjects);
}

}  // namespace
}  // namespace vorn::emulator::emutest
