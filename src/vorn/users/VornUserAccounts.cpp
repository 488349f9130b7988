// E-mail verification, password reset and external accounts of VornUser.
#include "vorn/users/VornUser.h"

#include "vorn/core/v_VornUtils.h"
#include "vorn/query/VornQuery.h"
#include "vorn/service/VornService.h"
#include "vorn/users/VornUserArchive.h"

#include <chrono>

namespace vorn {
namespace {

OptionalError accountError(int code) {
    return v_VornUtils::vornErrorWithType(code);
}

VornServiceCall userCall(const char* path, nlohmann::json data) {
    VornServiceCall call;
    call.path = path;
    call.c = "_User";
    call.data = std::move(data);
    return call;
}

/// The rule of the phone operations: the parser's error for a reply that
/// is not JSON, no error for an empty object, the service's error when it
/// sends a result, 20010 when it sends none.
void reportPhoneReply(const VornBooleanResultBlock& block, const VornServiceReply& reply) {
    if (!block) return;
    if (reply.status == VornServiceReply::Status::TransportFailed)
        return block(false, accountError(kVornErrorConnectFailed));
    if (!reply.parsed()) return block(false, reply.parserError());
    if (reply.body.empty()) return block(false, std::nullopt);
    if (reply.succeeded()) return block(true, std::nullopt);
    auto result = reply.body.find("result");
    if (result == reply.body.end() || result->is_null()) return block(false, accountError(kVornErrorUnknown));
    block(false, reply.error());
}

}  // namespace

void VornUser::requestWithEmail(const std::string& email, int type) {
    if (email.empty() || (type != 0 && type != 1)) return;
    VornService::send(userCall(type == 1 ? "email_verify" : "reset", {{"email", email}}), nullptr);
}

void VornUser::verifyEmailInBackgroundWithEmailAddress(const std::string& email) {
    requestWithEmail(email, 1);
}

void VornUser::requestPasswordResetInBackgroundWithEmail(const std::string& email) {
    requestWithEmail(email, 0);
}

void VornUser::requestPasswordResetInBackgroundWithPhoneNumber(const std::string& phoneNumber,
                                                               VornBooleanResultBlock block) {
    if (phoneNumber.empty()) {
        if (block) block(false, accountError(kVornErrorNilPhoneNumber));
        return;
    }
    VornService::send(userCall("phone_request_reset", {{"username", phoneNumber}}),
                      [block = std::move(block)](const VornServiceReply& reply) { reportPhoneReply(block, reply); });
}

void VornUser::resetPasswordInBackgroundWithPhoneNumber(const std::string& phoneNumber, const std::string& code,
                                                        const std::string& newPassword, VornBooleanResultBlock block) {
    if (phoneNumber.empty() || code.empty() || newPassword.empty()) {
        if (block) block(false, accountError(kVornErrorNilPhoneNumber));
        return;
    }
    VornService::send(userCall("phone_reset", {{"username", phoneNumber}, {"code", code}, {"password", newPassword}}),
                      [block = std::move(block)](const VornServiceReply& reply) { reportPhoneReply(block, reply); });
}

void VornUser::userEmailVerified(VornBooleanResultBlock block) {
    if (auto verified = objectForKey("emailVerified"); verified && verified->json() == true) {
        if (block) block(true, std::nullopt);
        return;
    }
    query()->getObjectInBackgroundWithId(
        objectId(),
        [block = std::move(block)](const std::shared_ptr<VornObject>& fetched, const OptionalError& failure) {
        auto field = fetched ? fetched->objectForKey("emailVerified") : std::nullopt;
        const bool verified = field && field->json().is_boolean() && field->json().get<bool>();
        if (verified) {
            auto transaction = VornUserArchive::transaction();
            if (auto archived = VornUserArchive::readFields()) {
                if (!archived->is_object()) *archived = nlohmann::json::object();
                (*archived)["emailVerified"] = true;
                VornUserArchive::write(*archived);
            }
        }
        if (block) block(verified, failure);
        });
}

std::string VornUser::platformKey(int platform) {
    return platform == kVornAuthPlatformQQ ? "qq" : "weibo";
}

std::variant<nlohmann::json, VornError> VornUser::authEntry(const VornValueMap& authorDictionary, int platform) {
    const auto token = authorDictionary.find("access_token");
    const auto uid = authorDictionary.find("uid");
    const auto expiration = authorDictionary.find("expirationDate");
    if (token == authorDictionary.end() || uid == authorDictionary.end() || expiration == authorDictionary.end()) {
        return *accountError(kVornErrorLackOfInformation);
    }
    if (!expiration->second.isDate()) return *accountError(kVornErrorWrongType);
    const auto remaining = *expiration->second.date() - std::chrono::system_clock::now();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(remaining).count();  // toward zero
    return nlohmann::json{{"access_token", token->second.wireForm()},
                          {platform == kVornAuthPlatformQQ ? "openid" : "uid", uid->second.wireForm()},
                          {"expires_in", seconds}};
}

namespace {

void sendAuthData(const nlohmann::json& authData, VornUserResultBlock block) {
    VornServiceCall call = userCall("login_or_signup", {{"authData", authData}});
    call.objectId = nullptr;
    // The same reply rule as a password log-in.
    VornService::send(
        call, [block = std::move(block)](const VornServiceReply& reply) { VornUser::logInFromReply(reply, block); });
}

}  // namespace

void VornUser::signUpInBackgroundWithAuthorDictionary(const VornValueMap& authorDictionary, int platform,
                                                      VornUserResultBlock block) {
    auto entry = authEntry(authorDictionary, platform);
    if (auto* failure = std::get_if<VornError>(&entry)) {
        if (block) block(nullptr, *failure);
        return;
    }
    sendAuthData({{platformKey(platform), std::get<nlohmann::json>(entry)}}, std::move(block));
}

void VornUser::loginInBackgroundWithAuthorDictionary(const VornValueMap& authorDictionary, int platform,
                                                     VornUserResultBlock block) {
    signUpInBackgroundWithAuthorDictionary(authorDictionary, platform, std::move(block));
}

void VornUser::linkedInBackgroundWithAuthorDictionary(const VornValueMap& authorDictionary, int platform,
                                                      VornBooleanResultBlock block) {
    if (!objectId()) {
        if (block) block(false, accountError(kVornErrorNoneObjectId));
        return;
    }
    auto entry = authEntry(authorDictionary, platform);
    if (auto* failure = std::get_if<VornError>(&entry)) {
        if (block) block(false, *failure);
        return;
    }
    updateWithDictionary({{"authData", {{platformKey(platform), std::get<nlohmann::json>(entry)}}}}, std::move(block),
                         true);
}

void VornUser::cancleLinkedInBackgroundWithPlatform(int platform, VornBooleanResultBlock block) {
    if (!objectId()) {
        if (block) block(false, accountError(kVornErrorNoneObjectId));
        return;
    }
    updateWithDictionary({{"authData", {{platformKey(platform), nullptr}}}}, std::move(block), true);
}

}  // namespace vorn
