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
    static std::shared_ptr<VornACL> ACL() { return std::make_shared<VornACL>(); }
    static std::shared_ptr<VornACL> init() { return ACL(); }

    /// The rules by principal (the wire form of the list).
    nlohmann::json& aclDictionary() { return aclDictionary_; }
    const nlohmann::json& aclDictionary() const { return aclDictionary_; }
    nlohmann::json& aclDic() { return aclDictionary_; }
    const nlohmann::json& aclDic() const { return aclDictionary_; }
    void setAclDictionary(nlohmann::json dictionary);

    void setPublicReadAccess(bool allowed);
    void setPublicWriteAccess(bool allowed);
    void setPublicReadAccess() { setPublicReadAccess(true); }
    void setPublicWriteAccess() { setPublicWriteAccess(true); }

    void setReadAccessForUserId(bool allowed, const std::string& userId);
    void setWriteAccessForUserId(bool allowed, const std::string& userId);
    void setReadAccessForUserId(const std::string& userId) { setReadAccessForUserId(true, userId); }
    void setWriteAccessForUserId(const std::string& userId) { setWriteAccessForUserId(true, userId); }

    /// Rules for a user object; a user without an identifier changes nothing.
    template <typename User>
    void setReadAccessForUser(bool allowed, const std::shared_ptr<User>& user) {
        if (user && user->objectId()) setReadAccessForUserId(allowed, *user->objectId());
    }
    template <typename User>
    void setWriteAccessForUser(bool allowed, const std::shared_ptr<User>& user) {
        if (user && user->objectId()) setWriteAccessForUserId(allowed, *user->objectId());
    }
    template <typename User>
    void setReadAccessForUser(const std::shared_ptr<User>& user) {
        setReadAccessForUser(true, user);
    }
    template <typename User>
    void setWriteAccessForUser(const std::shared_ptr<User>& user) {
        setWriteAccessForUser(true, user);
    }

    void setReadAccessForRoleWithName(bool allowed, const std::string& name);
    void setWriteAccessForRoleWithName(bool allowed, const std::string& name);
    void setReadAccessForRoleWithName(const std::string& name) { setReadAccessForRoleWithName(true, name); }
    void setWriteAccessForRoleWithName(const std::string& name) { setWriteAccessForRoleWithName(true, name); }

    /// Rules for a role object, by its name.
    template <typename Role>
    void setReadAccessForRole(bool allowed, const std::shared_ptr<Role>& role) {
        if (role && role->name()) setReadAccessForRoleWithName(allowed, *role->name());
    }
    template <typename Role>
    void setWriteAccessForRole(bool allowed, const std::shared_ptr<Role>& role) {
        if (role && role->name()) setWriteAccessForRoleWithName(allowed, *role->name());
    }
    template <typename Role>
    void setReadAccessForRole(const std::shared_ptr<Role>& role) {
        setReadAccessForRole(true, role);
    }
    template <typename Role>
    void setWriteAccessForRole(const std::shared_ptr<Role>& role) {
        setWriteAccessForRole(true, role);
    }

private:
    void setRule(const std::string& principal, const char* access, bool allowed);

    nlohmann::json aclDictionary_ = nlohmann::json::object();
};

}  // namespace vorn
