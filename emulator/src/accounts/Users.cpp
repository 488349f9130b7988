#include "accounts/Users.h"

#include "TextHelpers.h"
#include "accounts/AccessControl.h"
#include "accounts/Outbox.h"
#include "accounts/Passwords.h"
#include "accounts/Sessions.h"
#include "objects/FieldValues.h"
#include "vorn_emulator/Accounts.h"
#include "vorn_emulator/ServiceError.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator {

namespace accounts {

namespace {

using nlohmann::json;

const std::string kUser(kUserClass);

[[noreturn]] void invalidField(std::string_view key, std::string_view what) {
    throw ServiceError(ErrorCode::InvalidFieldType, "field " + inQuotes(key) + " " + std::string(what));
}

// The oldest user (other than `except`) whose field at the JSON path `path`
// holds `value`. Rows that are not valid JSON match nothing.
std::optional<std::string> userWhere(Storage& storage, std::string_view path, const std::string& value,
                                     const std::string& except = {}) {
    auto row = storage.queryOne(
        "SELECT object_id FROM objects WHERE class_name = ? AND object_id <> ? "
        "AND CASE WHEN json_valid(data) THEN json_extract(data, ?) END = ? "
        "ORDER BY created_ms, object_id LIMIT 1",
        {kUser, except, path, value});
    if (!row) return std::nullopt;
    return row->at(0).asText();
}

// "$.authData.<platform>.<id key>"; platforms are fixed names, never request text.
std::string accountPath(const ExternalAccount& account) {
    return "$.authData." + account.platform + "." + (account.platform == "qq" ? "openid" : "uid");
}

bool isOperator(const json& value) {
    return value.is_object() && value.contains("__op");
}

bool isDeleteOperator(const json& value) {
    if (!isOperator(value)) return false;
    const json& op = value.at("__op");
    return op.is_string() && op.get_ref<const std::string&>() == "Delete";
}

const std::string* storedString(const StoredObject& object, std::string_view key) {
    auto it = object.fields.find(key);
    if (it == object.fields.end() || !it->is_string()) return nullptr;
    return &it->get_ref<const std::string&>();
}

// "password" of a sign-up or update: a non-empty string.
std::string passwordValue(const json& value) {
    if (!value.is_string()) invalidField("password", "must be a string");
    if (value.get_ref<const std::string&>().empty()) {
        throw ServiceError(ErrorCode::MissingField, "missing required field \"password\": empty");
    }
    return value.get<std::string>();
}

const std::string& checkUsername(const json& value) {
    if (!value.is_string()) invalidField("username", "must be a string");
    if (value.get_ref<const std::string&>().empty()) {
        throw ServiceError(ErrorCode::MissingField, "missing required field \"username\": empty");
    }
    return value.get_ref<const std::string&>();
}

const std::string& checkEmail(const json& value) {
    if (!value.is_string() || value.get_ref<const std::string&>().empty()) {
        invalidField("email", "must be a non-empty string");
    }
    return value.get_ref<const std::string&>();
}

void checkUsernameFree(Storage& storage, const std::string& username, const std::string& self) {
    if (userWhere(storage, "$.username", username, self)) {
        throw ServiceError(ErrorCode::UsernameTaken, "username taken: " + inQuotes(username));
    }
}

void checkEmailFree(Storage& storage, const std::string& email, const std::string& self) {
    if (userWhere(storage, "$.email", email, self)) {
        throw ServiceError(ErrorCode::EmailTaken, "email taken: " + inQuotes(email));
    }
}

// Checks the entries of an "authData" map and that none of its accounts is
// linked to another user than `self`. Null entries (unlinking) pass.
void checkAuthData(Storage& storage, const json& authData, const std::string& self) {
    if (!authData.is_object()) invalidField("authData", "must be a map of platform entries");
    for (auto it = authData.begin(); it != authData.end(); ++it) {
        if (it->is_null()) continue;
        const ExternalAccount account = checkAuthEntry(it.key(), *it);
        if (auto linked = userByExternalAccount(storage, account); linked && *linked != self) {
            throw ServiceError(ErrorCode::AccountAlreadyLinked, "the " + account.platform + " account " +
                                                                    inQuotes(account.accountId) +
                                                                    " is already linked to another user");
        }
    }
}

void dropServerFields(json& data) {
    data.erase("sessionToken");
    data.erase("emailVerified");
}

}  // namespace

std::optional<std::string> userByUsername(Storage& storage, const std::string& username) {
    return userWhere(storage, "$.username", username);
}

std::optional<std::string> userByEmail(Storage& storage, const std::string& email) {
    return userWhere(storage, "$.email", email);
}

std::optional<std::string> userByPhone(Storage& storage, const std::string& number) {
    if (auto user = userWhere(storage, "$.username", number)) return user;
    return userWhere(storage, "$.mobilePhoneNumber", number);
}

ExternalAccount checkAuthEntry(const std::string& platform, const json& entry) {
    const std::string field = "authData." + platform;
    if (platform != "qq" && platform != "weibo") {
        invalidField(field, "names an unsupported platform (expected \"qq\" or \"weibo\")");
    }
    if (!entry.is_object()) invalidField(field, "must be a map");
    const std::string idKey = platform == "qq" ? "openid" : "uid";
    for (const std::string& key : {std::string("access_token"), idKey}) {
        auto it = entry.find(key);
        if (it == entry.end() || !it->is_string() || it->get_ref<const std::string&>().empty()) {
            invalidField(field, "needs " + inQuotes(key) + " as a non-empty string");
        }
    }
    auto expires = entry.find("expires_in");
    if (expires == entry.end() || !(expires->is_number() || expires->is_string())) {
        invalidField(field, "needs \"expires_in\" as a number or a string");
    }
    objects::checkWireValue(entry, field);
    return ExternalAccount{platform, entry.at(idKey).get<std::string>()};
}

std::optional<std::string> userByExternalAccount(Storage& storage, const ExternalAccount& account) {
    return userWhere(storage, accountPath(account), account.accountId);
}

CreatedUser createUser(Storage& storage, const json& fields, UserRequirements required) {
    if (!fields.is_object()) throw ServiceError(ErrorCode::InvalidFieldType, "the user's fields must be a map");
    return storage.transaction([&] {
        json data = fields;
        dropServerFields(data);

        std::optional<std::string> password;
        if (auto it = data.find("password"); it != data.end() && !it->is_null()) {
            password = passwordValue(*it);
        } else if (required.password) {
            throw ServiceError(ErrorCode::MissingField, "missing required field \"password\"");
        }
        data.erase("password");

        if (auto username = data.find("username"); username != data.end() && !username->is_null()) {
            checkUsernameFree(storage, checkUsername(*username), {});
        } else if (required.username) {
            throw ServiceError(ErrorCode::MissingField, "missing required field \"username\"");
        }

        if (auto email = data.find("email"); email != data.end()) {
            if (email->is_null()) {
                data.erase(email);
            } else {
                checkEmailFree(storage, checkEmail(*email), {});
                data["emailVerified"] = false;
            }
        }
        if (auto authData = data.find("authData"); authData != data.end()) checkAuthData(storage, *authData, {});

        const auto created = ObjectStore(storage).create(kUser, data);
        if (password) setPassword(storage, created.objectId, *password);
        return CreatedUser{created.objectId, created.createdAt, created.createdAt};
    });
}

std::string updateUser(Storage& storage, const StoredObject& user, const json& changes, bool byConsole) {
    if (!changes.is_object()) throw ServiceError(ErrorCode::InvalidFieldType, "the changes must be a map");
    return storage.transaction([&] {
        json data = changes;
        const auto verified = data.find("emailVerified");
        const std::optional<json> setVerified = byConsole && verified != data.end() && verified->is_boolean()
                                                    ? std::optional<json>(*verified)
                                                    : std::nullopt;
        dropServerFields(data);

        std::optional<std::string> password;
        if (auto it = data.find("password"); it != data.end()) {
            password = passwordValue(*it);
            data.erase(it);
        }

        if (auto username = data.find("username"); username != data.end()) {
            const std::string& name = checkUsername(*username);
            const std::string* current = storedString(user, "username");
            if (current == nullptr || *current != name) checkUsernameFree(storage, name, user.objectId);
        }

        if (auto email = data.find("email"); email != data.end()) {
            if (email->is_null() || isDeleteOperator(*email)) {
                *email = json{{"__op", "Delete"}};
                data["emailVerified"] = json{{"__op", "Delete"}};
            } else {
                const std::string& address = checkEmail(*email);
                const std::string* current = storedString(user, "email");
                if (current == nullptr || *current != address) {
                    checkEmailFree(storage, address, user.objectId);
                    data["emailVerified"] = false;
                }
            }
        }

        if (auto authData = data.find("authData"); authData != data.end()) {
            if (isOperator(*authData)) {
                if (!isDeleteOperator(*authData)) invalidField("authData", "takes no operator but Delete");
            } else {
                checkAuthData(storage, *authData, user.objectId);
                json merged = json::object();
                if (auto stored = user.fields.find("authData"); stored != user.fields.end() && stored->is_object()) {
                    merged = *stored;
                }
                for (auto it = authData->begin(); it != authData->end(); ++it) merged[it.key()] = *it;
                *authData = std::move(merged);
            }
        }
        // After the e-mail rule above: the console's own choice wins.
        if (setVerified) data["emailVerified"] = *setVerified;

        std::string updatedAt = ObjectStore(storage).update(kUser, user.objectId, data);
        if (password) setPassword(storage, user.objectId, *password);
        return updatedAt;
    });
}

void deleteUser(Storage& storage, const std::string& userId) {
    storage.transaction([&] {
        ObjectStore(storage).remove(kUser, userId);
        storage.execute("DELETE FROM passwords WHERE user_id = ?", {userId});
        deleteSessions(storage, userId);
        deleteSecrets(storage, userId);
    });
}

void setPassword(Storage& storage, const std::string& userId, std::string_view password) {
    storage.execute(
        "INSERT INTO passwords (user_id, hash) VALUES (?, ?) ON CONFLICT (user_id) DO UPDATE SET hash = excluded.hash",
        {userId, hashPassword(password)});
}

bool checkPassword(Storage& storage, const std::string& userId, std::string_view password) {
    auto row = storage.queryOne("SELECT hash FROM passwords WHERE user_id = ?", {userId});
    return row && row->at(0).isText() && verifyPassword(password, row->at(0).asText());
}

json userMap(Storage& storage, const std::string& userId) {
    auto user = ObjectStore(storage).load(kUser, userId);
    if (!user) throw ServiceError(ErrorCode::ObjectNotFound, "object not found: _User " + userId);
    return user->toResult();
}

}  // namespace accounts

// ---------------------------------------------------------------- public helpers

std::optional<std::string> sessionUserId(Storage& storage, std::string_view token) {
    return accounts::sessionUser(storage, token);
}

bool checkUserPassword(Storage& storage, const std::string& userId, std::string_view password) {
    return accounts::checkPassword(storage, userId, password);
}

}  // namespace vorn::emulator
