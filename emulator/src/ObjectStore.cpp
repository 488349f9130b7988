#include "vorn_emulator/ObjectStore.h"

#include <sqlite3.h>

#include <random>
#include <stdexcept>

#include "TextHelpers.h"
#include "objects/FieldChanges.h"
#include "vorn_emulator/DateText.h"
#include "vorn_emulator/ServiceError.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator {

namespace {

using nlohmann::json;

constexpr std::size_t kObjectIdLength = 10;
constexpr std::string_view kObjectIdAlphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

constexpr std::string_view kSelectColumns =
    "SELECT object_id, data, created_at, updated_at, created_ms, updated_ms FROM objects ";

std::string randomObjectId() {
    thread_local std::mt19937_64 engine = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    std::uniform_int_distribution<std::size_t> pick(0, kObjectIdAlphabet.size() - 1);
    std::string id(kObjectIdLength, '0');
    for (char& c : id) c = kObjectIdAlphabet[pick(engine)];
    return id;
}

// A row selected with kSelectColumns.
StoredObject objectFromRow(const std::string& className, const Statement& row) {
    StoredObject object;
    object.className = className;
    object.objectId = row.getText(0);
    // Parsed straight from SQLite's buffer, without a copy of the text.
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(row.handle(), 1));
    const auto size = static_cast<std::size_t>(sqlite3_column_bytes(row.handle(), 1));
    if (text == nullptr) text = "";  // NULL: not a JSON object, refused below
    object.fields = json::parse(text, text + size, nullptr, /*allow_exceptions=*/false);
    if (!object.fields.is_object()) {
        throw std::runtime_error("stored data of " + className + " " + object.objectId + " is not a JSON object");
    }
    object.createdAt = row.getText(2);
    object.updatedAt = row.getText(3);
    object.createdMs = row.getInt(4);
    object.updatedMs = row.getInt(5);
    return object;
}

ServiceError notFound(const std::string& className, const std::string& objectId) {
    return ServiceError(ErrorCode::ObjectNotFound, "object not found: " + className + " " + objectId);
}

void checkClassName(const std::string& className) {
    if (className.empty()) throw ServiceError(ErrorCode::MissingField, "missing class name");
}

}  // namespace

json StoredObject::toResult() const {
    json result = fields;
    result["objectId"] = objectId;
    result["createdAt"] = createdAt;
    result["updatedAt"] = updatedAt;
    return result;
}

// ---------------------------------------------------------------- writes

std::string ObjectStore::newObjectId(const std::string& className) {
    for (;;) {
        std::string id = randomObjectId();
        if (!storage_.queryOne("SELECT 1 FROM objects WHERE class_name = ? AND object_id = ?", {className, id})) {
            return id;
        }
    }
}

ObjectStore::Created ObjectStore::create(const std::string& className, const json& data) {
    checkClassName(className);
    return storage_.transaction([&] {
        StoredObject object;
        object.className = className;
        object.objectId = newObjectId(className);
        const auto now = Clock::now();
        object.createdAt = object.updatedAt = formatDateText(now);
        object.createdMs = object.updatedMs = epochMillis(now);
        objects::applyChanges(*this, object, data);
        storage_.execute(
            "INSERT INTO objects (class_name, object_id, data, created_at, updated_at, created_ms, updated_ms) "
            "VALUES (?, ?, ?, ?, ?, ?, ?)",
            {className, object.objectId, compactJson(object.fields), object.createdAt, object.updatedAt,
             object.createdMs, object.updatedMs});
        return Created{object.objectId, object.createdAt};
    });
}

std::string ObjectStore::update(const std::string& className, const std::string& objectId, const json& data) {
    checkClassName(className);
    return storage_.transaction([&] {
        auto object = load(className, objectId);
        if (!object) throw notFound(className, objectId);
        objects::applyChanges(*this, *object, data);
        const auto now = Clock::now();
        object->updatedAt = formatDateText(now);
        object->updatedMs = epochMillis(now);
        storage_.execute(
            "UPDATE objects SET data = ?, updated_at = ?, updated_ms = ? WHERE class_name = ? AND object_id = ?",
            {compactJson(object->fields), object->updatedAt, object->updatedMs, className, objectId});
        return object->updatedAt;
    });
}

