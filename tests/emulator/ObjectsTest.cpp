// "/7/create", "/7/update", "/7/delete": round trips, bad envelopes, typed
// value checks and persistence.

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "ObjectTestUtil.h"
#include "vorn_emulator/DateText.h"

namespace vorn::emulator::emutest {
namespace {

using EmulatorObjectsTest = ObjectEndpointTest;

Json sampleFields() {
    return Json{{"text", "hello"},
                {"int", 42},
                {"negative", -7},
                {"real", 2.5},
                {"flag", false},
                {"nothing", nullptr},
                {"list", {1, "two", {{"three", 3}}}},
                {"map", {{"a", {{"b", "c"}}}}},
                {"when", {{"__type", "Date"}, {"iso", "2024-02-29 23:59:59"}}},
                {"where", {{"__type", "GeoPoint"}, {"latitude", -90}, {"longitude", 180.0}}},
                {"file", {{"__type", "File"}, {"group", ""}}},
                {"fullFile", {{"__type", "File"}, {"group", "g"}, {"url", "http://x/f"}, {"filename", "f.png"}}},
                {"owner", {{"__type", "Pointer"}, {"className", "_User"}}},
                {"other", {{"__type", "Bytes"}, {"base64", "AAEC"}}},
                {"ACL", {{"*", {{"read", true}}}, {"u1", {{"write", true}}}}}};
}

TEST_F(EmulatorObjectsTest, CreateStoresEveryFieldAsGiven) {
    const auto before = Clock::now() - std::chrono::seconds(1);
    Json data = sampleFields();
    data["objectId"] = "chosenByMe";
    data["createdAt"] = "2000-01-01 00:00:00";
    data["updatedAt"] = 5;
    const Reply reply = call("/7/create", "GameScore", nullptr, data);
    ASSERT_EQ(reply.code(), 200) << reply.body;
    ASSERT_EQ(reply.data().size(), 2u) << reply.body;
    const std::string id = reply.data().at("objectId");
    const std::string createdAt = reply.data().at("createdAt");
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9A-Za-z]{10}"))) << id;
    const auto created = parseDateText(createdAt);
    ASSERT_TRUE(created) << createdAt;
    EXPECT_GE(*created, std::chrono::floor<std::chrono::seconds>(before));
    EXPECT_LE(*created, Clock::now());

