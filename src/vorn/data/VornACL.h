#pragma once

#include <nlohmann/json.hpp>

#include <memory>
#include <optional>
#include <string>

namespace vorn {

/// Who may read and who may write a stored object: rules for everybody
/// ("*"), for users (by identifier) and for roles ("role:<name>"). Each
/// principal holds one rule, {"read": flag} or {"write": flag}, the one
/// set last.
class VornACL {
public:
    /// Makes an empty list: nobody has a rule.
    static std::shared_ptr<VornACL> ACL() { return std::make_shared<VornACL>(); }
    /// The same as `ACL()`.
    static std::shared_ptr<VornACL> init() { return ACL(); }

    /// The rules by principal (the wire form of the list).
    nlohmann::json& aclDictionary() { return aclDictionary_; }
    /// The same, read-only.
    const nlohmann::json& aclDictionary() const { return aclDictionary_; }
    /// The same as `aclDictionary()`.
    nlohmann::json& aclDic() { return aclDictionary_; }
    /// The same, read-only.
    const nlohmann::json& aclDic() const { return aclDictionary_; }
    /// Replaces the rules; anything but a JSON object leaves an empty list.
    void setAclDictionary(nlohmann::json dictionary);

    /// Sets the read rule of everybody ("*").
    void setPublicReadAccess(bool allowed);
    /// Sets the write rule of everybody ("*").
    void setPublicWriteAccess(bool allowed);
    /// Lets everybody read.
    void setPublicReadAccess() { setPublicReadAccess(true); }
    /// Lets everybody write.
    void setPublicWriteAccess() { setPublicWriteAccess(true); }

    /// Sets the read rule of the user with this identifier; an empty identifier changes nothing.
    void setReadAccessForUserId(bool allowed, const std::string& userId);
    /// Sets the write rule of the user with this identifier; an empty identifier changes nothing.
    void setWriteAccessForUserId(bool allowed, const std::string& userId);
    /// Lets the user with this identifier read.
    void setReadAccessForUserId(const std::string& userId) { setReadAccessForUserId(true, userId); }
    /// Lets the user with this identifier write.
    void setWriteAccessForUserId(const std::string& userId) { setWriteAccessForUserId(true, userId); }

    /// Rules for a user object; a user without an identifier changes nothing.
    template <typename User>
    void setReadAccessForUser(bool allowed, const std::shared_ptr<User>& user) {
        if (user && user->objectId()) setReadAccessForUserId(allowed, *user->objectId());
    }
    /// The same, for writing.
    template <typename User>
    void setWriteAccessForUser(bool allowed, const std::shared_ptr<User>& user) {
        if (user && user->objectId()) setWriteAccessForUserId(allowed, *user->objectId());
    }
    /// Lets the user read.
    template <typename User>
    void setReadAccessForUser(const std::shared_ptr<User>& user) {
        setReadAccessForUser(true, user);
    }
    /// Lets the user write.
    template <typename User>
    void setWriteAccessForUser(const std::shared_ptr<User>& user) {
        setWriteAccessForUser(true, user);
    }

    /// Sets the read rule of the role with this name ("role:<name>"); an empty name changes nothing.
    void setReadAccessForRoleWithName(bool allowed, const std::string& name);
    /// Sets the write rule of the role with this name; an empty name changes nothing.
    void setWriteAccessForRoleWithName(bool allowed, const std::string& name);
    /// Lets the role with this name read.
    void setReadAccessForRoleWithName(const std::string& name) { setReadAccessForRoleWithName(true, name); }
    /// Lets the role with this name write.
    void setWriteAccessForRoleWithName(const std::string& name) { setWriteAccessForRoleWithName(true, name); }

    /// Rules for a role object, by its name.
    template <typename Role>
    void setReadAccessForRole(bool allowed, const std::shared_ptr<Role>& role) {
        if (role && role->name()) setReadAccessForRoleWithName(allowed, *role->name());
    }
    /// The same, for writing.
    template <typename Role>
    void setWriteAccessForRole(bool allowed, const std::shared_ptr<Role>& role) {
        if (role && role->name()) setWriteAccessForRoleWithName(allowed, *role->name());
    }
    /// Lets the role read.
    template <typename Role>
    void setReadAccessForRole(const std::shared_ptr<Role>& role) {
        setReadAccessForRole(true, role);
    }
    /// Lets the role write.
    template <typename Role>
    void setWriteAccessForRole(const std::shared_ptr<Role>& role) {
        setWriteAccessForRole(true, role);
    }

private:
    void setRule(const std::string& principal, const char* access, bool allowed);

    nlohmann::json aclDictionary_ = nlohmann::json::object();
};

}  // namespace vorn