void ObjectStore::remove(const std::string& className, const std::string& objectId) {
    checkClassName(className);
    storage_.transaction([&] {
        if (storage_.execute("DELETE FROM objects WHERE class_name = ? AND object_id = ?", {className, objectId}) ==
            0) {
            throw notFound(className, objectId);
        }
        storage_.execute("DELETE FROM relations WHERE owner_class = ? AND owner_id = ?", {className, objectId});
    });
}

// ---------------------------------------------------------------- reads

std::optional<StoredObject> ObjectStore::load(const std::string& className, const std::string& objectId) {
    std::optional<StoredObject> object;
    storage_.forEach(std::string(kSelectColumns) + "WHERE class_name = ? AND object_id = ?", {className, objectId},
                     [&](const Statement& row) { object = objectFromRow(className, row); });
    return object;
}

void ObjectStore::forEachObject(const std::string& className,
                                const std::function<void(const StoredObject&)>& onObject) {
    storage_.forEach(std::string(kSelectColumns) + "WHERE class_name = ? ORDER BY created_ms, object_id", {className},
                     [&](const Statement& row) { onObject(objectFromRow(className, row)); });
}

std::size_t ObjectStore::count(const std::string& className) {
    auto row = storage_.queryOne("SELECT count(*) FROM objects WHERE class_name = ?", {className});
    return static_cast<std::size_t>(row->at(0).asInt());
}

// ---------------------------------------------------------------- relations

std::vector<RelationTarget> ObjectStore::related(const std::string& className, const std::string& objectId,
                                                 const std::string& key) {
    std::vector<RelationTarget> targets;
    storage_.forEach(
        "SELECT target_class, target_id FROM relations WHERE owner_class = ? AND owner_id = ? AND key = ? "
        "ORDER BY rowid",
        {className, objectId, key}, [&](const Statement& row) {
            targets.push_back(RelationTarget{row.getText(0), row.getText(1)});
        });
    return targets;
}

void ObjectStore::addRelation(const StoredObject& owner, const std::string& key, const RelationTarget& target) {
    storage_.execute(
        "INSERT OR IGNORE INTO relations (owner_class, owner_id, key, target_class, target_id) VALUES (?, ?, ?, ?, ?)",
        {owner.className, owner.objectId, key, target.className, target.objectId});
}

void ObjectStore::removeRelation(const StoredObject& owner, const std::string& key, const RelationTarget& target) {
    storage_.execute(
        "DELETE FROM relations WHERE owner_class = ? AND owner_id = ? AND key = ? AND target_class = ? "
        "AND target_id = ?",
        {owner.className, owner.objectId, key, target.className, target.objectId});
}

void ObjectStore::clearRelation(const StoredObject& owner, const std::string& key) {
    storage_.execute("DELETE FROM relations WHERE owner_class = ? AND owner_id = ? AND key = ?",
                     {owner.className, owner.objectId, key});
}

// ---------------------------------------------------------------- test helpers

std::optional<json> fetchObject(Storage& storage, const std::string& className, const std::string& objectId) {
    auto object = ObjectStore(storage).load(className, objectId);
    if (!object) return std::nullopt;
    return object->toResult();
}

std::vector<std::pair<std::string, std::string>> relatedObjects(Storage& storage, const std::string& className,
                                                                const std::string& objectId, const std::string& key) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (auto& target : ObjectStore(storage).related(className, objectId, key)) {
        pairs.emplace_back(std::move(target.className), std::move(target.objectId));
    }
    return pairs;
}

std::size_t countObjects(Storage& storage, const std::string& className) {
    return ObjectStore(storage).count(className);
}

}  // namespace vorn::emulator
