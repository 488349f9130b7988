#include "support/TestDevice.h"

#include "vorn/core/DeviceContext.h"
#include "vorn/core/StoreKeys.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/data/VornObject.h"
#include "vorn/data/VornObjectRegistry.h"
#include "vorn/data/VornObjectsBatch.h"
#include "vorn/files/VornFile.h"
#include "vorn/net/VornUrlRequest.h"
#include "vorn/query/VornQuery.h"
#include "vorn/users/VornUser.h"

#include <gtest/gtest.h>

using namespace vorn;

namespace {

/// A kind registered for a class, as the user module registers "_User".
class Member : public VornObject {
public:
    using VornObject::VornObject;
};

nlohmann::json stored(const std::shared_ptr<VornObject>& object, const std::string& key) {
    return object->vornDataDic().at(key);
}

}  // namespace

class ObjectTest : public ::testing::Test {
protected:
    test::TestDevice device_{"files.example:81"};
    std::shared_ptr<VornObject> object_ = VornObject::objectWithClassName("GameScore");
};

TEST_F(ObjectTest, PlainValuesAreStoredAsTheyAre) {
    object_->setObject("Sean", "name");
    object_->setObject(1337, "score");
    object_->setObject(true, "cheat");
    object_->setObject(nullptr, "nothing");
    object_->setObject(nlohmann::json::array({1, "two", nlohmann::json{{"__type", "Date"}}}), "list");
    object_->setObject(nlohmann::json{{"nested", {{"a", 1}}}}, "map");
    object_->setObject("ignored", "");
    object_->setObject(std::shared_ptr<VornObject>(), "absent");
    object_->setObject(std::shared_ptr<VornFile>(), "absentFile");
    EXPECT_EQ(object_->vornDataDic().size(), 6u);
    EXPECT_EQ(object_->objectForKey("name")->json(), "Sean");
    EXPECT_EQ(object_->objectForKey("score")->json(), 1337);
    EXPECT_TRUE(object_->objectForKey("nothing")->json().is_null());
    // Array elements are neither encoded nor decoded.
    EXPECT_EQ(object_->objectForKey("list")->json()[2], (nlohmann::json{{"__type", "Date"}}));
    EXPECT_FALSE(object_->objectForKey("missing"));
}

TEST_F(ObjectTest, DatesTravelAsLocalTimeText) {
    const auto date = v_VornUtils::dateOfString("2015-03-01 08:00:00").value();
    object_->setObject(date, "when");
    EXPECT_EQ(stored(object_, "when"), (nlohmann::json{{"__type", "Date"}, {"iso", "2015-03-01 08:00:00"}}));
    EXPECT_EQ(object_->objectForKey("when")->date(), date);
    // A date text that does not parse is no value at all.
    object_->vornDataDic()["bad"] = {{"__type", "Date"}, {"iso", "yesterday"}};
    EXPECT_FALSE(object_->objectForKey("bad"));
    object_->vornDataDic()["noText"] = {{"__type", "Date"}};
    EXPECT_FALSE(object_->objectForKey("noText"));
}

TEST_F(ObjectTest, GeoPointsAndUnknownTypedMaps) {
    object_->setObject(VornGeoPoint(121.5, 31.2), "where");
    EXPECT_EQ(stored(object_, "where")["__type"], "GeoPoint");
    EXPECT_EQ(object_->objectForKey("where")->geoPoint(), VornGeoPoint(121.5, 31.2));
    const nlohmann::json relation{{"__type", "Relation"}, {"className", "Post"}};
    object_->vornDataDic()["posts"] = relation;
    EXPECT_EQ(object_->objectForKey("posts")->json(), relation);
}

TEST_F(ObjectTest, FilesOnTheFileHostTravelAsRelativePaths) {
    object_->setObject(VornFile::fileWithUrl("http://files.example:81/g1/photo.jpg", "photo.jpg", "g1"), "photo");
    EXPECT_EQ(
        stored(object_, "photo"),
        (nlohmann::json{{"__type", "File"}, {"group", "g1"}, {"url", "g1/photo.jpg"}, {"filename", "photo.jpg"}}));
    auto file = object_->objectForKey("photo")->file();
    ASSERT_TRUE(file);
    EXPECT_EQ(file->url(), "http://files.example:81/g1/photo.jpg");
    EXPECT_EQ(file->name(), "photo.jpg");
    EXPECT_EQ(file->group(), "g1");

    object_->setObject(VornFile::fileWithUrl("https://cdn.example/x.png", "x.png"), "remote");
    EXPECT_EQ(stored(object_, "remote")["group"], "");
    EXPECT_EQ(stored(object_, "remote")["url"], "https://cdn.example/x.png");
    EXPECT_EQ(object_->objectForKey("remote")->file()->url(), "https://cdn.example/x.png");

    // A file without a URL ends its form after the group.
    object_->setObject(VornFile::fileWithUrl(std::nullopt, "n"), "pending");
    EXPECT_EQ(stored(object_, "pending"), (nlohmann::json{{"__type", "File"}, {"group", ""}}));
}

