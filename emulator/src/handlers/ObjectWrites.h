#pragma once

// The object writes shared by "/7/create", "/7/update", "/7/delete" and the
// operations of "/7/batch". Each returns the reply "data" of its endpoint.
//
// Creates are open to everybody; a "_User" create follows the rules of user
// fields (accounts/Users.h) but needs neither a name nor a password, and
// starts no session. Updates and deletes need the caller to be
// allowed to write the stored object (its "ACL"; PermissionDenied), and for
// a "_User" to be that very user (no or unknown session:
// InvalidSessionToken, another user: CannotModifyUser).

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace vorn::emulator {

class RequestContext;
class Storage;

namespace accounts {
class Caller;
}

nlohmann::json createObject(Storage& storage, const std::string& className, const nlohmann::json& fields);
nlohmann::json updateObject(Storage& storage, accounts::Caller& caller, const std::string& className,
                            const std::string& objectId, const nlohmann::json& fields);
nlohmann::json deleteObject(Storage& storage, accounts::Caller& caller, const std::string& className,
                            const std::string& objectId);

// A required, non-empty string member of the envelope ("c", "objectId"):
// missing, null or empty is MissingField, another type InvalidFieldType.
std::string requireName(const RequestContext& ctx, std::string_view key);

// The fields map of a request ("data" of an envelope, "body" of a batch
// operation): absent or null counts as {}; anything else but a map is
// InvalidFieldType naming `where`.
const nlohmann::json& fieldsMap(const nlohmann::json& value, std::string_view where);

}  // namespace vorn::emulator
