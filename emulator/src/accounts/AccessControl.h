#pragma once

// Who is calling, and what the "ACL" field of an object lets them do.
//
// An object's "ACL" is a map from principal to permissions:
//   {"*": {"read": true}, "<user objectId>": {"read": true, "write": true}, "role:<name>": {"write": true}}
// Each entry grants what it holds as true ("read", "write"); anything else
// grants nothing. An object without an "ACL" field, or whose "ACL" is not a
// map, may be read and written by everybody.
//
// A caller is anonymous (only "*" applies) or a signed-in user ("*", the
// user's objectId, and "role:<name>" for each role the user is in). A user is
// in role R when the "_Role" object whose "name" is R holds the user in its
// "users" relation, or holds in its "roles" relation a role the user is in
// (inherited, however deep; cycles are harmless).

#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace vorn::emulator {
class Storage;
}

namespace vorn::emulator::accounts {

inline constexpr std::string_view kUserClass = "_User";
inline constexpr std::string_view kRoleClass = "_Role";

enum class Permission { Read, Write };

class Caller {
public:
    // The user of a session token. No token (nullopt or empty) or an unknown
    // one: anonymous, and tokenGiven() tells the two apart.
    static Caller fromToken(Storage& storage, std::optional<std::string_view> token);
    static Caller anonymous(Storage& storage);
    // The emulator's own console: may read and write every object, users
    // included, whatever their access lists say.
    static Caller console(Storage& storage);

    const std::optional<std::string>& userId() const { return userId_; }
    bool tokenGiven() const { return tokenGiven_; }
    bool isConsole() const { return console_; }

    // Whether the caller may read or write an object with these fields.
    bool may(Permission permission, const nlohmann::json& fields);

    // The names of the roles the caller is in (computed once).
    const std::set<std::string>& roles();

private:
    explicit Caller(Storage& storage) : storage_(&storage) {}

    Storage* storage_;
    std::optional<std::string> userId_;
    bool tokenGiven_ = false;
    bool console_ = false;
    std::optional<std::set<std::string>> roles_;
};

// The role names of a user, with the inherited ones.
std::set<std::string> rolesOfUser(Storage& storage, const std::string& userId);

}  // namespace vorn::emulator::accounts
