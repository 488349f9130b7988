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
        it->second = Entry{std::string(text), shared};
    } else {
        if (entries_.size() >= kMaxEntries) entries_.clear();
        entries_.emplace(rowid, Entry{std::string(text), shared});
    }
    return shared;
}

void ObjectCache::scan(Storage& storage, const std::string& className, const std::optional<std::string>& objectId,
                       const std::function<void(const ObjectRef&)>& onObject) {
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
