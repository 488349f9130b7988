// POST /7/batch: up to 50 object writes in one call.
//   data: {"requests": [{"method": "POST" | "PUT" | "DELETE",
//                        "path": "/1/classes/<class>" (POST) or "/1/classes/<class>/<objectId>",
//                        "token": optional session token of the operation (default: the
//                                 X-Vorn-Session-Token header),
//                        "body": fields (POST, PUT)}, ...]}
//   reply data: one entry per request, in order:
//     {"success": <reply data of /7/create, /7/update or /7/delete>}
//     or {"error": {"code": <int>, "error": <message>}}
// The batch runs in one transaction; each operation in a savepoint of its own,
// so a failing operation is rolled back alone. Updates and deletes act for
// the user of the operation's token, like /7/update and /7/delete.

#include <optional>
#include <string>
#include <string_view>

#include "accounts/AccessControl.h"
#include "handlers/Handlers.h"
#include "handlers/ObjectWrites.h"
#include "vorn_emulator/Router.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator {

namespace {

using nlohmann::json;

constexpr std::size_t kMaxBatchOperations = 50;
constexpr std::string_view kClassesPrefix = "/1/classes/";

struct Target {
    std::string className;
    std::string objectId;  // empty for POST
};

// "/1/classes/<class>" when withObjectId is false, else "/1/classes/<class>/<objectId>".
Target parsePath(const std::string& method, const std::string& path, bool withObjectId) {
    const auto bad = [&] {
        return ServiceError(ErrorCode::InvalidFieldType, "invalid path for " + method + ": \"" + path +
                                                             "\", expected \"" + std::string(kClassesPrefix) +
                                                             (withObjectId ? "<class>/<objectId>\"" : "<class>\""));
    };
    if (!path.starts_with(kClassesPrefix)) throw bad();
    const std::string_view rest = std::string_view(path).substr(kClassesPrefix.size());
    const auto slash = rest.find('/');
    Target target;
    target.className = std::string(rest.substr(0, slash));
    if (slash != std::string_view::npos) target.objectId = std::string(rest.substr(slash + 1));
    const bool hasObjectId = slash != std::string_view::npos;
    if (target.className.empty() || hasObjectId != withObjectId ||
        (withObjectId && (target.objectId.empty() || target.objectId.find('/') != std::string::npos))) {
        throw bad();
    }
    return target;
}

json runOperation(Storage& storage, const json& request, std::optional<std::string_view> headerToken) {
    if (!request.is_object()) throw ServiceError(ErrorCode::InvalidFieldType, "a batch request must be an object");
    const std::string method = requireStringField(request, "method", "batch request");
    const std::string path = requireStringField(request, "path", "batch request");
    std::optional<std::string_view> token = headerToken;
    if (auto it = request.find("token"); it != request.end() && !it->is_null()) {
        if (!it->is_string()) {
            throw ServiceError(ErrorCode::InvalidFieldType, "field \"token\" in batch request must be a string");
        }
        token = it->get_ref<const std::string&>();
    }
    static const json kAbsent;
    auto bodyIt = request.find("body");
    const json& body = bodyIt != request.end() ? *bodyIt : kAbsent;
    if (method == "POST") {
        const Target target = parsePath(method, path, false);
        return createObject(storage, target.className, fieldsMap(body, "body"));
    }
    if (method == "PUT") {
        const Target target = parsePath(method, path, true);
        const json& fields = fieldsMap(body, "body");
        auto caller = accounts::Caller::fromToken(storage, token);
        return updateObject(storage, caller, target.className, target.objectId, fields);
    }
    if (method == "DELETE") {
        const Target target = parsePath(method, path, true);
        auto caller = accounts::Caller::fromToken(storage, token);
        return deleteObject(storage, caller, target.className, target.objectId);
    }
    throw ServiceError(ErrorCode::InvalidFieldType,
                       "unsupported batch method \"" + method + "\", expected POST, PUT or DELETE");
}

json errorEntry(int code, const std::string& message) {
    return json{{"error", {{"code", code}, {"error", message}}}};
}

}  // namespace

void registerBatchHandlers(Router& router) {
    router.addEnvelope("/7/batch", [](RequestContext& ctx) {
        const json& data = ctx.data();
        const json* requests = nullptr;
        if (data.is_object()) {
            auto it = data.find("requests");
            if (it != data.end() && it->is_array()) requests = &*it;
        }
        if (requests == nullptr) {
            throw ServiceError(ErrorCode::InvalidFieldType, "\"data\" must be an object with the array \"requests\"");
        }
        if (requests->size() > kMaxBatchOperations) {
            throw ServiceError(ErrorCode::TooManyBatchOperations,
                               "too many batch operations: " + std::to_string(requests->size()) + ", at most " +
                                   std::to_string(kMaxBatchOperations));
        }
        Storage& storage = ctx.storage();
        const auto headerToken = ctx.sessionToken();
        json replies = json::array();
        storage.transaction([&] {
            for (const json& request : *requests) {
                try {
                    replies.push_back(json{
                        {"success", storage.transaction([&] { return runOperation(storage, request, headerToken); })}});
                } catch (const ServiceError& e) {
                    replies.push_back(errorEntry(e.code(), e.message()));
                } catch (const std::exception& e) {
                    replies.push_back(
                        errorEntry(toInt(ErrorCode::Internal), std::string("internal error: ") + e.what()));
                }
            }
        });
        return replies;
    });
}

}  // namespace vorn::emulator