TEST_F(ObjectTest, ObjectsTravelAsPointers) {
    auto player = VornObject::objectWithoutDatatWithClassName("Player", "p1");
    object_->setObject(player, "player");
    EXPECT_EQ(stored(object_, "player"),
              (nlohmann::json{{"__type", "Pointer"}, {"className", "Player"}, {"objectId", "p1"}}));
    auto back = object_->objectForKey("player")->object();
    ASSERT_TRUE(back);
    EXPECT_EQ(back->className(), "Player");
    EXPECT_EQ(back->objectId(), "p1");
    EXPECT_TRUE(back->vornDataDic().empty());
    // Partial pointers end at the first absent entry.
    EXPECT_EQ(VornObject::objectWithClassName("Player")->pointerForm(),
              (nlohmann::json{{"__type", "Pointer"}, {"className", "Player"}}));
    EXPECT_EQ(VornObject::init()->pointerForm(), (nlohmann::json{{"__type", "Pointer"}}));
    // Forms without a class name decode to objects without one, and
    // re-encode ending before the class name.
    for (const char* type : {"Pointer", "Object"}) {
        object_->vornDataDic()["anonymous"] = {{"__type", type}, {"objectId", "x1"}};
        auto anonymous = object_->objectForKey("anonymous")->object();
        ASSERT_TRUE(anonymous);
        EXPECT_FALSE(anonymous->className()) << type;
        EXPECT_EQ(anonymous->objectId(), "x1");
        EXPECT_EQ(anonymous->pointerForm(), (nlohmann::json{{"__type", "Pointer"}})) << type;
    }
}

TEST_F(ObjectTest, FileUrlsFollowTheRegisteredDownloadBase) {
    // The base is what registration stored, not what the hosts say now.
    DeviceContext::shared().store()->setObject("http://stored.example:82", storekeys::kFileUrl);
    object_->setObject(VornFile::fileWithUrl("http://stored.example:82/g/a.png", "a.png", "g"), "photo");
    EXPECT_EQ(stored(object_, "photo")["url"], "g/a.png");
    EXPECT_EQ(object_->objectForKey("photo")->file()->url(), "http://stored.example:82/g/a.png");
    object_->setObject(VornFile::fileWithUrl("http://files.example:81/g/b.png", "b.png", "g"), "other");
    EXPECT_EQ(stored(object_, "other")["url"], "http://files.example:81/g/b.png");
}

TEST_F(ObjectTest, EmbeddedObjectsBecomeTheirRegisteredKind) {
    VornObjectRegistry::shared().registerKind("_Member",
                                              [](const std::string& name) { return VornObject::make<Member>(name); });
    object_->vornDataDic()["owner"] = {{"__type", "Object"},
                                       {"className", "_Member"},
                                       {"objectId", "m1"},
                                       {"createdAt", "2020-01-02 03:04:05"},
                                       {"updatedAt", "2021-01-02 03:04:05"},
                                       {"nick", "ann"}};
    auto owner = object_->objectForKey("owner")->objectAs<Member>();
    ASSERT_TRUE(owner);
    EXPECT_EQ(owner->className(), "_Member");
    EXPECT_EQ(owner->objectId(), "m1");
    EXPECT_EQ(owner->createdAt(), v_VornUtils::dateOfString("2020-01-02 03:04:05"));
    EXPECT_EQ(owner->updatedAt(), v_VornUtils::dateOfString("2021-01-02 03:04:05"));
    EXPECT_EQ(owner->vornDataDic(), (nlohmann::json{{"__type", "Object"}, {"className", "_Member"}, {"nick", "ann"}}));
    // Unregistered classes are plain objects.
    object_->vornDataDic()["other"] = {{"__type", "Object"}, {"className", "Thing"}, {"objectId", "t"}};
    auto other = object_->objectForKey("other")->object();
    EXPECT_EQ(other->className(), "Thing");
    EXPECT_FALSE(object_->objectForKey("other")->objectAs<Member>());
}

