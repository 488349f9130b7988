#include "vorn/data/VornObjectsBatch.h"

#include "vorn/core/DeviceContext.h"
#include "vorn/core/StoreKeys.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/service/VornService.h"

namespace vorn {
namespace {

void addSessionToken(nlohmann::json& record) {
    if (auto token = DeviceContext::shared().store()->stringForKey(storekeys::kSessionToken)) record["token"] = *token;
}

}  // namespace

std::optional<nlohmann::json> VornObjectsBatch::turnDictionaryFromDataDictionary(const VornValueMap& parameters) {
    nlohmann::json body = nlohmann::json::object();
    for (const auto& [key, value] : parameters) {
        if (key.empty()) return std::nullopt;
        if (value.isAbsent()) continue;
        body[key] = value.wireForm();
    }
    return body;
}

void VornObjectsBatch::saveVornObjectWithClassName(const std::string& className, const VornValueMap& parameters) {
    if (className.empty() || parameters.empty()) return;
    auto body = turnDictionaryFromDataDictionary(parameters);
    if (!body) return;
    objectsArray_.push_back({{"method", "POST"}, {"path", "/1/classes/" + className}, {"body", std::move(*body)}});
}

void VornObjectsBatch::updateVornObjectWithClassName(const std::string& className, const std::string& objectId,
                                                     const VornValueMap& parameters) {
    if (className.empty() || objectId.empty() || parameters.empty()) return;
    auto body = turnDictionaryFromDataDictionary(parameters);
    if (!body) return;
    nlohmann::json record{{"method", "PUT"}, {"path", "/1/classes/" + className + "/" + objectId}};
    addSessionToken(record);
    record["body"] = std::move(*body);
    objectsArray_.push_back(std::move(record));
}

void VornObjectsBatch::deleteVornObjectWithClassName(const std::string& className, const std::string& objectId) {
    if (className.empty() || objectId.empty()) return;
    nlohmann::json record{{"method", "DELETE"}, {"path", "/1/classes/" + className + "/" + objectId}};
    addSessionToken(record);
    objectsArray_.push_back(std::move(record));
}

void VornObjectsBatch::batchObjectsInBackgroundWithResultBlock(VornBooleanResultBlock block) {
    if (objectsArray_.size() > kMaxOperations) {
        if (block) block(false, v_VornUtils::vornErrorWithType(kVornErrorArrayTooBig));
        return;
    }
    VornServiceCall call;
    call.path = "batch";
    call.c = nullptr;
    call.objectId = nullptr;
    call.data = nlohmann::json{{"requests", objectsArray_}};
    VornService::send(call, [block = std::move(block)](const VornServiceReply& reply) {
        if (block) block(reply.succeeded(), reply.error());
    });
}

}  // namespace vorn
