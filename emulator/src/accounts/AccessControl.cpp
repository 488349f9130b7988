#include "accounts/AccessControl.h"

#include <deque>

#include "accounts/Sessions.h"
#include "vorn_emulator/ObjectStore.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator::accounts {

namespace {

using nlohmann::json;

constexpr std::string_view kRolePrefix = "role:";

bool grants(const json& entry, Permission permission) {
    if (!entry.is_object()) return false;
    auto it = entry.find(permission == Permission::Read ? "read" : "write");
    return it != entry.end() && it->is_boolean() && it->get<bool>();
}

}  // namespace

Caller Caller::fromToken(Storage& storage, std::optional<std::string_view> token) {
    Caller caller(storage);
    if (token && !token->empty()) {
        caller.tokenGiven_ = true;
        caller.userId_ = sessionUser(storage, *token);
    }
    return caller;
}

Caller Caller::anonymous(Storage& storage) {
    return Caller(storage);
}

Caller Caller::console(Storage& storage) {
    Caller caller(storage);
    caller.console_ = true;
    return caller;
}

bool Caller::may(Permission permission, const json& fields) {
    if (console_) return true;
    auto acl = fields.find("ACL");
    if (acl == fields.end() || !acl->is_object()) return true;
    if (auto it = acl->find("*"); it != acl->end() && grants(*it, permission)) return true;
    if (!userId_) return false;
    if (auto it = acl->find(*userId_); it != acl->end() && grants(*it, permission)) return true;
    for (auto it = acl->begin(); it != acl->end(); ++it) {
        const std::string& principal = it.key();
        if (!principal.starts_with(kRolePrefix) || !grants(*it, permission)) continue;
        if (roles().contains(principal.substr(kRolePrefix.size()))) return true;
    }
    return false;
}

const std::set<std::string>& Caller::roles() {
    if (!roles_) roles_ = userId_ ? rolesOfUser(*storage_, *userId_) : std::set<std::string>{};
    return *roles_;
}

std::set<std::string> rolesOfUser(Storage& storage, const std::string& userId) {
    // The roles holding the user, then the roles holding those, and so on.
    std::set<std::string> roleIds;
    std::deque<std::string> pending;
    const auto reach = [&](const std::string& roleId) {
        if (roleIds.insert(roleId).second) pending.push_back(roleId);
    };
    storage.forEach(
        "SELECT owner_id FROM relations WHERE target_class = ? AND target_id = ? AND owner_class = ? AND key = 'users'",
        {kUserClass, userId, kRoleClass}, [&](const Statement& row) { reach(row.getText(0)); });
    while (!pending.empty()) {
        const std::string roleId = std::move(pending.front());
        pending.pop_front();
        storage.forEach(
            "SELECT owner_id FROM relations WHERE target_class = ? AND target_id = ? AND owner_class = ? "
            "AND key = 'roles'",
            {kRoleClass, roleId, kRoleClass}, [&](const Statement& row) { reach(row.getText(0)); });
    }

    std::set<std::string> names;
    ObjectStore store(storage);
    for (const std::string& roleId : roleIds) {
        auto role = store.load(std::string(kRoleClass), roleId);
        if (!role) continue;
        auto name = role->fields.find("name");
        if (name != role->fields.end() && name->is_string()) names.insert(name->get<std::string>());
    }
    return names;
}

}  // namespace vorn::emulator::accounts
