#include "vorn/data/VornObject.h"

#include "vorn/core/JsonAccess.h"
#include "vorn/core/MainLoop.h"
#include "vorn/core/SecureRandom.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/data/VornEventually.h"
#include "vorn/service/VornService.h"

#include <array>
#include <limits>

namespace vorn {
namespace {

using jsonutil::member;
using jsonutil::textOf;

nlohmann::json orNull(const std::optional<std::string>& text) {
    return text ? nlohmann::json(*text) : nlohmann::json();
}

bool isRelationDescriptor(const nlohmann::json& value) {
    const auto* type = member(value, "__type");
    return type != nullptr && type->is_string() && type->get<std::string>() == "Relation";
}

/// Reports a result through the block, when it is asked for and given.
void report(const VornBooleanResultBlock& block, bool wanted, const OptionalError& error) {
    if (wanted && block) block(!error.has_value(), error);
}

}  // namespace

std::shared_ptr<VornObject> VornObject::init() {
    return make();
}

std::shared_ptr<VornObject> VornObject::initWithClassName(const std::string& className) {
    return make(className);
}

std::shared_ptr<VornObject> VornObject::objectWithClassName(const std::string& className) {
    return initWithClassName(className);
}

std::shared_ptr<VornObject> VornObject::objectWithoutDatatWithClassName(const std::string& className,
                                                                        const std::string& objectId) {
    auto object = initWithClassName(className);
    object->setObjectId(objectId);
    return object;
}

void VornObject::setObject(const VornValue& value, const std::string& key) {
    if (key.empty() || value.isAbsent()) return;
    vornDataDic()[key] = value.wireForm();
}

std::optional<VornValue> VornObject::objectForKey(const std::string& key) const {
    if (!vornDataDic_) return std::nullopt;
    auto it = vornDataDic_->find(key);
    if (it == vornDataDic_->end()) return std::nullopt;
    return VornValue::fromWire(*it);
}

void VornObject::saveAllWithDictionary(const VornValueMap& values) {
    for (const auto& [key, value] : values) setObject(value, key);
}

void VornObject::setOperator(const std::string& key, nlohmann::json form) {
    if (key.empty()) return;
    vornDataDic()[key] = std::move(form);
}

void VornObject::deleteForKey(const std::string& key) {
    setOperator(key, {{"__op", "Delete"}});
}

void VornObject::incrementKey(const std::string& key, long long amount) {
    setOperator(key, {{"__op", "Increment"}, {"amount", amount}});
}

void VornObject::decrementKey(const std::string& key, long long amount) {
    // Negated without overflow: the most negative amount becomes its own wrap, as integers do.
    const auto negated = static_cast<long long>(0ULL - static_cast<unsigned long long>(amount));
    incrementKey(key, negated);
}

void VornObject::addObjectsFromArray(const nlohmann::json& objects, const std::string& key) {
    if (objects.is_array()) setOperator(key, {{"__op", "Add"}, {"objects", objects}});
}

void VornObject::addUniqueObjectsFromArray(const nlohmann::json& objects, const std::string& key) {
    if (objects.is_array()) setOperator(key, {{"__op", "AddUnique"}, {"objects", objects}});
}

void VornObject::removeObjectsInArray(const nlohmann::json& objects, const std::string& key) {
    if (objects.is_array()) setOperator(key, {{"__op", "Remove"}, {"objects", objects}});
}

void VornObject::addRelation(const std::shared_ptr<VornRelation>& relation, const std::string& key) {
    if (!relation || !relation->hasRelationArray()) return;
    setOperator(key, {{"__op", relation->addOrRemoveRelation() ? "AddRelation" : "RemoveRelation"},
                      {"objects", relation->relationArray()}});
}

nlohmann::json& VornObject::vornDataDic() {
    if (!vornDataDic_) vornDataDic_ = nlohmann::json::object();
    return *vornDataDic_;
}

void VornObject::setVornDataDic(nlohmann::json dataDic) {
    vornDataDic_ = dataDic.is_object() ? std::move(dataDic) : nlohmann::json::object();
}

void VornObject::setVornDataDicFromDic(const nlohmann::json& dic) {
    if (vornDataDic_ && dic.is_object()) vornDataDic_ = dic;
}

void VornObject::setSelfDataDictionary(const nlohmann::json& dic) {
    if (!dic.is_object()) return;
    vornDataDic() = dic;
}

void VornObject::emptyDataDic() {
    vornDataDic() = nlohmann::json::object();
}

void VornObject::getDictionaryAfterQuery(const nlohmann::json& result) {
    getDictionaryAfterQuery(nlohmann::json(result));
}

void VornObject::getDictionaryAfterQuery(nlohmann::json&& result) {
    if (result.is_object()) vornDataDic() = std::move(result);
    auto& data = vornDataDic();
    data.erase("updatedAt");
    data.erase("createdAt");
    data.erase("objectId");
}

nlohmann::json& VornObject::requestDataDictionary() {
    auto& data = vornDataDic();
    if (ACL_ && ACL_->aclDic().is_object() && !ACL_->aclDic().empty()) data["ACL"] = ACL_->aclDic();
    return data;
}

nlohmann::json VornObject::pointerForm() const {
    nlohmann::json form{{"__type", "Pointer"}};
    const auto name = className();
    if (!name) return form;
    form["className"] = *name;
    if (!objectId_) return form;
    form["objectId"] = *objectId_;
    return form;
}

std::shared_ptr<VornObject> VornObject::keepAlive() {
    return weak_from_this().lock();
}

// Save.

void VornObject::saveInBackground() {
    if (vornDataDic_ && !vornDataDic_->empty()) saveInBackgroundWithResultBlock(nullptr, false);
}

void VornObject::saveInBackgroundWithResultBlock(VornBooleanResultBlock block) {
    saveInBackgroundWithResultBlock(std::move(block), true);
}

void VornObject::saveInBackgroundWithResultBlock(VornBooleanResultBlock block, bool callbackOrNot) {
    VornServiceCall call;
    call.path = "create";
    call.c = orNull(className());
    call.objectId = nullptr;
    call.data = requestDataDictionary();
    VornService::send(call,
                      [self = keepAlive(), block = std::move(block), callbackOrNot](const VornServiceReply& reply) {
        if (self && reply.succeeded()) {
            // A reply changes only the identity it carries: a "data" that is
            // not a map, or a member it lacks, leaves what the object has.
            if (const auto* data = reply.validData(); data && data->is_object()) {
                if (const auto* id = member(*data, "objectId"); id && !id->is_null()) self->setObjectId(textOf(*id));
                const auto* created = member(*data, "createdAt");
                if (const auto createdAt = created ? v_VornUtils::dateOfString(textOf(*created)) : std::nullopt) {
                    self->setCreatedAt(createdAt);
                    self->setUpdatedAt(createdAt);
                }
            }
        }
        report(block, callbackOrNot, reply.error());
    });
}

// Update.

void VornObject::updateInBackground() {
    if (objectId_) updateInBackgroundWithResultBlock(nullptr, false);
}

void VornObject::updateInBackgroundWithResultBlock(VornBooleanResultBlock block) {
    if (!objectId_) {
        report(block, true, v_VornUtils::vornErrorWithType(kVornErrorNoneObjectId));
        return;
    }
    updateInBackgroundWithResultBlock(std::move(block), true);
}

nlohmann::json VornObject::updateData() {
    nlohmann::json data = requestDataDictionary();
    data.erase("objectId");
    // Relation descriptors read from the service are never sent back.
    for (auto it = data.begin(); it != data.end();) {
        it = isRelationDescriptor(*it) ? data.erase(it) : std::next(it);
    }
    return data;
}

void VornObject::updateInBackgroundWithResultBlock(VornBooleanResultBlock block, bool callback) {
    nlohmann::json data = updateData();
    VornServiceCall call;
    call.path = "update";
    call.c = orNull(className());
    call.objectId = orNull(objectId_);
    call.data = std::move(data);
    call.sendSessionToken = true;
    VornService::send(call, [self = keepAlive(), block = std::move(block), callback](const VornServiceReply& reply) {
        report(block, callback, reply.error());
        // The handler has run; now the update time follows the reply.
        if (self && reply.succeeded()) {
            if (const auto* data = reply.validData(); data && data->is_object()) {
                const auto* updated = member(*data, "updatedAt");
                if (const auto updatedAt = updated ? v_VornUtils::dateOfString(textOf(*updated)) : std::nullopt) {
                    self->setUpdatedAt(updatedAt);
                }
            }
        }
    });
}

// Delete.

void VornObject::deleteInBackground() {
    if (objectId_) deleteInBackgroundWithBlock(nullptr, false);
}

void VornObject::deleteInBackgroundWithBlock(VornBooleanResultBlock block) {
    if (!objectId_) {
        report(block, true, v_VornUtils::vornErrorWithType(kVornErrorNoneObjectId));
        return;
    }
    deleteInBackgroundWithBlock(std::move(block), true);
}

void VornObject::deleteInBackgroundWithBlock(VornBooleanResultBlock block, bool callback) {
    emptyDataDic();
    VornServiceCall call;
    call.path = "delete";
    call.c = orNull(className());
    call.objectId = orNull(objectId_);
    call.data = nullptr;
    call.sendSessionToken = true;
    VornService::send(call, [self = keepAlive(), block = std::move(block), callback](const VornServiceReply& reply) {
        report(block, callback, reply.error());
    });
}

// Eventual writes.

bool VornObject::keepEventually(const std::string& operation, nlohmann::json data, bool sendSessionToken,
                                VornBooleanResultBlock block) {
    VornEventualWrite write;
    write.operation = operation;
    write.className = className().value_or("");
    write.objectId = objectId_;
    write.localId = eventualId_;
    write.data = std::move(data);
    write.sendSessionToken = sendSessionToken;
    auto refused = VornEventually::shared().enqueue(std::move(write), weak_from_this(), block);
    if (!refused) return true;
    if (operation == "create") eventualId_.reset();
    MainLoop::shared().post([block = std::move(block), refused = std::move(refused)] {
        if (block) block(false, refused);
    });
    return false;
}

bool VornObject::saveEventually(VornBooleanResultBlock block) {
    if (objectId_ || eventualId_) return keepEventually("update", updateData(), true, std::move(block));
    std::array<std::uint8_t, 16> random{};
    secureRandomBytes(random.data(), random.size());
    eventualId_ =
        v_VornUtils::hexStringFromData(std::string_view(reinterpret_cast<const char*>(random.data()), random.size()));
    return keepEventually("create", requestDataDictionary(), false, std::move(block));
}

bool VornObject::deleteEventually(VornBooleanResultBlock block) {
    if (!objectId_ && !eventualId_) {
        MainLoop::shared().post([block = std::move(block)] {
            if (block) block(false, v_VornUtils::vornErrorWithType(kVornErrorNoneObjectId));
        });
        return false;
    }
    emptyDataDic();
    return keepEventually("delete", nullptr, true, std::move(block));
}

std::size_t VornObject::pendingEventuallyCount() {
    return VornEventually::shared().pendingCount();
}

void VornObject::clearEventually() {
    VornEventually::shared().clear();
}

}  // namespace vorn
