// Access control: the "ACL" field of objects of every class decides who
// finds, counts, fetches, includes, updates and deletes them.

#include <gtest/gtest.h>

#include "AccountsTestUtil.h"

namespace vorn::emulator::emutest {
namespace {

class EmulatorAccessControlTest : public AccountsTest {
protected:
    void SetUp() override {
        AccountsTest::SetUp();
        ann_ = signUp("ann");
        bob_ = signUp("bob");
    }

    // The names that a find of `className` gives the caller, ordered by name.
    Names namesFor(const std::string& token, const std::string& className, Json where = Json::object()) {
        return names(findAs(token, className, Json{{"where", std::move(where)}, {"order", "name"}}));
    }

    int countFor(const std::string& token, const std::string& className) {
        const Reply reply = findAs(token, className, Json{{"count", true}});
        EXPECT_EQ(reply.code(), 200) << reply.body;
        return reply.code() == 200 ? reply.data().at("count").get<int>() : -1;
    }

    bool fetchable(const std::string& token, const std::string& className, const std::string& id) {
        const Reply reply = fetchAs(token, className, id);
        EXPECT_EQ(reply.code(), 200) << reply.body;
        return reply.code() == 200 && reply.data() != Json::object();
    }

    int updateCode(const std::string& token, const std::string& className, const std::string& id) {
        return callAs(token, "/7/update", className, id, Json{{"touched", true}}).code();
    }

    int deleteCode(const std::string& token, const std::string& className, const std::string& id) {
        return callAs(token, "/7/delete", className, id, nullptr).code();
    }

