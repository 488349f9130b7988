// "/7/batch": limits, per-operation results and rollback.

#include <gtest/gtest.h>

#include "ObjectTestUtil.h"

namespace vorn::emulator::emutest {
namespace {

Json request(const std::string& method, const std::string& path, Json body = nullptr) {
    Json entry{{"method", method}, {"path", path}};
    if (!body.is_null()) entry["body"] = std::move(body);
    return entry;
}

Json posts(int n) {
    Json requests = Json::array();
    for (int i = 0; i < n; ++i) requests.push_back(request("POST", "/1/classes/Item", {{"i", i}}));
    return requests;
}

class EmulatorBatchTest : public ObjectEndpointTest {
protected:
    Reply batch(Json requests) { return call("/7/batch", nullptr, nullptr, {{"requests", std::move(requests)}}); }
};

TEST_F(EmulatorBatchTest, FiftyOperationsRunAndFiftyOneAreRefused) {
    const Reply reply = batch(posts(50));
    ASSERT_EQ(reply.code(), 200) << reply.body;
    ASSERT_EQ(reply.data().size(), 50u);
    for (int i = 0; i < 50; ++i) {
        const Json& entry = reply.data()[static_cast<std::size_t>(i)];
        ASSERT_TRUE(entry.contains("success")) << entry;
        const std::string id = entry["success"].at("objectId");
        EXPECT_EQ(entry["success"].at("createdAt"), fetch("Item", id)->at("createdAt"));
        EXPECT_EQ(fetch("Item", id)->at("i"), i);
    }
    EXPECT_EQ(count("Item"), 50u);

    const Reply tooMany = batch(posts(51));
    EXPECT_EQ(tooMany.code(), 140);
    EXPECT_TRUE(tooMany.data().is_null());
    EXPECT_EQ(count("Item"), 50u);

    const Reply empty = batch(Json::array());
    EXPECT_EQ(empty.code(), 200);
    EXPECT_EQ(empty.data(), Json::array());
}

TEST_F(EmulatorBatchTest, FailedOperationsAreRolledBackAlone) {
    const std::string a = create("Item", {{"n", 1}, {"text", "t"}});
    const std::string b = create("Item", {{"n", 2}});
    const std::string c = create("Item", {{"n", 3}});
    const Reply reply = batch({
        request("POST", "/1/classes/Item", {{"n", 10}}),
        // Partly applied (relation row, "n"), then fails on "text": none of it stays.
        request("PUT", "/1/classes/Item/" + a,
                {{"aRel", op("AddRelation", {pointer("Tag", "t1")})}, {"n", increment(5)}, {"text", increment(1)}}),
        request("PUT", "/1/classes/Item/" + b, {{"n", increment(5)}}),
        request("DELETE", "/1/classes/Item/" + c),
        request("PUT", "/1/classes/Item/" + c, {{"n", 0}}),  // deleted just before
        request("DELETE", "/1/classes/Item/nosuchid00"),
        request("PATCH", "/1/classes/Item/" + a, {{"n", 0}}),
        request("POST", "/1/classes/Item/" + a, {{"n", 0}}),
        request("PUT", "/1/classes/Item", {{"n", 0}}),
        request("POST", "/1/classes/", {{"n", 0}}),
        request("POST", "/1/users", {{"n", 0}}),
        request("PUT", "/1/classes/Item/" + a + "/x", {{"n", 0}}),
        request("POST", "/1/classes/Item", Json::array({1})),
        Json{{"path", "/1/classes/Item"}},
        Json{{"method", "POST"}, {"path", 5}},
        Json{{"method", "POST"}, {"path", "/1/classes/Item"}, {"token", 5}},
        42,
        request("POST", "/1/classes/Item", {{"bad", {{"__type", "Date"}, {"iso", "no"}}}}),
        Json{{"method", "POST"}, {"path", "/1/classes/Item"}, {"token", "r:session"}, {"body", {{"n", 20}}}},
    });
    ASSERT_EQ(reply.code(), 200) << reply.body;
    const std::vector<int> expected{200, 111, 200, 200, 101, 101, 105, 105, 105, 105,
                                    105, 105, 105, 104, 105, 105, 105, 107, 200};
    ASSERT_EQ(reply.data().size(), expected.size()) << reply.body;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Json& entry = reply.data()[i];
        ASSERT_EQ(entry.size(), 1u) << entry;
        if (expected[i] == 200) {
            EXPECT_TRUE(entry.contains("success")) << i << " " << entry;
        } else {
            ASSERT_TRUE(entry.contains("error")) << i << " " << entry;
            EXPECT_EQ(entry["error"].at("code"), expected[i]) << i << " " << entry;
            EXPECT_FALSE(entry["error"].at("error").get<std::string>().empty());
        }
    }
    EXPECT_EQ(reply.data()[2]["success"].at("updatedAt"), fetch("Item", b)->at("updatedAt"));
    EXPECT_EQ(reply.data()[3]["success"], Json::object());

    const Json storedA = *fetch("Item", a);
    EXPECT_EQ(storedA["n"], 1);
    EXPECT_EQ(storedA["text"], "t");
    EXPECT_FALSE(storedA.contains("aRel"));
    EXPECT_TRUE(related("Item", a, "aRel").empty());
    EXPECT_EQ(fetch("Item", b)->at("n"), 7);
    EXPECT_FALSE(fetch("Item", c));
    EXPECT_EQ(fetch("Item", reply.data()[0]["success"].at("objectId"))->at("n"), 10);
    EXPECT_EQ(fetch("Item", reply.data()[18]["success"].at("objectId"))->at("n"), 20);
    EXPECT_EQ(count("Item"), 4u);
}

TEST_F(EmulatorBatchTest, BadBatchEnvelopes) {
    EXPECT_EQ(call("/7/batch", nullptr, nullptr, nullptr).code(), 105);
    EXPECT_EQ(call("/7/batch", nullptr, nullptr, Json::object()).code(), 105);
    EXPECT_EQ(call("/7/batch", nullptr, nullptr, Json::array()).code(), 105);
    EXPECT_EQ(call("/7/batch", nullptr, nullptr, {{"requests", {{"method", "POST"}}}}).code(), 105);
    EXPECT_EQ(call("/7/batch", nullptr, nullptr, {{"requests", "all"}}).code(), 105);
    EXPECT_EQ(count("Item"), 0u);
}

}  // namespace
}  // namespace vorn::emulator::emutest
