#include "support/TestDevice.h"

#include "vorn/data/VornACL.h"
#include "vorn/data/VornGeoPoint.h"
#include "vorn/data/VornObject.h"
#include "vorn/data/VornRelation.h"

#include <gtest/gtest.h>

using namespace vorn;

namespace {

/// Stand-ins for the user and role kinds: the access list reads only a
/// user's identifier and a role's name.
struct FakeUser {
    std::optional<std::string> id;
    const std::optional<std::string>& objectId() const { return id; }
};
struct FakeRole {
    std::optional<std::string> roleName;
    const std::optional<std::string>& name() const { return roleName; }
};

}  // namespace

TEST(ACL, OneRulePerPrincipalTheLastOneSet) {
    auto acl = VornACL::ACL();
    EXPECT_TRUE(acl->aclDictionary().empty());
    acl->setPublicReadAccess();
    EXPECT_EQ(acl->aclDic(), (nlohmann::json{{"*", {{"read", true}}}}));
    acl->setPublicReadAccess(false);
    EXPECT_EQ(acl->aclDic()["*"], (nlohmann::json{{"read", false}}));

    auto user = std::make_shared<FakeUser>(FakeUser{"u1"});
    acl->setReadAccessForUser(user);
    acl->setWriteAccessForUser(user);
    EXPECT_EQ(acl->aclDic()["u1"], (nlohmann::json{{"write", true}}));

    acl->setReadAccessForRoleWithName("Admin");
    acl->setWriteAccessForRole(std::make_shared<FakeRole>(FakeRole{"Editors"}));
    EXPECT_EQ(acl->aclDic()["role:Admin"], (nlohmann::json{{"read", true}}));
    EXPECT_EQ(acl->aclDic()["role:Editors"], (nlohmann::json{{"write", true}}));
    EXPECT_EQ(acl->aclDic()["*"], (nlohmann::json{{"read", false}}));  // other principals untouched

    // Absent principals change nothing.
    const auto before = acl->aclDic();
    acl->setReadAccessForUserId("");
    acl->setReadAccessForRoleWithName("");
    acl->setReadAccessForUser(std::make_shared<FakeUser>());
    acl->setReadAccessForUser(std::shared_ptr<FakeUser>());
    acl->setWriteAccessForRole(std::make_shared<FakeRole>());
    EXPECT_EQ(acl->aclDic(), before);
}

TEST(GeoPoint, RangesAreExclusiveAndDistancesZero) {
    EXPECT_EQ(VornGeoPoint(0, 90), VornGeoPoint());
    EXPECT_EQ(VornGeoPoint(180, 0), VornGeoPoint());
    const VornGeoPoint point(179.9, 89.9);
    EXPECT_EQ(point.longitude(), 179.9);
    EXPECT_EQ(point.latitude(), 89.9);
    VornGeoPoint moved = point;
    moved.setLongitude(180, 10);
    EXPECT_EQ(moved, point);
    moved.setLongitude(-10, -20);
    EXPECT_EQ(moved, VornGeoPoint(-10, -20));
    moved.setLatitude(95);  // plain accessors do not check
    EXPECT_EQ(moved.latitude(), 95);
    EXPECT_EQ(point.distanceInKilometersTo(VornGeoPoint(1, 1)), 0.0);
    EXPECT_EQ(point.distanceInMilesTo(VornGeoPoint(1, 1)), 0.0);
    EXPECT_EQ(point.distanceInRadiansTo(VornGeoPoint(1, 1)), 0.0);
    EXPECT_EQ(point.wireForm(), (nlohmann::json{{"__type", "GeoPoint"}, {"latitude", 89.9}, {"longitude", 179.9}}));
}

TEST(Relation, CollectsOneKindOfChangeAtATime) {
    auto a = VornObject::objectWithoutDatatWithClassName("Post", "a");
    auto b = VornObject::objectWithoutDatatWithClassName("Post", "b");
    auto c = VornObject::objectWithoutDatatWithClassName("Post", "c");
    auto relation = VornRelation::relation();
    EXPECT_TRUE(relation->addOrRemoveRelation());
    EXPECT_FALSE(relation->hasRelationArray());
    relation->addObject(a);
    relation->addObject(b);
    relation->addObject(a);  // duplicates stay
    EXPECT_EQ(relation->relationArray().size(), 3u);
    relation->removeObject(c);
    EXPECT_FALSE(relation->addOrRemoveRelation());
    EXPECT_EQ(relation->relationArray(), nlohmann::json::array({c->pointerForm()}));
    relation->addObject(b);
    EXPECT_TRUE(relation->addOrRemoveRelation());
    EXPECT_EQ(relation->vRelationArray(), nlohmann::json::array({b->pointerForm()}));
}

TEST(Relation, FirstRemovalSwitchesAnEmptyRelation) {
    auto relation = VornRelation::relation();
    relation->removeObject(VornObject::objectWithoutDatatWithClassName("Post", "x"));
    EXPECT_FALSE(relation->addOrRemoveRelation());
    EXPECT_EQ(relation->relationArray().size(), 1u);
}
