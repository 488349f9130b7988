#include "vorn/cloud/VornCloud.h"

#include "vorn/core/JsonAccess.h"
#include "vorn/core/VornPosition.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/net/VornUrlRequest.h"
#include "vorn/service/VornService.h"

namespace vorn {
namespace {

constexpr const char* kCloudContentType = "application/json;charset=UTF-8";

/// A request for the function, with the position service started and its
/// current position in the "a" header.
std::shared_ptr<VornUrlRequest> makeRequest(const std::string& function,
                                            const std::optional<nlohmann::json>& parameters) {
    auto& position = VornPosition::sharePosition();
    position.startUpdateLocation();
    const auto location = position.currentLocation();
    auto request = VornUrlRequest::initWithUrl(v_VornUtils::cloudServerHostAddress() + "/endpoint");
    request->setPostBody(VornCloud::bodyOf(function, parameters));
    request->addValue(v_VornUtils::vornAppkeyWithLongitude(location.longitude, location.latitude, std::string()), "a");
    request->addValue(kCloudContentType, "Content-Type");
    return request;
}

}  // namespace

std::string VornCloud::bodyOf(const std::string& function, const std::optional<nlohmann::json>& parameters) {
    nlohmann::json body = parameters && parameters->is_object() ? *parameters : nlohmann::json::object();
    body["_e"] = function;
    return VornService::bodyText(body);
}

std::optional<std::string> VornCloud::callFunction(const std::optional<std::string>& function,
                                                   const std::optional<nlohmann::json>& parameters) {
    if (!function || function->empty()) return std::nullopt;
    auto request = makeRequest(*function, parameters);
    request->startSyncConnection();
    VornPosition::sharePosition().stopUpateLoaction();
    return request->responseData().value_or(std::string());
}

void VornCloud::callFunctionInBackground(const std::optional<std::string>& function,
                                         const std::optional<nlohmann::json>& parameters, VornCloudResultBlock block) {
    if (!function || function->empty()) {
        if (block) block(std::nullopt, v_VornUtils::vornErrorWithType(kVornErrorFunctionNameNil));
        return;
    }
    auto request = makeRequest(*function, parameters);
    // The handlers hold the request weakly and the caller's callback is let
    // go once it has run, as on every service call.
    std::weak_ptr<VornUrlRequest> weak = request;
    auto pending = std::make_shared<VornCloudResultBlock>(std::move(block));
    const auto deliver = [pending](const std::optional<VornCloudResult>& result, const OptionalError& error) {
        auto once = std::move(*pending);
        *pending = nullptr;
        if (once) once(result, error);
    };
    request->setCompletionBlock([weak, deliver] {
        auto finished = weak.lock();
        const std::string text = finished ? finished->responseData().value_or(std::string()) : std::string();
        auto reply = jsonutil::parse(text);
        if (!reply.is_object()) {
            deliver(VornCloudResult(text), std::nullopt);
        } else if (auto sucess = reply.find("sucess"); sucess != reply.end() && *sucess == false) {
            auto error = v_VornUtils::vornErrorWithType(kVornErrorCloudFunctionFailed).value();
            const auto message = reply.find("message");
            if (message == reply.end() || message->is_null()) {
                error.userInfo.erase("error");
            } else {
                error.userInfo["error"] = message->is_string() ? message->get<std::string>() : message->dump();
            }
            deliver(std::nullopt, error);
        } else {
            deliver(VornCloudResult(std::move(reply)), std::nullopt);
        }
        VornPosition::sharePosition().stopUpateLoaction();
    });
    request->setFailedBlock([deliver] {
        VornPosition::sharePosition().stopUpateLoaction();
        deliver(std::nullopt, v_VornUtils::vornErrorWithType(kVornErrorConnectFailed));
    });
    request->startAsyncConnection();
}

}  // namespace vorn
