#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/core/v_VornUtils.h"
#include "vorn/data/VornObject.h"
#include "vorn/data/VornObjectsBatch.h"
#include "vorn/files/VornFile.h"

#include <vorn_emulator/ObjectStore.h>
#include <vorn_emulator/Server.h>

#include <gtest/gtest.h>

using namespace vorn;
using json = nlohmann::json;

namespace {

/// Runs one write and waits for its result.
OptionalError run(const std::function<void(VornBooleanResultBlock)>& write) {
    bool done = false;
    OptionalError result;
    write([&](bool, const OptionalError& error) {
        result = error;
        done = true;
    });
    EXPECT_TRUE(test::runUntil([&] { return done; }));
    return result;
}

}  // namespace

class RoundTripTest : public test::EmulatorTest {
protected:
    json stored(const std::shared_ptr<VornObject>& object) {
        return storedObject(*object->className(), *object->objectId()).value_or(json());
    }
    std::shared_ptr<VornObject> saved(const std::shared_ptr<VornObject>& object) {
        EXPECT_FALSE(run([&](auto block) { object->saveInBackgroundWithResultBlock(block); }));
        return object;
    }
};

TEST_F(RoundTripTest, EveryValueKindIsStoredInItsWireForm) {
    auto target = saved([] {
        auto object = VornObject::objectWithClassName("Player");
        object->setObject("p", "name");
        return object;
    }());
    auto score = VornObject::objectWithClassName("GameScore");
    const auto date = v_VornUtils::dateOfString("2015-03-01 08:00:00").value();
    score->setObject("Sean", "name");
    score->setObject(1337, "score");
    score->setObject(2.5, "ratio");
    score->setObject(true, "cheat");
    score->setObject(nullptr, "nothing");
    score->setObject(json::array({1, "a"}), "list");
    score->setObject(json{{"k", "v"}}, "map");
    score->setObject(date, "when");
    score->setObject(VornGeoPoint(121.5, 31.2), "where");
    score->setObject(VornFile::fileWithUrl("http://" + host() + "/g/f.png", "f.png", "g"), "picture");
    score->setObject(target, "player");
    score->setACL(VornACL::ACL());
    score->ACL()->setPublicReadAccess();
    saved(score);
    ASSERT_TRUE(score->objectId());
    EXPECT_EQ(score->createdAt(), score->updatedAt());

    const auto object = stored(score);
    EXPECT_EQ(object["objectId"], *score->objectId());
    EXPECT_EQ(v_VornUtils::dateOfString(object["createdAt"]), score->createdAt());
    for (const char* key :
         {"name", "score", "ratio", "cheat", "nothing", "list", "map", "when", "where", "picture", "player", "ACL"}) {
        EXPECT_EQ(object[key], score->vornDataDic()[key]) << key;
    }
    EXPECT_EQ(object["picture"]["url"], "g/f.png");

    // Read back through the object's own decoding.
    auto copy = VornObject::objectWithClassName("GameScore");
    copy->getDictionaryAfterQuery(object);
    EXPECT_EQ(copy->objectForKey("when")->date(), date);
    EXPECT_EQ(copy->objectForKey("where")->geoPoint(), VornGeoPoint(121.5, 31.2));
    EXPECT_EQ(copy->objectForKey("picture")->file()->url(), "http://" + host() + "/g/f.png");
    EXPECT_EQ(copy->objectForKey("player")->object()->objectId(), target->objectId());
}

TEST_F(RoundTripTest, OperatorsChangeTheStoredObject) {
    auto object = VornObject::objectWithClassName("Counter");
    object->setObject(10, "n");
    object->setObject(json::array({"a", "b"}), "tags");
    object->setObject("gone soon", "old");
    saved(object);
    const auto firstUpdate = object->updatedAt();

    object->emptyDataDic();
    object->incrementKey("n", 5);
    object->decrementKey("m", 2);
    object->addObjectsFromArray({"c"}, "tags");
    object->addUniqueObjectsFromArray({"a", "d"}, "tags");
    object->deleteForKey("old");
    EXPECT_FALSE(run([&](auto block) { object->updateInBackgroundWithResultBlock(block); }));
    auto after = stored(object);
    EXPECT_EQ(after["n"], 15);
    EXPECT_EQ(after["m"], -2);
    // One key holds one operator: the AddUnique replaced the Add of "c".
    EXPECT_EQ(after["tags"], (json{"a", "b", "d"}));
    EXPECT_FALSE(after.contains("old"));
    EXPECT_TRUE(object->updatedAt() >= firstUpdate);

    object->emptyDataDic();
    object->removeObjectsInArray({"a", "c"}, "tags");
    EXPECT_FALSE(run([&](auto block) { object->updateInBackgroundWithResultBlock(block); }));
    EXPECT_EQ(stored(object)["tags"], (json{"b", "d"}));

    // A type conflict is the service's error, and nothing changes.
    object->emptyDataDic();
    object->incrementKey("tags");
    const auto conflict = run([&](auto block) { object->updateInBackgroundWithResultBlock(block); });
    ASSERT_TRUE(conflict);
    EXPECT_EQ(conflict->code, 111);
    EXPECT_FALSE(conflict->message().empty());
    EXPECT_EQ(stored(object)["tags"], (json{"b", "d"}));
}