    Json expected = sampleFields();
    expected["objectId"] = id;
    expected["createdAt"] = createdAt;
    expected["updatedAt"] = createdAt;
    EXPECT_EQ(fetch("GameScore", id), expected);
    EXPECT_EQ(count("GameScore"), 1u);
    EXPECT_EQ(count("Other"), 0u);
    EXPECT_FALSE(fetch("Other", id));
}

TEST_F(EmulatorObjectsTest, CreateWithoutDataAndWithAnyClassName) {
    for (const std::string className : {"_User", "_Role", "_Installation", "with space", "ünïcode"}) {
        const std::string id = create(className, nullptr);
        const auto stored = fetch(className, id);
        ASSERT_TRUE(stored) << className;
        EXPECT_EQ(stored->size(), 3u) << *stored;  // objectId, createdAt, updatedAt
    }
    const Reply empty = call("/7/create", "Thing", nullptr, Json::object());
    EXPECT_EQ(empty.code(), 200);
}

TEST_F(EmulatorObjectsTest, ObjectIdsAreUniqueInAClass) {
    std::set<std::string> ids;
    for (int i = 0; i < 100; ++i) ids.insert(create("Item", {{"i", i}}));
    EXPECT_EQ(ids.size(), 100u);
    EXPECT_EQ(count("Item"), 100u);
}

TEST_F(EmulatorObjectsTest, ObjectsOfAClassAreListedOldestFirst) {
    std::set<std::string> created;
    for (int i = 0; i < 20; ++i) created.insert(create("Item", {{"i", i}}));
    create("Other", {{"i", 0}});
    const auto listed = server_->call([&] {
        std::vector<StoredObject> objects;
        ObjectStore(server_->storage()).forEachObject("Item", [&](const StoredObject& o) { objects.push_back(o); });
        return objects;
    });
    ASSERT_EQ(listed.size(), 20u);
    std::set<std::string> ids;
    for (std::size_t i = 0; i < listed.size(); ++i) {
        ids.insert(listed[i].objectId);
        EXPECT_EQ(listed[i].className, "Item");
        EXPECT_EQ(listed[i].toResult(), fetch("Item", listed[i].objectId));
        if (i > 0) {
            EXPECT_LE(std::pair(listed[i - 1].createdMs, listed[i - 1].objectId),
                      std::pair(listed[i].createdMs, listed[i].objectId));
        }
    }
    EXPECT_EQ(ids, created);
}

TEST_F(EmulatorObjectsTest, UpdateChangesOnlyTheGivenFields) {
    const std::string id = create("Note", {{"title", "a"}, {"body", "b"}});
    const Json before = *fetch("Note", id);

    const Reply reply = update("Note", id, {{"title", "A"}, {"extra", {1, 2}}, {"createdAt", "2000-01-01 00:00:00"}});
    ASSERT_EQ(reply.code(), 200) << reply.body;
    ASSERT_EQ(reply.data().size(), 1u);
    const std::string updatedAt = reply.data().at("updatedAt");
    ASSERT_TRUE(parseDateText(updatedAt));
    EXPECT_GE(updatedAt, before["createdAt"].get<std::string>());

    const Json after = *fetch("Note", id);
    EXPECT_EQ(after["title"], "A");
    EXPECT_EQ(after["body"], "b");
    EXPECT_EQ(after["extra"], Json({1, 2}));
    EXPECT_EQ(after["createdAt"], before["createdAt"]);
    EXPECT_EQ(after["updatedAt"], updatedAt);

    // An empty change still refreshes updatedAt (milliseconds kept for ordering).
    const auto times = [&] {
        return server_->call([&] {
            auto object = ObjectStore(server_->storage()).load("Note", id);
            return std::pair{object->createdMs, object->updatedMs};
        });
    };
    const auto first = times();
    EXPECT_EQ(update("Note", id, Json::object()).code(), 200);
    EXPECT_EQ(update("Note", id, nullptr).code(), 200);
    const auto second = times();
    EXPECT_EQ(second.first, first.first);
    EXPECT_GE(second.second, first.second);
    EXPECT_GE(first.second, first.first);
}

TEST_F(EmulatorObjectsTest, MissingObjectsAre101) {
    const std::string id = create("Note", {{"n", 1}});
    EXPECT_EQ(update("Note", "nosuchid00", {{"n", 2}}).code(), 101);
    EXPECT_EQ(update("Other", id, {{"n", 2}}).code(), 101);
    EXPECT_EQ(call("/7/delete", "Note", "nosuchid00", nullptr).code(), 101);
    EXPECT_EQ(count("Other"), 0u);  // an update never creates

    const Reply deleted = call("/7/delete", "Note", id, nullptr);
    EXPECT_EQ(deleted.code(), 200);
    EXPECT_EQ(deleted.data(), Json::object());
    EXPECT_FALSE(fetch("Note", id));
    EXPECT_EQ(call("/7/delete", "Note", id, nullptr).code(), 101);
    EXPECT_EQ(update("Note", id, {{"n", 3}}).code(), 101);
}

TEST_F(EmulatorObjectsTest, BadEnvelopes) {
    const std::string id = create("Note", {{"n", 1}});
    struct Case {
        std::string path;
        Json className, objectId, data;
        int code;
    };
    const std::vector<Case> cases{
        {"/7/create", nullptr, nullptr, Json::object(), 104},
        {"/7/create", "", nullptr, Json::object(), 104},
        {"/7/create", 5, nullptr, Json::object(), 105},
        {"/7/create", {{"name", "Note"}}, nullptr, Json::object(), 105},
        {"/7/create", "Note", nullptr, Json::array({1}), 105},
        {"/7/create", "Note", nullptr, "text", 105},
        {"/7/create", "Note", nullptr, 3, 105},
        {"/7/create", "Note", nullptr, {{"", 1}}, 105},
        {"/7/create", "Note", nullptr, {{"__secret", 1}}, 105},
        {"/7/update", "Note", nullptr, {{"n", 2}}, 104},
        {"/7/update", "Note", "", {{"n", 2}}, 104},
        {"/7/update", "Note", 12, {{"n", 2}}, 105},
        {"/7/update", nullptr, id, {{"n", 2}}, 104},
        {"/7/update", "Note", id, Json::array(), 105},
        {"/7/delete", "Note", nullptr, nullptr, 104},
        {"/7/delete", Json::array(), id, nullptr, 105},
    };
    for (const Case& c : cases) {
        const Reply reply = call(c.path, c.className, c.objectId, c.data);
        EXPECT_EQ(reply.code(), c.code) << c.path << " " << c.className << " " << c.objectId << " " << c.data;
        EXPECT_TRUE(reply.data().is_null());
    }
    EXPECT_EQ(count("Note"), 1u);
    EXPECT_EQ(fetch("Note", id)->at("n"), 1);
    // An unknown session token creates as anonymous.
    Json body = envelope(Json{{"n", 1}});
    body["c"] = "Note";
    EXPECT_EQ(client_->post("/7/create", body.dump(), {{"X-Vorn-Session-Token", "r:abc"}}).code(), 200);
}

TEST_F(EmulatorObjectsTest, TypedFormsAreChecked) {
    const Json deep = [] {
        Json value = "leaf";
        for (int i = 0; i < 100; ++i) value = Json::array({std::move(value)});
        return value;
    }();
    struct Case {
        Json value;
        int code;
    };
    const std::vector<Case> cases{
        {{{"__type", "Date"}, {"iso", "2024-02-30 10:00:00"}}, 107},
        {{{"__type", "Date"}, {"iso", "2024-01-01T10:00:00"}}, 107},
        {{{"__type", "Date"}, {"iso", 1700000000}}, 105},
        {{{"__type", "Date"}}, 105},
        {{{"__type", "GeoPoint"}, {"latitude", 90.5}, {"longitude", 0}}, 105},
        {{{"__type", "GeoPoint"}, {"latitude", 0}, {"longitude", -180.01}}, 105},
        {{{"__type", "GeoPoint"}, {"latitude", "1"}, {"longitude", 0}}, 105},
        {{{"__type", "GeoPoint"}, {"latitude", 1}}, 105},
        {{{"__type", "GeoPoint"}, {"latitude", true}, {"longitude", 0}}, 105},
        {{{"__type", "File"}, {"url", "http://x"}}, 105},
        {{{"__type", "File"}, {"group", "g"}, {"filename", "f"}}, 105},
        {{{"__type", "File"}, {"group", 5}}, 105},
        {{{"__type", "Pointer"}, {"objectId", "abc"}}, 105},
        {{{"__type", "Pointer"}, {"className", "A"}, {"objectId", nullptr}}, 105},
        {{{"__type", 3}}, 105},
        {Json::array({1, {{"__type", "Date"}, {"iso", "bad"}}}), 107},
        {{{"inner", {{"__type", "GeoPoint"}, {"latitude", 100}, {"longitude", 0}}}}, 105},
        {deep, 105},
    };
    const std::string id = create("Place", {{"spot", "kept"}});
    for (const Case& c : cases) {
        const Reply created = call("/7/create", "Place", nullptr, {{"spot", c.value}});
        EXPECT_EQ(created.code(), c.code) << c.value;
        EXPECT_NE(created.message().find("\"spot\""), std::string::npos) << created.message();
        EXPECT_EQ(update("Place", id, {{"spot", c.value}}).code(), c.code) << c.value;
    }
    EXPECT_EQ(count("Place"), 1u);
    EXPECT_EQ(fetch("Place", id)->at("spot"), "kept");

    // Very deep nesting is refused before anything walks it recursively.
    const std::size_t depth = 200000;
    const std::string body =
        R"({"c": "Place", "data": {"spot": )" + std::string(depth, '[') + std::string(depth, ']') + "}}";
    EXPECT_EQ(client_->post("/7/create", body).code(), 105);
    EXPECT_EQ(count("Place"), 1u);
}

TEST_F(EmulatorObjectsTest, DataSurvivesARestart) {
    TempDir dir;
    Options options;
    options.port = 0;
    options.dataDir = (dir.path() / "data").string();
    start(options);
    const std::string id = create("Team", {{"name", "red"}, {"members", op("AddRelation", {pointer("_User", "u1")})}});
    ASSERT_EQ(update("Team", id, {{"score", increment(3)}}).code(), 200);
    const std::string gone = create("Team", {{"name", "blue"}});
    ASSERT_EQ(call("/7/delete", "Team", gone, nullptr).code(), 200);
    const Json before = *fetch("Team", id);

    start(options);  // a new server on the same folder
    EXPECT_EQ(fetch("Team", id), before);
    EXPECT_FALSE(fetch("Team", gone));
    EXPECT_EQ(related("Team", id, "members"), (Pairs{{"_User", "u1"}}));
    ASSERT_EQ(update("Team", id, {{"score", increment(1)}}).code(), 200);
    EXPECT_EQ(fetch("Team", id)->at("score"), 4);
}

}  // namespace
}  // namespace vorn::emulator::emutest
