#include "vorn/data/VornACL.h"

namespace vorn {

void VornACL::setAclDictionary(nlohmann::json dictionary) {
    aclDictionary_ = dictionary.is_object() ? std::move(dictionary) : nlohmann::json::object();
}

void VornACL::setRule(const std::string& principal, const char* access, bool allowed) {
    if (principal.empty()) return;
    aclDictionary_[principal] = nlohmann::json{{access, allowed}};
}

void VornACL::setPublicReadAccess(bool allowed) {
    setRule("*", "read", allowed);
}
void VornACL::setPublicWriteAccess(bool allowed) {
    setRule("*", "write", allowed);
}
void VornACL::setReadAccessForUserId(bool allowed, const std::string& userId) {
    setRule(userId, "read", allowed);
}
void VornACL::setWriteAccessForUserId(bool allowed, const std::string& userId) {
    setRule(userId, "write", allowed);
}

void VornACL::setReadAccessForRoleWithName(bool allowed, const std::string& name) {
    if (!name.empty()) setRule("role:" + name, "read", allowed);
}

void VornACL::setWriteAccessForRoleWithName(bool allowed, const std::string& name) {
    if (!name.empty()) setRule("role:" + name, "write", allowed);
}

}  // namespace vorn
