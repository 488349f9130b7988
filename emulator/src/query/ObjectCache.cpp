#include "query/ObjectCache.h"

#include <sqlite3.h>

#include <stdexcept>
#include <string_view>

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

}  // namespace

void ObjectCache::scan(Storage& storage, const std::string& className, const std::optional<std::string>& objectId,
                       const std::function<void(const ObjectRef&)>& onObject) {
    const auto visit = [&](const Statement& row) {
        const std::int64_t rowid = row.getInt(0);
        const std::string_view id = columnText(row, 1);
        const std::string_view text = columnText(row, 2);
        auto it = entries_.find(rowid);
        if (it != entries_.end() && it->second.text == text && it->second.object->objectId == id &&
            it->second.object->className == className) {
            onObject(it->second.object);
            return;
        }
        auto object = std::make_shared<StoredObject>();
        object->className = className;
        object->objectId = std::string(id);
        object->fields = nlohmann::json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
        if (!object->fields.is_object()) {
            throw std::runtime_error("stored data of " + className + " " + object->objectId + " is not a JSON object");
        }
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
        onObject(shared);
    };
    if (objectId) {
        storage.forEach(std::string(kSelect) + "WHERE class_name = ? AND object_id = ?", {className, *objectId}, visit);
    } else {
        storage.forEach(std::string(kSelect) + "WHERE class_name = ? ORDER BY created_ms, object_id", {className},
                        visit);
    }
}

}  // namespace vorn::emulator::query
