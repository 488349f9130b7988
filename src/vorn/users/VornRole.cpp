#include "vorn/users/VornRole.h"

#include "vorn/query/VornQuery.h"

namespace vorn {

VornRole::VornRole(Passkey key) : VornObject(key, std::string("_Role")) {}

std::shared_ptr<VornRole> VornRole::init() {
    return make<VornRole>();
}
std::shared_ptr<VornRole> VornRole::initWithClassName(const std::string&) {
    return init();
}

std::shared_ptr<VornRole> VornRole::initWithName(const std::optional<std::string>& name) {
    auto role = init();
    role->setName(name);
    return role;
}

std::shared_ptr<VornRole> VornRole::initWithName(const std::optional<std::string>& name, std::shared_ptr<VornACL> acl) {
    auto role = initWithName(name);
    role->setACL(std::move(acl));
    return role;
}

std::shared_ptr<VornRole> VornRole::objectWithoutDatatWithClassName(const std::string&, const std::string& objectId) {
    auto role = init();
    role->setObjectId(objectId);
    return role;
}

std::shared_ptr<VornQuery> VornRole::query() {
    return VornQuery::queryWithClassName("_Role");
}

void VornRole::setUpName() {
    if (name_ && !name_->empty()) setObject(*name_, "name");
}

void VornRole::saveInBackground() {
    setUpName();
    VornObject::saveInBackground();
}

void VornRole::saveInBackgroundWithResultBlock(VornBooleanResultBlock block) {
    setUpName();
    VornObject::saveInBackgroundWithResultBlock(std::move(block));
}

void VornRole::updateInBackground() {
    setUpName();
    VornObject::updateInBackground();
}

void VornRole::updateInBackgroundWithResultBlock(VornBooleanResultBlock block) {
    setUpName();
    VornObject::updateInBackgroundWithResultBlock(std::move(block));
}

}  // namespace vorn