TEST_F(ObjectTest, OperatorsReplaceWhatTheKeyHeld) {
    object_->incrementKey("a");
    object_->decrementKey("b", 3);
    object_->decrementKey("c");
    object_->incrementKey("d", -7);
    object_->deleteForKey("e");
    object_->addObjectsFromArray({1, 2}, "f");
    object_->addUniqueObjectsFromArray({"x"}, "g");
    object_->removeObjectsInArray({3}, "h");
    object_->addObjectsFromArray(nlohmann::json("not an array"), "ignored");
    object_->incrementKey("", 1);
    auto& data = object_->vornDataDic();
    EXPECT_EQ(data["a"], (nlohmann::json{{"__op", "Increment"}, {"amount", 1}}));
    EXPECT_EQ(data["b"], (nlohmann::json{{"__op", "Increment"}, {"amount", -3}}));
    EXPECT_EQ(data["c"], (nlohmann::json{{"__op", "Increment"}, {"amount", -1}}));
    EXPECT_EQ(data["d"]["amount"], -7);
    EXPECT_EQ(data["e"], (nlohmann::json{{"__op", "Delete"}}));
    EXPECT_EQ(data["f"], (nlohmann::json{{"__op", "Add"}, {"objects", {1, 2}}}));
    EXPECT_EQ(data["g"]["__op"], "AddUnique");
    EXPECT_EQ(data["h"]["__op"], "Remove");
    EXPECT_FALSE(data.contains("ignored"));
    object_->setObject(5, "a");
    EXPECT_EQ(data["a"], 5);

    auto relation = VornRelation::relation();
    object_->addRelation(relation, "posts");  // no list yet: ignored
    EXPECT_FALSE(data.contains("posts"));
    relation->addObject(VornObject::objectWithoutDatatWithClassName("Post", "p"));
    object_->addRelation(relation, "posts");
    EXPECT_EQ(data["posts"],
              (nlohmann::json{{"__op", "AddRelation"},
                              {"objects", {{{"__type", "Pointer"}, {"className", "Post"}, {"objectId", "p"}}}}}));
}

TEST_F(ObjectTest, DataMapOperations) {
    auto fresh = VornObject::objectWithClassName("T");
    fresh->setVornDataDicFromDic({{"a", 1}});  // no data map yet: nothing
    fresh->setSelfDataDictionary({{"b", 2}});
    EXPECT_EQ(fresh->vornDataDic(), (nlohmann::json{{"b", 2}}));
    fresh->setVornDataDicFromDic({{"c", 3}});
    EXPECT_EQ(fresh->vornDataDic(), (nlohmann::json{{"c", 3}}));
    fresh->getDictionaryAfterQuery(
        {{"objectId", "x"}, {"createdAt", "t"}, {"updatedAt", "t"}, {"ACL", {{"*", {{"read", true}}}}}, {"n", 1}});
    EXPECT_EQ(fresh->vornDataDic(), (nlohmann::json{{"ACL", {{"*", {{"read", true}}}}}, {"n", 1}}));
    EXPECT_FALSE(fresh->ACL());  // the list is not taken from results
    fresh->emptyDataDic();
    EXPECT_TRUE(fresh->vornDataDic().empty());

    fresh->saveAllWithDictionary({{"s", "text"}, {"d", v_VornUtils::dateOfString("2015-03-01 08:00:00").value()}});
    EXPECT_EQ(fresh->vornDataDic()["d"]["__type"], "Date");
    EXPECT_EQ(fresh->vornDataDic()["s"], "text");
}

TEST_F(ObjectTest, RequestDataCarriesANonEmptyAccessList) {
    object_->setACL(VornACL::ACL());
    EXPECT_FALSE(object_->requestDataDictionary().contains("ACL"));
    object_->ACL()->setPublicReadAccess();
    EXPECT_EQ(object_->requestDataDictionary()["ACL"], (nlohmann::json{{"*", {{"read", true}}}}));
    EXPECT_TRUE(object_->vornDataDic().contains("ACL"));  // it stays in the data map
}

// Objects that report through shared ownership can only be made owned.
TEST(Ownership, ReferenceTypesCanOnlyBeMadeThroughTheirFactories) {
    static_assert(!std::is_constructible_v<VornObject>);
    static_assert(!std::is_constructible_v<VornObject, std::string>);
    static_assert(!std::is_constructible_v<Member, std::string>);
    static_assert(!std::is_copy_constructible_v<VornObject>);
    static_assert(!std::is_constructible_v<VornUrlRequest, std::string>);
    static_assert(!std::is_constructible_v<VornQuery, std::string>);
    static_assert(!std::is_constructible_v<VornObjectsBatch>);
    static_assert(!std::is_constructible_v<VornUser>);
    static_assert(!std::is_constructible_v<VornFile>);
    auto member = VornObject::make<Member>(std::string("_Member"));
    EXPECT_EQ(member->className(), "_Member");
    EXPECT_EQ(member->shared_from_this(), member);
    EXPECT_TRUE(VornACL::init()->aclDictionary().empty());
    EXPECT_FALSE(VornRelation::init()->hasRelationArray());
    EXPECT_EQ(VornGeoPoint::init().latitude(), 0.0);
}
