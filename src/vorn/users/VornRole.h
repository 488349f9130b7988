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
    /// A new role with no name.
    static std::shared_ptr<VornRole> init();
    /// The same as `init()`; the class is always "_Role".
    static std::shared_ptr<VornRole> initWithClassName(const std::string& ignored);
    /// A new role with this name.
    static std::shared_ptr<VornRole> initWithName(const std::optional<std::string>& name);
    /// The role also takes the access list.
    static std::shared_ptr<VornRole> initWithName(const std::optional<std::string>& name, std::shared_ptr<VornACL> acl);
    /// The same as `initWithName`.
    static std::shared_ptr<VornRole> roleWithName(const std::optional<std::string>& name) { return initWithName(name); }
    /// The same as `initWithName`, with the access list.
    static std::shared_ptr<VornRole> roleWithName(const std::optional<std::string>& name,
                                                  std::shared_ptr<VornACL> acl) {
        return initWithName(name, std::move(acl));
    }
    /// A reference to the stored role with this identifier.
    static std::shared_ptr<VornRole> objectWithoutDatatWithClassName(const std::string& ignored,
                                                                     const std::string& objectId);
    /// A query of the "_Role" class.
    static std::shared_ptr<VornQuery> query();

    /// Made only by the factories.
    explicit VornRole(Passkey);

    /// The role's name.
    const std::optional<std::string>& name() const { return name_; }
    /// Sets the role's name, stored in "name" on the next save or update.
    void setName(std::optional<std::string> name) { name_ = std::move(name); }

    /// Puts a non-empty name into the field "name".
    void setUpName();
    /// Adds or removes users of the role (the relation "users").
    void addUsersRelation(const std::shared_ptr<VornRelation>& relation) { addRelation(relation, "users"); }
    /// Adds or removes roles whose members the role includes (the relation "roles").
    void addRolesRelation(const std::shared_ptr<VornRelation>& relation) { addRelation(relation, "roles"); }

    // The name goes into "name" before every save and update.
    void saveInBackground() override;
    /// Puts the name into "name", then saves as `VornObject` does.
    void saveInBackgroundWithResultBlock(VornBooleanResultBlock block) override;
    /// The other forms of `VornObject`.
    using VornObject::saveInBackgroundWithResultBlock;
    void updateInBackground() override;
    /// Puts the name into "name", then updates as `VornObject` does.
    void updateInBackgroundWithResultBlock(VornBooleanResultBlock block) override;
    /// The other forms of `VornObject`.
    using VornObject::updateInBackgroundWithResultBlock;

private:
    std::optional<std::string> name_;
};

}  // namespace vorn
