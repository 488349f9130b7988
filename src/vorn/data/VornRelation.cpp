#include "vorn/data/VornRelation.h"

#include "vorn/data/VornObject.h"

namespace vorn {

nlohmann::json& VornRelation::relationArray() {
    if (!relationArray_) relationArray_ = nlohmann::json::array();
    return *relationArray_;
}

void VornRelation::setRelationArray(nlohmann::json array) {
    relationArray_ = array.is_array() ? std::move(array) : nlohmann::json::array();
}

void VornRelation::addObject(const std::shared_ptr<VornObject>& object) {
    if (!object) return;
    if (!isAddObject_) relationArray() = nlohmann::json::array();
    relationArray().push_back(object->pointerForm());
    isAddObject_ = true;
}

void VornRelation::removeObject(const std::shared_ptr<VornObject>& object) {
    if (!object) return;
    if (isAddObject_) relationArray() = nlohmann::json::array();
    relationArray().push_back(object->pointerForm());
    isAddObject_ = false;
}

}  // namespace vorn
