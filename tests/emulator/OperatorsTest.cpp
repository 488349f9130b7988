// Pending-change operators in "/7/create" and "/7/update", relations, and the
// all-or-nothing rule of one request.

#include <gtest/gtest.h>

#include <limits>

#include "ObjectTestUtil.h"

namespace vorn::emulator::emutest {
namespace {

using EmulatorOperatorsTest = ObjectEndpointTest;

TEST_F(EmulatorOperatorsTest, Increment) {
    const std::string id =
        create("Counter", {{"n", increment(5)}, {"text", "abc"}, {"big", std::numeric_limits<std::int64_t>::max()}});
    EXPECT_EQ(fetch("Counter", id)->at("n"), 5);

    ASSERT_EQ(update("Counter", id, {{"n", increment(-7)}, {"fresh", increment(0.5)}}).code(), 200);
    Json stored = *fetch("Counter", id);
    EXPECT_EQ(stored["n"], -2);
    EXPECT_TRUE(stored["n"].is_number_integer());
    EXPECT_EQ(stored["fresh"], 0.5);

    ASSERT_EQ(update("Counter", id, {{"n", increment(1.5)}, {"big", increment(1)}}).code(), 200);
    stored = *fetch("Counter", id);
    EXPECT_EQ(stored["n"], -0.5);
    EXPECT_TRUE(stored["big"].is_number_float());  // past 64 bits it carries on in floating point
    EXPECT_DOUBLE_EQ(stored["big"].get<double>(), 9223372036854775808.0);

    // Text is never silently turned into a number.
    const Reply onText = update("Counter", id, {{"text", increment(1)}});
    EXPECT_EQ(onText.code(), 111);
    EXPECT_NE(onText.message().find("\"text\""), std::string::npos) << onText.message();
    for (const Json& amount : {Json("1"), Json(nullptr), Json(true), Json::array({1})}) {
        EXPECT_EQ(update("Counter", id, {{"n", increment(amount)}}).code(), 105) << amount;
    }
    EXPECT_EQ(update("Counter", id, {{"n", {{"__op", "Increment"}}}}).code(), 105);
    EXPECT_EQ(call("/7/create", "Counter", nullptr, {{"n", increment("x")}}).code(), 105);
    EXPECT_EQ(fetch("Counter", id), stored);
}

TEST_F(EmulatorOperatorsTest, ArrayOperators) {
    const std::string id = create("Bag", {{"items", op("Add", {1, 2})}, {"number", 7}, {"text", "t"}});
    EXPECT_EQ(fetch("Bag", id)->at("items"), Json({1, 2}));

    ASSERT_EQ(update("Bag", id, {{"items", op("Add", {2, Json{{"k", 1}}})}}).code(), 200);
    EXPECT_EQ(fetch("Bag", id)->at("items"), Json({1, 2, 2, {{"k", 1}}}));

    // AddUnique compares JSON values, also against elements added by the same call.
    ASSERT_EQ(update("Bag", id, {{"items", op("AddUnique", {Json{{"k", 1}}, 3, 3, "2"})}}).code(), 200);
    EXPECT_EQ(fetch("Bag", id)->at("items"), Json({1, 2, 2, {{"k", 1}}, 3, "2"}));

    ASSERT_EQ(update("Bag", id, {{"items", op("Remove", {2, Json{{"k", 1}}, "absent"})}}).code(), 200);
    EXPECT_EQ(fetch("Bag", id)->at("items"), Json({1, 3, "2"}));

    // Absent fields: Add and AddUnique start from [], Remove leaves them absent.
    ASSERT_EQ(update("Bag", id, {{"a", op("AddUnique", {1, 1})}, {"r", op("Remove", {1})}}).code(), 200);
    Json stored = *fetch("Bag", id);
    EXPECT_EQ(stored["a"], Json({1}));
    EXPECT_FALSE(stored.contains("r"));

    for (const std::string name : {"Add", "AddUnique", "Remove"}) {
        EXPECT_EQ(update("Bag", id, {{"number", op(name, {1})}}).code(), 111) << name;
        EXPECT_EQ(update("Bag", id, {{"text", op(name, {1})}}).code(), 111) << name;
        EXPECT_EQ(update("Bag", id, {{"items", rawOp(name, 1)}}).code(), 105) << name;
        EXPECT_EQ(update("Bag", id, {{"items", {{"__op", name}}}}).code(), 105) << name;
        EXPECT_EQ(update("Bag", id, {{"items", op(name, {{{"__type", "Date"}, {"iso", "x"}}})}}).code(), 107) << name;
    }
    EXPECT_EQ(fetch("Bag", id), stored);
}

TEST_F(EmulatorOperatorsTest, DeleteAndUnknownOperators) {
    const std::string id = create("Bag", {{"a", 1}, {"b", 2}});
    ASSERT_EQ(update("Bag", id, {{"a", {{"__op", "Delete"}}}, {"never", {{"__op", "Delete"}}}}).code(), 200);
    Json stored = *fetch("Bag", id);
    EXPECT_FALSE(stored.contains("a"));
    EXPECT_FALSE(stored.contains("never"));
    EXPECT_EQ(stored["b"], 2);
    EXPECT_EQ(update("Bag", id, {{"b", {{"__op", "Multiply"}, {"amount", 2}}}}).code(), 105);
    EXPECT_EQ(update("Bag", id, {{"b", {{"__op", 1}}}}).code(), 105);
    EXPECT_EQ(update("Bag", id, {{"b", {{"__op", nullptr}}}}).code(), 105);
    // A Delete on create just leaves the field out.
    const std::string other = create("Bag", {{"x", {{"__op", "Delete"}}}});
    EXPECT_FALSE(fetch("Bag", other)->contains("x"));
    EXPECT_EQ(fetch("Bag", id), stored);
}

TEST_F(EmulatorOperatorsTest, OneFailingOperatorStoresNothingOfTheRequest) {
    const std::string id = create("Doc", {{"count", 1}, {"text", "t"}, {"list", {1}}});
    // Keys apply in name order: the relation rows and the other changes come
    // before the failing "zzz" and must be rolled back with it.
    const Reply reply = update("Doc", id,
                               {{"aaRel", op("AddRelation", {pointer("Tag", "t1")})},
                                {"count", increment(1)},
                                {"list", op("Add", {2})},
                                {"new", "value"},
                                {"zzz", increment(1)},
                                {"text", {{"__op", "Delete"}}}});
    ASSERT_EQ(reply.code(), 200) << reply.body;  // "zzz" absent: counts as 0
    EXPECT_EQ(fetch("Doc", id)->at("zzz"), 1);

    const Json middle = *fetch("Doc", id);
    const Reply failed = update("Doc", id,
                                {{"aaRel", op("AddRelation", {pointer("Tag", "t2")})},
                                 {"count", increment(1)},
                                 {"new", "changed"},
                                 {"zzz", op("Add", {1})}});
    EXPECT_EQ(failed.code(), 111);
    EXPECT_EQ(fetch("Doc", id), middle);
    EXPECT_EQ(related("Doc", id, "aaRel"), (Pairs{{"Tag", "t1"}}));

    // On create: no object and no relation rows are left behind.
    const Reply notCreated = call("/7/create", "Doc", nullptr,
                                  {{"aaRel", op("AddRelation", {pointer("Tag", "t3")})}, {"zzz", rawOp("Add", 5)}});
    EXPECT_EQ(notCreated.code(), 105);
    EXPECT_EQ(count("Doc"), 1u);
    const auto rows =
        server_->call([&] { return server_->storage().queryOne("SELECT count(*) FROM relations")->at(0).asInt(); });
    EXPECT_EQ(rows, 1);
}

TEST_F(EmulatorOperatorsTest, Relations) {
    const std::string id =
        create("Team", {{"members", op("AddRelation", {pointer("_User", "u1"), pointer("_User", "u2")})}});
    const Json descriptor{{"__type", "Relation"}, {"className", "_User"}};
    EXPECT_EQ(fetch("Team", id)->at("members"), descriptor);
    EXPECT_EQ(related("Team", id, "members"), (Pairs{{"_User", "u1"}, {"_User", "u2"}}));

    // Adding again is a no-op; removing what is not related is fine.
    ASSERT_EQ(
        update("Team", id, {{"members", op("AddRelation", {pointer("_User", "u2"), pointer("_User", "u3")})}}).code(),
        200);
    ASSERT_EQ(update("Team", id, {{"members", op("RemoveRelation", {pointer("_User", "u1"), pointer("_User", "zz")})}})
                  .code(),
              200);
    EXPECT_EQ(related("Team", id, "members"), (Pairs{{"_User", "u2"}, {"_User", "u3"}}));
    EXPECT_EQ(fetch("Team", id)->at("members"), descriptor);

    // One target class per relation field; no mixing with plain values.
    EXPECT_EQ(update("Team", id, {{"members", op("AddRelation", {pointer("_Role", "r1")})}}).code(), 111);
    EXPECT_EQ(update("Team", id, {{"other", op("AddRelation", {pointer("A", "1"), pointer("B", "2")})}}).code(), 111);
    EXPECT_EQ(update("Team", id, {{"members", "plain"}}).code(), 111);
    EXPECT_EQ(update("Team", id, {{"members", increment(1)}}).code(), 111);
    EXPECT_EQ(update("Team", id, {{"members", op("Add", {1})}}).code(), 111);
    ASSERT_EQ(update("Team", id, {{"name", "n"}}).code(), 200);
    EXPECT_EQ(update("Team", id, {{"name", op("AddRelation", {pointer("_User", "u1")})}}).code(), 111);
    // Objects must be Pointers naming class and objectId.
    for (const Json& objects : {Json::array({Json{{"__type", "Pointer"}, {"className", "_User"}}}), Json::array({"u1"}),
                                Json::array({pointer("", "x")}), Json(5), Json(nullptr)}) {
        EXPECT_EQ(update("Team", id, {{"members", rawOp("AddRelation", objects)}}).code(), 105) << objects;
    }
    // A Relation form sent by a client is ignored.
    ASSERT_EQ(update("Team", id,
                     {{"members", {{"__type", "Relation"}, {"className", "Other"}}},
                      {"fake", {{"__type", "Relation"}, {"className", "Other"}}}})
                  .code(),
              200);
    EXPECT_EQ(fetch("Team", id)->at("members"), descriptor);
    EXPECT_FALSE(fetch("Team", id)->contains("fake"));
    EXPECT_EQ(related("Team", id, "members"), (Pairs{{"_User", "u2"}, {"_User", "u3"}}));

    // Delete of the field drops its rows; a later AddRelation may pick another class.
    ASSERT_EQ(update("Team", id, {{"members", {{"__op", "Delete"}}}}).code(), 200);
    EXPECT_FALSE(fetch("Team", id)->contains("members"));
    EXPECT_TRUE(related("Team", id, "members").empty());
    ASSERT_EQ(update("Team", id, {{"members", op("AddRelation", {pointer("_Role", "r1")})}}).code(), 200);
    EXPECT_EQ(fetch("Team", id)->at("members"), (Json{{"__type", "Relation"}, {"className", "_Role"}}));
}

TEST_F(EmulatorOperatorsTest, DeletingAnObjectDropsTheRelationsItOwns) {
    const std::string team = create("Team", {{"members", op("AddRelation", {pointer("_User", "u1")})},
                                             {"fans", op("AddRelation", {pointer("_User", "u2")})}});
    const std::string other = create("Team", {{"members", op("AddRelation", {pointer("_User", "u1")})}});
    // RemoveRelation on an absent field leaves it absent.
    ASSERT_EQ(update("Team", other, {{"rivals", op("RemoveRelation", {pointer("Team", team)})}}).code(), 200);
    EXPECT_FALSE(fetch("Team", other)->contains("rivals"));
    ASSERT_EQ(update("Team", other, {{"rivals", op("AddRelation", {pointer("Team", team)})}}).code(), 200);

    ASSERT_EQ(call("/7/delete", "Team", team, nullptr).code(), 200);
    EXPECT_TRUE(related("Team", team, "members").empty());
    EXPECT_TRUE(related("Team", team, "fans").empty());
    // Rows of other owners stay, also those that point at the deleted object.
    EXPECT_EQ(related("Team", other, "members"), (Pairs{{"_User", "u1"}}));
    EXPECT_EQ(related("Team", other, "rivals"), (Pairs{{"Team", team}}));
}

}  // namespace
}  // namespace vorn::emulator::emutest
