#include "notices/ChangeNotices.h"

#include <array>
#include <vector>

#include "vorn_emulator/Storage.h"

namespace vorn::emulator {

using nlohmann::json;

namespace {

constexpr std::array<const char*, 4> kActions = {"updateTable", "updateRow", "deleteTable", "deleteRow"};

bool isAction(const std::string& action) {
    for (const char* known : kActions) {
        if (action == known) return true;
    }
    return false;
}

bool isRowAction(const std::string& action) {
    return action == "updateRow" || action == "deleteRow";
}

const char* kindName(ChangeNotice::Kind kind) {
    switch (kind) {
        case ChangeNotice::Kind::Create:
            return "create";
        case ChangeNotice::Kind::Update:
            return "update";
        case ChangeNotice::Kind::Delete:
            return "delete";
    }
    return "update";
}

}  // namespace

ChangeNotices::ChangeNotices(std::string appKey, Emit emit) : appKey_(std::move(appKey)), emit_(std::move(emit)) {}

void ChangeNotices::sessionJoined(const std::string& sid, const std::string& endpoint) {
    emit_(sid, endpoint, "client_send_data", json::array({json{{"sid", sid}, {"endpoint", endpoint}}.dump()}));
}

void ChangeNotices::refuse(const std::string& sid, const std::string& endpoint, const std::string& eventName, int code,
                           const std::string& message) {
    emit_(sid, endpoint, "error", json::array({json{{"event", eventName}, {"code", code}, {"error", message}}.dump()}));
}

bool ChangeNotices::event(const std::string& sid, const std::string& endpoint, const std::string& name,
                          const json& args) {
    const bool subscribe = name == "client_sub";
    if (!subscribe && name != "client_unsub") return false;
    if (!args.is_array() || args.size() != 1 || !args[0].is_string()) {
        refuse(sid, endpoint, name, 1, "the argument must be one JSON text");
        return true;
    }
    const json message = json::parse(args[0].get<std::string>(), nullptr, false);
    if (!message.is_object() || message.size() != 4) {
        refuse(sid, endpoint, name, 2, "the message must be a JSON object with exactly four members");
        return true;
    }
    for (const char* key : {"appKey", "tableName", "objectId", "action"}) {
        auto it = message.find(key);
        if (it == message.end() || !it->is_string()) {
            refuse(sid, endpoint, name, 2, std::string("the message needs the string member \"") + key + "\"");
            return true;
        }
    }
    std::string action = message["action"].get<std::string>();
    if (!subscribe) {
        if (!action.starts_with("unsub_")) {
            refuse(sid, endpoint, name, 3, "unknown cancellation action \"" + action + "\"");
            return true;
        }
        action.erase(0, 6);
    }
    if (!isAction(action)) {
        refuse(sid, endpoint, name, 3, "unknown action \"" + message["action"].get<std::string>() + "\"");
        return true;
    }
    if (!appKey_.empty() && message["appKey"] != appKey_) {
        refuse(sid, endpoint, name, 4, "wrong application key");
        return true;
    }
    const std::string table = message["tableName"].get<std::string>();
    std::string objectId = message["objectId"].get<std::string>();
    if (table.empty() || table.size() > 256 || (isRowAction(action) && objectId.empty()) || objectId.size() > 256) {
        refuse(sid, endpoint, name, 5, "a table name is needed, and an object id for row actions");
        return true;
    }
    if (!isRowAction(action)) objectId.clear();

    const Key key{action, table, objectId};
    std::lock_guard lock(mutex_);
    auto& mine = bySession_[sid];
    if (subscribe) {
        if (mine.size() >= kMaxSubscriptionsPerSession && !mine.count({key, endpoint})) {
            refuse(sid, endpoint, name, 6, "too many subscriptions on this session");
            return true;
        }
        mine.insert({key, endpoint});
        subscribers_[key].insert({sid, endpoint});
    } else {
        mine.erase({key, endpoint});
        if (auto it = subscribers_.find(key); it != subscribers_.end()) {
            it->second.erase({sid, endpoint});
            if (it->second.empty()) subscribers_.erase(it);
        }
        if (mine.empty()) bySession_.erase(sid);
    }
    return true;
}

void ChangeNotices::sessionEnded(const std::string& sid) {
    std::lock_guard lock(mutex_);
    auto it = bySession_.find(sid);
    if (it == bySession_.end()) return;
    for (const auto& [key, endpoint] : it->second) {
        if (auto found = subscribers_.find(key); found != subscribers_.end()) {
            found->second.erase({sid, endpoint});
            if (found->second.empty()) subscribers_.erase(found);
        }
    }
    bySession_.erase(it);
}

void ChangeNotices::sessionLeft(const std::string& sid, const std::string& endpoint) {
    std::lock_guard lock(mutex_);
    auto it = bySession_.find(sid);
    if (it == bySession_.end()) return;
    for (auto entry = it->second.begin(); entry != it->second.end();) {
        if (entry->second != endpoint) {
            ++entry;
            continue;
        }
        if (auto found = subscribers_.find(entry->first); found != subscribers_.end()) {
            found->second.erase({sid, endpoint});
            if (found->second.empty()) subscribers_.erase(found);
        }
        entry = it->second.erase(entry);
    }
    if (it->second.empty()) bySession_.erase(it);
}

std::size_t ChangeNotices::send(const Key& key, const json& notice) {
    std::vector<Subscriber> targets;
    {
        std::lock_guard lock(mutex_);
        auto it = subscribers_.find(key);
        if (it == subscribers_.end()) return 0;
        targets.assign(it->second.begin(), it->second.end());
    }
    const json args = json::array({notice.dump()});
    for (const auto& [sid, endpoint] : targets) emit_(sid, endpoint, "server_pub", args);
    return targets.size();
}

std::vector<std::pair<std::string, std::string>> ChangeNotices::keysOf(const ChangeNotice& change) {
    std::vector<std::pair<std::string, std::string>> keys;
    if (change.kind == ChangeNotice::Kind::Delete) {
        keys = {{"deleteTable", ""}, {"deleteRow", change.objectId}};
    } else {
        keys.emplace_back("updateTable", "");
        if (change.kind == ChangeNotice::Kind::Update) keys.emplace_back("updateRow", change.objectId);
    }
    return keys;
}

bool ChangeNotices::wants(const ChangeNotice& change) const {
    const auto keys = keysOf(change);
    std::lock_guard lock(mutex_);
    for (const auto& [action, objectId] : keys) {
        if (subscribers_.count(Key{action, change.className, objectId}) != 0) return true;
    }
    return false;
}

void ChangeNotices::publish(const ChangeNotice& change) {
    for (const auto& [action, objectId] : keysOf(change)) {
        json notice{{"action", action},
                    {"tableName", change.className},
                    {"objectId", change.objectId},
                    {"change", kindName(change.kind)}};
        if (change.publicObject) {
            json object = json::parse(*change.publicObject, nullptr, false);
            if (!object.is_discarded()) notice["object"] = std::move(object);
        }
        send(Key{action, change.className, objectId}, notice);
    }
}

std::size_t ChangeNotices::publishByHand(const std::string& action, const std::string& tableName,
                                         const std::string& objectId, const json& extra) {
    json notice{{"action", action}, {"tableName", tableName}, {"objectId", objectId}, {"change", "manual"}};
    if (extra.is_object()) {
        for (const auto& [key, value] : extra.items()) notice[key] = value;
    }
    return send(Key{action, tableName, isRowAction(action) ? objectId : std::string()}, notice);
}

std::size_t ChangeNotices::subscriptionCount() const {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& [key, subscribers] : subscribers_) count += subscribers.size();
    return count;
}

json ChangeNotices::list() const {
    std::lock_guard lock(mutex_);
    json result = json::array();
    for (const auto& [key, subscribers] : subscribers_) {
        for (const auto& [sid, endpoint] : subscribers) {
            result.push_back({{"sid", sid},
                              {"endpoint", endpoint},
                              {"action", std::get<0>(key)},
                              {"tableName", std::get<1>(key)},
                              {"objectId", std::get<2>(key)}});
        }
    }
    return result;
}

}  // namespace vorn::emulator
