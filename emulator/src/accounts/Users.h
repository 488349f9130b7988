#pragma once

// Users: "_User" objects of the object store plus what never is a field (the
// password hash, sessions). The rules every path that writes users shares:
//  - "username": a non-empty string, unique (UsernameTaken);
//  - "email": a non-empty string or absent, unique (EmailTaken); the server
//    keeps "emailVerified" (false when an e-mail is set or changed, true once
//    the verification link is opened); values sent for it are ignored;
//  - "password": a non-empty string, stored only as a hash (Passwords.h);
//  - "sessionToken" is never stored;
//  - "authData": {platform: entry}, entries checked by checkAuthEntry; an
//    external account is linked to one user at most (AccountAlreadyLinked).

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "vorn_emulator/ObjectStore.h"

namespace vorn::emulator {
class Storage;
}

namespace vorn::emulator::accounts {

// Users found by a field's value (the oldest when several match).
std::optional<std::string> userByUsername(Storage& storage, const std::string& username);
std::optional<std::string> userByEmail(Storage& storage, const std::string& email);
// The user whose "username", else whose "mobilePhoneNumber", is the number.
std::optional<std::string> userByPhone(Storage& storage, const std::string& number);

// One external account of "authData".
struct ExternalAccount {
    std::string platform;   // "qq" or "weibo"
    std::string accountId;  // its "openid" (qq) or "uid" (weibo)
};

// Checks one "authData" entry: "qq" needs {"access_token", "openid",
// "expires_in"}, "weibo" {"access_token", "uid", "expires_in"}: the token and
// the id non-empty strings, "expires_in" a number or a string. Other
// platforms and malformed entries: InvalidFieldType. The platforms' tokens
// are not checked (that needs their servers).
ExternalAccount checkAuthEntry(const std::string& platform, const nlohmann::json& entry);

// The user linked to an external account.
std::optional<std::string> userByExternalAccount(Storage& storage, const ExternalAccount& account);

struct CreatedUser {
    std::string objectId;
    std::string createdAt;
    std::string updatedAt;
};

// What a new user must have: a sign-up needs both, an external account's
// user a name only, a plain create of "_User" neither.
struct UserRequirements {
    bool username = true;
    bool password = true;
};

// Creates a user from the fields of a sign-up (any fields, operators
// included).
CreatedUser createUser(Storage& storage, const nlohmann::json& fields, UserRequirements required);

// Applies an update to a stored user: "authData" is merged entry by entry (a
// null entry unlinks its platform), "password" changes the hash. Returns the
// new updatedAt. "emailVerified" is the service's own, and kept out, except
// for the console (`byConsole`), which may set it to true or false.
std::string updateUser(Storage& storage, const StoredObject& user, const nlohmann::json& changes,
                       bool byConsole = false);

// Deletes a user with its password, sessions and secrets.
void deleteUser(Storage& storage, const std::string& userId);

void setPassword(Storage& storage, const std::string& userId, std::string_view password);
bool checkPassword(Storage& storage, const std::string& userId, std::string_view password);

// The user's result map (fields in wire form, objectId, createdAt, updatedAt).
nlohmann::json userMap(Storage& storage, const std::string& userId);

}  // namespace vorn::emulator::accounts
