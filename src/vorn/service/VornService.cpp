#include "vorn/service/VornService.h"

#include "vorn/core/DeviceContext.h"
#include "vorn/core/JsonAccess.h"
#include "vorn/core/StoreKeys.h"
#include "vorn/core/VornPosition.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/net/VornUrlRequest.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace vorn {
namespace {

/// A reply's code read as a 32-bit integer: numbers are truncated, texts
/// read up to their first non-digit, anything else is 0.
int intValue(const nlohmann::json& value) {
    if (value.is_number_integer()) {
        return static_cast<int>(static_cast<std::int32_t>(value.get<std::int64_t>()));
    }
    if (value.is_number_unsigned()) return static_cast<int>(static_cast<std::int32_t>(value.get<std::uint64_t>()));
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (!(number > INT_MIN && number < INT_MAX)) return 0;
        return static_cast<int>(number);
    }
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
    if (value.is_string()) {
        const auto& text = value.get_ref<const std::string&>();
        errno = 0;
        const long long parsed = std::strtoll(text.c_str(), nullptr, 10);
        if (parsed > INT_MAX) return INT_MAX;
        if (parsed < INT_MIN) return INT_MIN;
        return static_cast<int>(parsed);
    }
    return 0;
}

}  // namespace

nlohmann::json VornServiceCall::envelope() const {
    nlohmann::json envelope = nlohmann::json::object();
    envelope["client"] = v_VornUtils::clientDic();
    if (data) envelope["data"] = *data;
    envelope["v"] = kVornSDKVersion;
    if (c) envelope["c"] = *c;
    if (objectId) envelope["objectId"] = *objectId;
    for (const auto& [key, value] : extra.items()) envelope[key] = value;
    return envelope;
}

VornServiceReply VornServiceReply::transportFailure() {
    VornServiceReply reply;
    reply.status = Status::TransportFailed;
    return reply;
}

VornServiceReply VornServiceReply::parse(std::string_view bytes) {
    VornServiceReply reply;
    reply.text = std::string(bytes);
    auto body = jsonutil::parse(bytes);
    // Only an object can carry a result; anything else is as unreadable as garbage.
    if (!body.is_object()) return reply;
    reply.body = std::move(body);
    const nlohmann::json* result = nullptr;
    if (auto it = reply.body.find("result"); it != reply.body.end() && it->is_object()) result = &*it;
    if (result != nullptr) {
        if (auto code = result->find("code"); code != result->end()) reply.code = intValue(*code);
        if (auto message = result->find("message"); message != result->end() && !message->is_null()) {
            reply.message = message->is_string() ? message->get<std::string>() : message->dump();
        }
    }
    reply.status = reply.code == 200 ? Status::Success : Status::ServiceError;
    return reply;
}

VornError VornServiceReply::parserError() const {
    std::string message = text.empty() ? "No value." : "The reply is not a JSON object.";
    if (!jsonutil::nestingWithin(text)) {
        message = "The reply nests deeper than " + std::to_string(jsonutil::kMaxJsonDepth) + " levels.";
        return VornError{"NSCocoaErrorDomain", 3840, {{"NSDebugDescription", message}}};
    }
    try {
        const auto parsed = nlohmann::json::parse(text);
        (void)parsed;
    } catch (const nlohmann::json::exception& failure) {
        message = failure.what();
    }
    return VornError{"NSCocoaErrorDomain", 3840, {{"NSDebugDescription", message}}};
}

const nlohmann::json* VornServiceReply::validData() const {
    if (!body.is_object()) return nullptr;
    auto it = body.find("data");
    if (it == body.end() || it->is_null()) return nullptr;
    return &*it;
}

OptionalError VornServiceReply::error() const {
    switch (status) {
        case Status::Success:
            return std::nullopt;
        case Status::TransportFailed:
            return v_VornUtils::vornErrorWithType(kVornErrorConnectFailed);
        case Status::NotParsed:
            return v_VornUtils::vornErrorWithType(kVornErrorUnknown);
        case Status::ServiceError: {
            VornError error{kVornErrorDomain, code, {}};
            if (message) error.userInfo["error"] = *message;
            return error;
        }
    }
    return std::nullopt;
}

std::string VornService::urlFor(VornServiceBase base, const std::string& path) {
    const auto address =
        base == VornServiceBase::File ? v_VornUtils::fileHostAddress() : v_VornUtils::serverHostAddress();
    return address + "/" + path;
}

std::string VornService::bodyText(const nlohmann::json& value) {
    return value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

void VornService::addHeaders(VornUrlRequest& request, bool sendSessionToken) {
    if (sendSessionToken) {
        if (auto token = DeviceContext::shared().store()->stringForKey(storekeys::kSessionToken)) {
            request.addValue(*token, "X-Vorn-Session-Token");
        }
    }
    if (auto key = v_VornUtils::appKey()) request.addValue(*key, "X-Vorn-App-Key");
    request.addValue("application/json", "Content-Type");
}

std::shared_ptr<VornUrlRequest> VornService::send(const VornServiceCall& call, VornServiceHandler handler) {
    const auto envelope = call.envelope();
    auto request = VornUrlRequest::requestWithUrl(urlFor(call.base, call.path));
    request->setPostBody(bodyText(envelope));
    addHeaders(*request, call.sendSessionToken);
    run(request, std::move(handler));
    return request;
}

void VornService::run(const std::shared_ptr<VornUrlRequest>& request, VornServiceHandler handler) {
    auto& position = VornPosition::sharePosition();
    // The handlers hold the request weakly (its connection keeps it alive
    // while it runs), and the caller's handler is let go once it has been
    // called: the request keeps its handlers, and whatever the caller's
    // handler captured (often the object that keeps the request) must not
    // be kept by it in turn.
    std::weak_ptr<VornUrlRequest> weak = request;
    auto pending = std::make_shared<VornServiceHandler>(std::move(handler));
    auto deliver = [pending](const VornServiceReply& reply) {
        auto once = std::move(*pending);
        *pending = nullptr;
        if (once) once(reply);
    };
    request->setCompletionBlock([weak, deliver, &position] {
        position.stopUpateLoaction();
        auto finished = weak.lock();
        deliver(VornServiceReply::parse(
            finished && finished->responseData() ? std::string_view(*finished->responseData()) : std::string_view()));
    });
    request->setFailedBlock([deliver, &position] {
        position.stopUpateLoaction();
        deliver(VornServiceReply::transportFailure());
    });
    // Handlers are in place before the start, so a run that ends at once on
    // the main loop cannot miss them.
    request->startAsyncConnection();
}

VornServiceReply VornService::sendSynchronously(const VornServiceCall& call) {
    const auto envelope = call.envelope();
    auto request = VornUrlRequest::initWithUrl(urlFor(call.base, call.path));
    request->setPostBody(bodyText(envelope));
    addHeaders(*request, call.sendSessionToken);
    request->startSyncConnection();
    if (!request->responseData()) return VornServiceReply::parse({});
    return VornServiceReply::parse(*request->responseData());
}

}  // namespace vorn
