// Accounts of users ("c" is "_User" or null in every call):
//   POST /7/signup               data: the user's fields with "username", "password" (and "email")
//                                -> {"objectId", "createdAt", "updatedAt", "sessionToken"}
//   POST /7/login                data: {"username", "password"}   -> user map + "sessionToken"
//   POST /7/login_or_signup      data: {"authData": {platform: entry}}   -> user map + "sessionToken"
//   POST /7/email_verify         data: {"email"}   -> {}, a "verify" link in the outbox
//   POST /7/reset                data: {"email"}   -> {}, a "reset" link in the outbox
//   POST /7/phone_request_reset  data: {"username": phone number}   -> {}, an "sms" code in the outbox
//   POST /7/phone_reset          data: {"username", "code", "password"}   -> {}
// The rules of user fields are in accounts/Users.h; the pages behind the
// links are in AccountPages.cpp.

#include "accounts/Users.h"

#include "accounts/AccessControl.h"
#include "accounts/Outbox.h"
#include "accounts/Passwords.h"
#include "accounts/Sessions.h"
#include "handlers/Handlers.h"
#include "vorn_emulator/Router.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator {

namespace {

using nlohmann::json;

constexpr std::size_t kLinkTokenBytes = 16;
constexpr std::size_t kCodeDigits = 6;
constexpr std::size_t kGeneratedNameBytes = 12;

// "c" must be "_User", null or absent.
void checkUserClass(const RequestContext& ctx) {
    const json& className = ctx.member("c");
    if (className.is_null() || (className.is_string() && className.get_ref<const std::string&>() == "_User")) return;
    throw ServiceError(ErrorCode::InvalidFieldType, "field \"c\" in body must be \"_User\" or null");
}

// The reply of a log-in: the user's map and a new session.
json signedIn(Storage& storage, const std::string& userId) {
    json reply = accounts::userMap(storage, userId);
    reply["sessionToken"] = accounts::createSession(storage, userId);
    return reply;
}

[[noreturn]] void emailNotFound(const std::string& email) {
    throw ServiceError(ErrorCode::EmailNotFound, "email not found: \"" + email + "\"");
}

// A user name nobody has: "u_" and 24 random hex digits.
std::string generatedUsername(Storage& storage) {
    for (;;) {
        std::string name = "u_" + accounts::randomHex(kGeneratedNameBytes);
        if (!accounts::userByUsername(storage, name)) return name;
    }
}

json signUp(RequestContext& ctx) {
    checkUserClass(ctx);
    const json& data = ctx.requireObject("data");
    Storage& storage = ctx.storage();
    return storage.transaction([&] {
        const auto created = accounts::createUser(storage, data, {.username = true, .password = true});
        return json{{"objectId", created.objectId},
                    {"createdAt", created.createdAt},
                    {"updatedAt", created.updatedAt},
                    {"sessionToken", accounts::createSession(storage, created.objectId)}};
    });
}

json logIn(RequestContext& ctx) {
    checkUserClass(ctx);
    const json& data = ctx.requireObject("data");
    const std::string username = requireStringField(data, "username", "data");
    const std::string password = requireStringField(data, "password", "data");
    Storage& storage = ctx.storage();
    auto user = accounts::userByUsername(storage, username);
    if (!user || !accounts::checkPassword(storage, *user, password)) {
        throw ServiceError(ErrorCode::ObjectNotFound, "invalid username/password");
    }
    return storage.transaction([&] { return signedIn(storage, *user); });
}

json logInOrSignUp(RequestContext& ctx) {
    checkUserClass(ctx);
    const json& data = ctx.requireObject("data");
    const json& authData = requireObjectField(data, "authData", "data");
    if (authData.size() != 1) {
        throw ServiceError(ErrorCode::InvalidFieldType, "field \"authData\" in data must hold exactly one platform");
    }
    const std::string& platform = authData.begin().key();
    const json& entry = authData.begin().value();
    const accounts::ExternalAccount account = accounts::checkAuthEntry(platform, entry);
    Storage& storage = ctx.storage();
    return storage.transaction([&] {
        std::string userId;
        if (auto linked = accounts::userByExternalAccount(storage, account)) {
            // A known account: its entry (a newer access token) replaces the stored one.
            userId = *linked;
            auto user = ObjectStore(storage).load("_User", userId);
            json merged = user->fields.value("authData", json::object());
            if (!merged.is_object()) merged = json::object();
            merged[platform] = entry;
            ObjectStore(storage).update("_User", userId, json{{"authData", std::move(merged)}});
        } else {
            const json fields{{"username", generatedUsername(storage)}, {"authData", {{platform, entry}}}};
            userId = accounts::createUser(storage, fields, {.username = true, .password = false}).objectId;
        }
        return signedIn(storage, userId);
    });
}

json requestEmail(RequestContext& ctx, std::string_view kind, std::string_view page) {
    checkUserClass(ctx);
    const json& data = ctx.requireObject("data");
    const std::string email = requireStringField(data, "email", "data");
    Storage& storage = ctx.storage();
    auto user = accounts::userByEmail(storage, email);
    if (!user) emailNotFound(email);
    const std::string token = accounts::randomHex(kLinkTokenBytes);
    const std::string link = ctx.baseUrl() + std::string(page) + "?token=" + token;
    storage.transaction([&] {
        accounts::storeSecret(storage, kind, *user, email, token);
        accounts::addToOutbox(storage, kind, email, link, {});
    });
    return json::object();
}

json requestPhoneReset(RequestContext& ctx) {
    checkUserClass(ctx);
    const json& data = ctx.requireObject("data");
    const std::string number = requireStringField(data, "username", "data");
    Storage& storage = ctx.storage();
    auto user = accounts::userByPhone(storage, number);
    if (!user) throw ServiceError(ErrorCode::EmailNotFound, "no user with the phone number \"" + number + "\"");
    const std::string code = accounts::randomDigits(kCodeDigits);
    storage.transaction([&] {
        accounts::storeSecret(storage, accounts::kSmsKind, *user, number, code);
        accounts::addToOutbox(storage, accounts::kSmsKind, number, {}, code);
    });
    return json::object();
}

json phoneReset(RequestContext& ctx) {
    checkUserClass(ctx);
    const json& data = ctx.requireObject("data");
    const std::string number = requireStringField(data, "username", "data");
    const std::string code = requireStringField(data, "code", "data");
    const std::string password = requireStringField(data, "password", "data");
    if (password.empty()) throw ServiceError(ErrorCode::MissingField, "missing required field \"password\": empty");
    Storage& storage = ctx.storage();
    auto secret = accounts::latestUnusedSecret(storage, accounts::kSmsKind, number);
    if (!secret || !accounts::secretMatches(*secret, code)) {
        throw ServiceError(ErrorCode::InvalidCode, "invalid code for \"" + number + "\"");
    }
    storage.transaction([&] {
        accounts::setPassword(storage, secret->userId, password);
        accounts::markSecretUsed(storage, secret->id);
    });
    return json::object();
}

}  // namespace

void registerUserHandlers(Router& router) {
    router.addEnvelope("/7/signup", signUp);
    router.addEnvelope("/7/login", logIn);
    router.addEnvelope("/7/login_or_signup", logInOrSignUp);
    router.addEnvelope("/7/email_verify",
                       [](RequestContext& ctx) { return requestEmail(ctx, accounts::kVerifyKind, "/verify"); });
    router.addEnvelope("/7/reset",
                       [](RequestContext& ctx) { return requestEmail(ctx, accounts::kResetKind, "/reset"); });
    router.addEnvelope("/7/phone_request_reset", requestPhoneReset);
    router.addEnvelope("/7/phone_reset", phoneReset);
}

}  // namespace vorn::emulator