TEST_F(RoundTripTest, RelationsAreAddedAndRemoved) {
    auto a = saved([] {
        auto o = VornObject::objectWithClassName("Post");
        o->setObject(1, "n");
        return o;
    }());
    auto b = saved([] {
        auto o = VornObject::objectWithClassName("Post");
        o->setObject(2, "n");
        return o;
    }());
    auto user = saved([] {
        auto o = VornObject::objectWithClassName("Fan");
        o->setObject("x", "name");
        return o;
    }());
    auto relation = VornRelation::relation();
    relation->addObject(a);
    relation->addObject(b);
    user->emptyDataDic();
    user->addRelation(relation, "likes");
    EXPECT_FALSE(run([&](auto block) { user->updateInBackgroundWithResultBlock(block); }));
    auto& server = emulatorServer();
    auto related = [&] {
        return server.call(
            [&] { return emulator::relatedObjects(server.storage(), "Fan", *user->objectId(), "likes"); });
    };
    EXPECT_EQ(related().size(), 2u);
    EXPECT_EQ(stored(user)["likes"]["__type"], "Relation");

    relation->removeObject(a);
    user->emptyDataDic();
    user->addRelation(relation, "likes");
    // The relation descriptor read from the service is never sent back.
    user->vornDataDic()["descriptor"] = stored(user)["likes"];
    EXPECT_FALSE(run([&](auto block) { user->updateInBackgroundWithResultBlock(block); }));
    ASSERT_EQ(related().size(), 1u);
    EXPECT_EQ(related()[0].second, *b->objectId());
}

TEST_F(RoundTripTest, DeleteAndItsErrors) {
    auto object = saved([] {
        auto o = VornObject::objectWithClassName("Temp");
        o->setObject(1, "n");
        return o;
    }());
    const auto id = *object->objectId();
    EXPECT_FALSE(run([&](auto block) { object->deleteInBackgroundWithBlock(block); }));
    EXPECT_FALSE(storedObject("Temp", id));
    const auto again = run([&](auto block) { object->deleteInBackgroundWithBlock(block); });
    ASSERT_TRUE(again);
    EXPECT_EQ(again->code, 101);
    auto missing = VornObject::objectWithoutDatatWithClassName("Temp", "nope");
    EXPECT_EQ(run([&](auto block) { missing->updateInBackgroundWithResultBlock(block); })->code, 101);
}

TEST_F(RoundTripTest, BatchesRunEveryOperation) {
    auto doomed = saved([] {
        auto o = VornObject::objectWithClassName("Note");
        o->setObject("x", "t");
        return o;
    }());
    auto kept = saved([] {
        auto o = VornObject::objectWithClassName("Note");
        o->setObject("y", "t");
        return o;
    }());
    auto batch = VornObjectsBatch::init();
    const auto date = v_VornUtils::dateOfString("2016-01-02 03:04:05").value();
    for (int i = 0; i < 47; ++i) batch->saveVornObjectWithClassName("Note", {{"i", i}, {"when", date}});
    batch->updateVornObjectWithClassName("Note", *kept->objectId(), {{"t", "changed"}});
    batch->deleteVornObjectWithClassName("Note", *doomed->objectId());
    batch->deleteVornObjectWithClassName("Note", "does-not-exist");  // fails alone
    ASSERT_EQ(batch->objectsArray().size(), 50u);
    EXPECT_FALSE(run([&](auto block) { batch->batchObjectsInBackgroundWithResultBlock(block); }));
    auto& server = emulatorServer();
    EXPECT_EQ(server.call([&] { return emulator::countObjects(server.storage(), "Note"); }), 48u);
    EXPECT_EQ(stored(kept)["t"], "changed");
    EXPECT_FALSE(storedObject("Note", *doomed->objectId()));

    batch->deleteVornObjectWithClassName("Note", *kept->objectId());
    EXPECT_EQ(run([&](auto block) { batch->batchObjectsInBackgroundWithResultBlock(block); })->code, 20014);
}
