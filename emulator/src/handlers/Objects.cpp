// POST /7/create, /7/update, /7/delete: writes of single objects.
//   create: "c" class name, "data" fields      -> {"objectId", "createdAt"}
//   update: "c", "objectId", "data" changes    -> {"updatedAt"}
//   delete: "c", "objectId"                    -> {}
// Updates and deletes act for the user of the X-Vorn-Session-Token header
// (see ObjectWrites.h).

#include "accounts/AccessControl.h"
#include "accounts/Users.h"
#include "handlers/Handlers.h"
#include "handlers/ObjectWrites.h"
#include "vorn_emulator/ObjectStore.h"
#include "vorn_emulator/Router.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator {

using nlohmann::json;

namespace {

bool isUserClass(const std::string& className) {
    return className == accounts::kUserClass;
}

// The stored object the caller is about to change, after the checks of
// ObjectWrites.h.
StoredObject writableObject(Storage& storage, accounts::Caller& caller, const std::string& className,
                            const std::string& objectId) {
    if (caller.isConsole()) {
        auto object = ObjectStore(storage).load(className, objectId);
        if (!object) throw ServiceError(ErrorCode::ObjectNotFound, "object not found: " + className + " " + objectId);
        return std::move(*object);
    }
    if (isUserClass(className) && !caller.userId()) {
        const std::string missing = "invalid session token: a user is changed by that user, signed in (" +
                                    std::string(kSessionTokenHeader) + " header)";
        throw ServiceError(ErrorCode::InvalidSessionToken, caller.tokenGiven() ? "invalid session token" : missing);
    }
    auto object = ObjectStore(storage).load(className, objectId);
    if (!object) throw ServiceError(ErrorCode::ObjectNotFound, "object not found: " + className + " " + objectId);
    if (isUserClass(className) && *caller.userId() != objectId) {
        throw ServiceError(ErrorCode::CannotModifyUser, "cannot modify another user: " + objectId);
    }
    if (!caller.may(accounts::Permission::Write, object->fields)) {
        throw ServiceError(ErrorCode::PermissionDenied, "permission denied: the ACL of " + className + " " + objectId +
                                                            " does not let you write it");
    }
    return std::move(*object);
}

// Notes a change for the realtime host's subscribers. The object goes with
// the notice only when anyone may read it: a subscription carries no
// session. Users never go with it. Without a subscription that the change
// can reach, the object is not read again.
void noteChange(Storage& storage, ChangeNotice::Kind kind, const std::string& className, const std::string& objectId) {
    ChangeNotice notice{kind, className, objectId, std::nullopt};
    if (!storage.wantsChange(notice)) return;
    if (kind != ChangeNotice::Kind::Delete && !isUserClass(className)) {
        if (auto object = ObjectStore(storage).load(className, objectId)) {
            auto anyone = accounts::Caller::anonymous(storage);
            if (anyone.may(accounts::Permission::Read, object->fields)) notice.publicObject = object->toResult().dump();
        }
    }
    storage.noteChange(std::move(notice));
}

}  // namespace

std::string requireName(const RequestContext& ctx, std::string_view key) {
    std::string value = ctx.requireString(key);
    if (value.empty()) {
        throw ServiceError(ErrorCode::MissingField,
                           "missing required field \"" + std::string(key) + "\" in body: empty");
    }
    return value;
}

const json& fieldsMap(const json& value, std::string_view where) {
    static const json kEmpty = json::object();
    if (value.is_null()) return kEmpty;
    if (!value.is_object()) {
        throw ServiceError(ErrorCode::InvalidFieldType, "\"" + std::string(where) + "\" must be an object");
    }
    return value;
}

json createObject(Storage& storage, const std::string& className, const json& fields) {
    if (isUserClass(className)) {
        const auto created = accounts::createUser(storage, fields, {.username = false, .password = false});
        noteChange(storage, ChangeNotice::Kind::Create, className, created.objectId);
        return json{{"objectId", created.objectId}, {"createdAt", created.createdAt}};
    }
    return storage.transaction([&] {
        const auto created = ObjectStore(storage).create(className, fields);
        releaseDeviceToken(storage, className, created.objectId);
        noteChange(storage, ChangeNotice::Kind::Create, className, created.objectId);
        return json{{"objectId", created.objectId}, {"createdAt", created.createdAt}};
    });
}

json updateObject(Storage& storage, accounts::Caller& caller, const std::string& className, const std::string& objectId,
                  const json& fields) {
    return storage.transaction([&] {
        const StoredObject object = writableObject(storage, caller, className, objectId);
        const std::string updatedAt = isUserClass(className)
                                          ? accounts::updateUser(storage, object, fields, caller.isConsole())
                                          : ObjectStore(storage).update(className, objectId, fields);
        releaseDeviceToken(storage, className, objectId);
        noteChange(storage, ChangeNotice::Kind::Update, className, objectId);
        return json{{"updatedAt", updatedAt}};
    });
}

json deleteObject(Storage& storage, accounts::Caller& caller, const std::string& className,
                  const std::string& objectId) {
    storage.transaction([&] {
        writableObject(storage, caller, className, objectId);
        if (isUserClass(className)) {
            accounts::deleteUser(storage, objectId);
        } else {
            ObjectStore(storage).remove(className, objectId);
        }
        noteChange(storage, ChangeNotice::Kind::Delete, className, objectId);
    });
    return json::object();
}

void registerObjectHandlers(Router& router) {
    router.addEnvelope("/7/create", [](RequestContext& ctx) {
        const std::string className = requireName(ctx, "c");
        return createObject(ctx.storage(), className, fieldsMap(ctx.data(), "data"));
    });
    router.addEnvelope("/7/update", [](RequestContext& ctx) {
        const std::string className = requireName(ctx, "c");
        const std::string objectId = requireName(ctx, "objectId");
        const json& fields = fieldsMap(ctx.data(), "data");
        auto caller = accounts::Caller::fromToken(ctx.storage(), ctx.sessionToken());
        return updateObject(ctx.storage(), caller, className, objectId, fields);
    });
    router.addEnvelope("/7/delete", [](RequestContext& ctx) {
        const std::string className = requireName(ctx, "c");
        const std::string objectId = requireName(ctx, "objectId");
        auto caller = accounts::Caller::fromToken(ctx.storage(), ctx.sessionToken());
        return deleteObject(ctx.storage(), caller, className, objectId);
    });
}

}  // namespace vorn::emulator
