#include "query/ObjectCache.h"

#include <sqlite3.h>

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "vorn_emulator/Storage.h"

namespace vorn::emulator::query {

namespace {

constexpr std::string_view kSelect =
    "SELECT rowid, object_id, data, created_at, updated_at, created_ms, updated_ms FROM objects ";

std::string_view columnText(const Statement& row, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(row.handle(), column));
    const auto size = static_cast<std::size_t>(sqlite3_column_bytes(row.handle(), column));
    return text == nullptr ? std::string_view{} : std::string_view(text, size);
}

std::runtime_error notAnObject(const std::string& className, std::string_view objectId) {
    return std::runtime_error("stored data of " + className + " " + std::string(objectId) + " is not a JSON object");
}

}  // namespace

ObjectRef ObjectCache::objectOf(const std::string& className, const Statement& row) {
    const std::int64_t rowid = row.getInt(0);
    const std::string_view id = columnText(row, 1);
    const std::string_view text = columnText(row, 2);
    auto it = entries_.find(rowid);
    if (it != entries_.end() && it->second.text == text && it->second.object->objectId == id &&
        it->second.object->className == className) {
        it->second.lastFind = finds_;
        return it->second.object;
    }
    auto object = std::make_shared<StoredObject>();
    object->className = className;
    object->objectId = std::string(id);
    object->fields = nlohmann::json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (!object->fields.is_object()) return nullptr;
    object->createdAt = row.getText(3);
    object->updatedAt = row.getText(4);
    object->createdMs = row.getInt(5);
    object->updatedMs = row.getInt(6);
    ObjectRef shared = std::move(object);
    if (it != entries_.end()) {
        bytes_ -= it->second.bytes;
        entries_.erase(it);
    }
    keep(rowid, text, shared);
    return shared;
}

void ObjectCache::keep(std::int64_t rowid, std::string_view text, const ObjectRef& object) {
    Entry entry{std::string(text), object, 0, finds_};
    entry.bytes = entryBytes(entry.text, *object);
    if (bytes_ + entry.bytes > budget_) {
        if (++missesSinceSweep_ < entries_.size()) return;
        missesSinceSweep_ = 0;
        for (auto at = entries_.begin(); at != entries_.end();) {
            if (at->second.lastFind + kIdleFinds < finds_) {
                bytes_ -= at->second.bytes;
                at = entries_.erase(at);
            } else {
                ++at;
            }
        }
        if (bytes_ + entry.bytes > budget_) return;
    }
    bytes_ += entry.bytes;
    entries_.emplace(rowid, std::move(entry));
}

std::size_t ObjectCache::entryBytes(const std::string& text, const StoredObject& object) {
    // libstdc++ on a 64-bit machine: a string keeps up to 15 characters in
    // place; every allocation costs about 16 bytes more than it asks for.
    constexpr std::size_t kAllocation = 16;
    const auto heap = [](const std::string& s) { return s.capacity() > 15 ? s.capacity() + 1 + kAllocation : 0; };
    std::size_t total = sizeof(Entry) + 64                         // the map's node and bucket
                        + sizeof(StoredObject) + 32 + kAllocation  // the object and its shared count
                        + heap(text) + heap(object.className) + heap(object.objectId) + heap(object.createdAt) +
                        heap(object.updatedAt);
    // The parsed values, walked without recursion (stored data may nest
    // deeply); a value's own 16 bytes are counted in its container.
    std::vector<const nlohmann::json*> pending{&object.fields};
    while (!pending.empty()) {
        const nlohmann::json& value = *pending.back();
        pending.pop_back();
        switch (value.type()) {
            case nlohmann::json::value_t::object:
                total += sizeof(nlohmann::json::object_t) + kAllocation;
                for (const auto& [key, member] : value.get_ref<const nlohmann::json::object_t&>()) {
                    // a tree node: links, the key and the value
                    total += 32 + sizeof(std::string) + sizeof(nlohmann::json) + kAllocation + heap(key);
                    pending.push_back(&member);
                }
                break;
            case nlohmann::json::value_t::array: {
                const auto& items = value.get_ref<const nlohmann::json::array_t&>();
                total += sizeof(nlohmann::json::array_t) + kAllocation + items.capacity() * sizeof(nlohmann::json) +
                         kAllocation;
                for (const auto& item : items) pending.push_back(&item);
                break;
            }
            case nlohmann::json::value_t::string:
                total += sizeof(std::string) + kAllocation + heap(value.get_ref<const std::string&>());
                break;
            case nlohmann::json::value_t::binary:
                total += sizeof(nlohmann::json::binary_t) + kAllocation + value.get_binary().size() + kAllocation;
                break;
            default:
                break;  // numbers, booleans and null live in the value itself
        }
    }
    return total;
}

void ObjectCache::scan(Storage& storage, const std::string& className, const std::optional<std::string>& objectId,
                       const std::function<void(const ObjectRef&)>& onObject) {
    ++finds_;
    const auto visit = [&](const Statement& row) {
        ObjectRef object = objectOf(className, row);
        if (!object) throw notAnObject(className, columnText(row, 1));
        onObject(object);
    };
    if (objectId) {
        storage.forEach(std::string(kSelect) + "WHERE class_name = ? AND object_id = ?", {className, *objectId}, visit);
    } else {
        storage.forEach(std::string(kSelect) + "WHERE class_name = ? ORDER BY created_ms, object_id", {className},
                        visit);
    }
}

void ObjectCache::fetch(Storage& storage, const std::string& className, const std::vector<std::string>& objectIds,
                        const std::function<void(const ObjectRef&)>& onObject) {
    ++finds_;
    // Read one by one, then put in the order of scan; an unreadable row
    // fails the fetch where it would fail the scan.
    struct Found {
        std::int64_t createdMs = 0;
        std::string objectId;
        ObjectRef object;  // null: not a JSON object
    };
    std::vector<Found> found;
    found.reserve(objectIds.size());
    // One statement for every id, bound without copies: this runs once per
    // candidate.
    Statement select = storage.db().prepare(std::string(kSelect) + "WHERE class_name = ? AND object_id = ?");
    select.bind(1, className);
    for (const std::string& id : objectIds) {
        sqlite3_reset(select.handle());
        const int rc = sqlite3_bind_text64(select.handle(), 2, id.data(), id.size(), SQLITE_STATIC, SQLITE_UTF8);
        if (rc != SQLITE_OK) throw SqliteError(rc, "bind of an objectId failed");
        while (select.step()) {
            found.push_back(Found{select.getInt(5), std::string(columnText(select, 1)), objectOf(className, select)});
        }
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.createdMs != b.createdMs ? a.createdMs < b.createdMs : a.objectId < b.objectId;
    });
    for (const Found& entry : found) {
        if (!entry.object) throw notAnObject(className, entry.objectId);
        onObject(entry.object);
    }
}

}  // namespace vorn::emulator::query
