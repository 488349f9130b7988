#pragma once

#include "vorn/data/VornObject.h"

#include <memory>
#include <optional>
#include <string>

namespace vorn {

class VornQuery;

/// A role (class "_Role"): a name that access lists grant rights to, with
/// the users that belong to it ("users") and the roles whose members it
/// includes ("roles").
class VornRole : public VornObject {
public:
    static std::shared_ptr<VornRole> init();
    static std::shared_ptr<VornRole> initWithClassName(const std::string& ignored);
    static std::shared_ptr<VornRole> initWithName(const std::optional<std::string>& name);
    /// The role also takes the access list.
    static std::shared_ptr<VornRole> initWithName(const std::optional<std::string>& name, std::shared_ptr<VornACL> acl);
    static std::shared_ptr<VornRole> roleWithName(const std::optional<std::string>& name) { return initWithName(name); }
    static std::shared_ptr<VornRole> roleWithName(const std::optional<std::string>& name,
                                                  std::shared_ptr<VornACL> acl) {
        return initWithName(name, std::move(acl));
    }
    static std::shared_ptr<VornRole> objectWithoutDatatWithClassName(const std::string& ignored,
                                                                     const std::string& objectId);
    static std::shared_ptr<VornQuery> query();

    explicit VornRole(Passkey);

    const std::optional<std::string>& name() const { return name_; }
    void setName(std::optional<std::string> name) { name_ = std::move(name); }

    /// Puts a non-empty name into the field "name".
    void setUpName();
    void addUsersRelation(const std::shared_ptr<VornRelation>& relation) { addRelation(relation, "users"); }
    void addRolesRelation(const std::shared_ptr<VornRelation>& relation) { addRelation(relation, "roles"); }

    // The name goes into "name" before every save and update.
    void saveInBackground() override;
    void saveInBackgroundWithResultBlock(VornBooleanResultBlock block) override;
    using VornObject::saveInBackgroundWithResultBlock;
    void updateInBackground() override;
    void updateInBackgroundWithResultBlock(VornBooleanResultBlock block) override;
    using VornObject::updateInBackgroundWithResultBlock;

private:
    std::optional<std::string> name_;
};

}  // namespace vorn