    SignedUpUser ann_;
    SignedUpUser bob_;
};

TEST_F(EmulatorAccessControlTest, ObjectsWithoutAclAreOpen) {
    const std::string open = create("Note", {{"name", "open"}});
    const std::string odd = create("Note", {{"name", "odd"}, {"ACL", "not a map"}});
    EXPECT_EQ(namesFor("", "Note"), (Names{"odd", "open"}));
    EXPECT_TRUE(fetchable("", "Note", open));
    EXPECT_EQ(updateCode("", "Note", open), 200);
    EXPECT_EQ(updateCode("r:unknown", "Note", odd), 200);  // an unknown token is anonymous
    EXPECT_EQ(deleteCode("", "Note", odd), 200);
}

TEST_F(EmulatorAccessControlTest, PublicReadOnly) {
    const std::string id = createWithAcl("Note", "public", aclOf({{"*", kReadOnly}}));
    for (const std::string& token : {std::string(), ann_.token, std::string("r:unknown")}) {
        EXPECT_EQ(namesFor(token, "Note"), (Names{"public"}));
        EXPECT_TRUE(fetchable(token, "Note", id));
        const Reply refused = callAs(token, "/7/update", "Note", id, Json{{"name", "changed"}});
        EXPECT_EQ(refused.code(), 119) << refused.body;
        EXPECT_EQ(refused.message().find("permission denied"), 0u) << refused.message();
        EXPECT_EQ(deleteCode(token, "Note", id), 119);
    }
    EXPECT_EQ(fetch("Note", id)->at("name"), "public");
}

TEST_F(EmulatorAccessControlTest, UserOnly) {
    const std::string mine = createWithAcl("Note", "mine", aclOf({{ann_.id, kReadWrite}}));
    const std::string shared = createWithAcl("Note", "shared", aclOf({{ann_.id, kReadWrite}, {"*", kReadOnly}}));
    const std::string dropBox = createWithAcl("Note", "dropbox", aclOf({{ann_.id, kReadOnly}, {"*", kWriteOnly}}));
    const std::string none = createWithAcl(
        "Note", "none", aclOf({{ann_.id, Json{{"read", false}, {"write", false}}}, {"*", Json{{"read", "yes"}}}}));

    EXPECT_EQ(namesFor(ann_.token, "Note"), (Names{"dropbox", "mine", "shared"}));
    EXPECT_EQ(namesFor(bob_.token, "Note"), (Names{"shared"}));
    EXPECT_EQ(namesFor("", "Note"), (Names{"shared"}));
    EXPECT_EQ(countFor(ann_.token, "Note"), 3);
    EXPECT_EQ(countFor(bob_.token, "Note"), 1);
    EXPECT_EQ(countFor("", "Note"), 1);
    EXPECT_TRUE(fetchable(ann_.token, "Note", mine));
    EXPECT_FALSE(fetchable(bob_.token, "Note", mine));
    EXPECT_FALSE(fetchable("", "Note", mine));
    EXPECT_FALSE(fetchable(ann_.token, "Note", none));
    // A pinned objectId finds nothing the caller may not read either.
    EXPECT_EQ(namesFor(bob_.token, "Note", Json{{"objectId", mine}}), Names{});

    EXPECT_EQ(updateCode(bob_.token, "Note", mine), 119);
    EXPECT_EQ(updateCode(bob_.token, "Note", shared), 119);
    EXPECT_EQ(updateCode(ann_.token, "Note", none), 119);
    EXPECT_EQ(updateCode(bob_.token, "Note", dropBox), 200);  // written, though not readable
    EXPECT_EQ(updateCode(ann_.token, "Note", dropBox), 200);
    EXPECT_EQ(updateCode(ann_.token, "Note", mine), 200);
    EXPECT_EQ(deleteCode(bob_.token, "Note", mine), 119);
    EXPECT_EQ(deleteCode(ann_.token, "Note", mine), 200);
    EXPECT_FALSE(fetch("Note", mine));
    EXPECT_FALSE(fetch("Note", shared)->contains("touched"));
}

TEST_F(EmulatorAccessControlTest, RolesAreInheritedThroughRoles) {
    // bob is in role B; B is in A's "roles", so bob is in A too, and in C,
    // whose "roles" hold A. carol is in C only, ann in none.
    const std::string roleB = createRole("B", {bob_.id});
    const std::string roleA = createRole("A", {}, {roleB});
    const auto carol = signUp("carol");
    createRole("C", {carol.id}, {roleA});
    const std::string forA = createWithAcl("Note", "forA", aclOf({{"role:A", kReadWrite}}));
    const std::string forB = createWithAcl("Note", "forB", aclOf({{"role:B", kReadOnly}}));
    const std::string forC = createWithAcl("Note", "forC", aclOf({{"role:C", kReadWrite}}));

    EXPECT_EQ(namesFor(bob_.token, "Note"), (Names{"forA", "forB", "forC"}));
    EXPECT_EQ(namesFor(carol.token, "Note"), (Names{"forC"}));
    EXPECT_EQ(namesFor(ann_.token, "Note"), Names{});
    EXPECT_EQ(namesFor("", "Note"), Names{});
    EXPECT_EQ(countFor(bob_.token, "Note"), 3);
    EXPECT_TRUE(fetchable(bob_.token, "Note", forA));
    EXPECT_FALSE(fetchable(carol.token, "Note", forA));
    EXPECT_EQ(updateCode(bob_.token, "Note", forA), 200);
    EXPECT_EQ(updateCode(bob_.token, "Note", forB), 119);  // read only
    EXPECT_EQ(updateCode(bob_.token, "Note", forC), 200);
    EXPECT_EQ(updateCode(carol.token, "Note", forA), 119);
    EXPECT_EQ(updateCode(ann_.token, "Note", forA), 119);

    // Leaving B ends the inherited membership as well.
    const Reply removed = update("_Role", roleB, Json{{"users", op("RemoveRelation", {pointer("_User", bob_.id)})}});
    ASSERT_EQ(removed.code(), 200) << removed.body;
    EXPECT_EQ(namesFor(bob_.token, "Note"), Names{});
    EXPECT_EQ(updateCode(bob_.token, "Note", forA), 119);
}

TEST_F(EmulatorAccessControlTest, RoleCyclesAreHarmless) {
    const std::string x = createRole("X", {ann_.id});
    const std::string y = createRole("Y", {}, {x});
    ASSERT_EQ(update("_Role", x, Json{{"roles", op("AddRelation", {pointer("_Role", y)})}}).code(), 200);
    ASSERT_EQ(update("_Role", y, Json{{"roles", op("AddRelation", {pointer("_Role", y)})}}).code(), 200);
    createWithAcl("Note", "forY", aclOf({{"role:Y", kReadOnly}}));
    createWithAcl("Note", "forZ", aclOf({{"role:Z", kReadOnly}}));
    EXPECT_EQ(namesFor(ann_.token, "Note"), (Names{"forY"}));
    EXPECT_EQ(namesFor(bob_.token, "Note"), Names{});
}

TEST_F(EmulatorAccessControlTest, HiddenObjectsAreNotIncludedOrMatchedBySubQueries) {
    const std::string secret = createWithAcl("Author", "secret", aclOf({{ann_.id, kReadOnly}}));
    const std::string known = create("Author", {{"name", "known"}});
    create("Post", {{"name", "p1"}, {"author", pointer("Author", secret)}});
    create("Post", {{"name", "p2"}, {"author", pointer("Author", known)}});

    const auto authors = [&](const std::string& token) {
        std::vector<Json> result;
        const Reply reply = findAs(token, "Post", Json{{"include", "author"}, {"order", "name"}});
        EXPECT_EQ(reply.code(), 200) << reply.body;
        for (const Json& post : reply.data().at("results")) result.push_back(post.at("author"));
        return result;
    };
    const auto forBob = authors(bob_.token);
    ASSERT_EQ(forBob.size(), 2u);
    EXPECT_EQ(forBob[0], pointer("Author", secret));  // left as the pointer
    EXPECT_EQ(forBob[1].at("__type"), "Object");
    const auto forAnn = authors(ann_.token);
    ASSERT_EQ(forAnn.size(), 2u);
    EXPECT_EQ(forAnn[0].at("__type"), "Object");
    EXPECT_EQ(forAnn[0].at("name"), "secret");

    const Reply fetched = callAs(bob_.token, "/7/find", "Post", idsByName("Post")["p1"], Json{{"include", "author"}});
    EXPECT_EQ(fetched.data().at("author"), pointer("Author", secret));

    const Json inQuery{{"author", {{"$inQuery", {{"where", Json::object()}, {"className", "Author"}}}}}};
    const Json notInQuery{{"author", {{"$notInQuery", {{"where", Json::object()}, {"className", "Author"}}}}}};
    EXPECT_EQ(namesFor(ann_.token, "Post", inQuery), (Names{"p1", "p2"}));
    EXPECT_EQ(namesFor(bob_.token, "Post", inQuery), (Names{"p2"}));
    EXPECT_EQ(namesFor(bob_.token, "Post", notInQuery), (Names{"p1"}));
}

TEST_F(EmulatorAccessControlTest, UsersAndRolesFollowTheirAcl) {
    const auto hidden = signUp("hidden", "secret", {{"ACL", aclOf({{"role:staff", kReadOnly}})}});
    createRole("staff", {ann_.id});
    createWithAcl("_Role", "private", aclOf({{ann_.id, kReadWrite}}));

    EXPECT_EQ(countFor("", "_User"), 2);  // ann and bob have no ACL: readable by everybody
    EXPECT_EQ(countFor(ann_.token, "_User"), 3);
    EXPECT_FALSE(fetchable(bob_.token, "_User", hidden.id));
    EXPECT_TRUE(fetchable(ann_.token, "_User", hidden.id));
    // Not even the user may change itself when its ACL does not say so.
    EXPECT_EQ(updateCode(hidden.token, "_User", hidden.id), 119);
    EXPECT_EQ(namesFor("", "_Role"), (Names{"staff"}));
    EXPECT_EQ(namesFor(ann_.token, "_Role"), (Names{"private", "staff"}));
    // Log-in still works for a user nobody may read.
    EXPECT_EQ(logIn("hidden", "secret").code(), 200);
}

TEST_F(EmulatorAccessControlTest, BatchOperationsAreRefusedAlone) {
    const std::string locked = createWithAcl("Note", "locked", aclOf({{ann_.id, kReadWrite}}));
    const std::string open = create("Note", {{"name", "open"}});
    const std::string path = "/1/classes/Note/";
    const Reply reply =
        callAs(bob_.token, "/7/batch", nullptr, nullptr,
               {{"requests",
                 {{{"method", "PUT"}, {"path", path + open}, {"body", {{"n", 1}}}},
                  {{"method", "PUT"}, {"path", path + locked}, {"body", {{"n", 1}}}},
                  {{"method", "DELETE"}, {"path", path + locked}},
                  {{"method", "PUT"}, {"path", path + locked}, {"token", ann_.token}, {"body", {{"n", 2}}}},
                  {{"method", "POST"}, {"path", "/1/classes/Note"}, {"body", {{"name", "new"}}}}}}});
    ASSERT_EQ(reply.code(), 200) << reply.body;
    ASSERT_EQ(reply.data().size(), 5u);
    EXPECT_TRUE(reply.data()[0].contains("success"));
    EXPECT_EQ(reply.data()[1]["error"]["code"], 119);
    EXPECT_EQ(reply.data()[2]["error"]["code"], 119);
    EXPECT_TRUE(reply.data()[3].contains("success")) << reply.data()[3];
    EXPECT_TRUE(reply.data()[4].contains("success"));
    EXPECT_EQ(fetch("Note", open)->at("n"), 1);
    EXPECT_EQ(fetch("Note", locked)->at("n"), 2);
    EXPECT_EQ(count("Note"), 3u);
}

TEST_F(EmulatorAccessControlTest, WritesMayChangeTheAclThemselves) {
    const std::string id = createWithAcl("Note", "n", aclOf({{ann_.id, kReadWrite}}));
    ASSERT_EQ(callAs(ann_.token, "/7/update", "Note", id, Json{{"ACL", aclOf({{bob_.id, kReadWrite}})}}).code(), 200);
    EXPECT_FALSE(fetchable(ann_.token, "Note", id));
    EXPECT_EQ(updateCode(ann_.token, "Note", id), 119);
    EXPECT_EQ(updateCode(bob_.token, "Note", id), 200);
}

}  // namespace
}  // namespace vorn::emulator::emutest
