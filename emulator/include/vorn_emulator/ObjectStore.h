#pragma once

// The object store: objects of any class kept in the `objects` table with
// their fields in wire form, and relation fields kept as rows of the
// `relations` table. Used by the object handlers ("/7/create", "/7/update",
// "/7/delete", "/7/batch") and by tests that check what got stored.
//
// Like Storage, not thread-safe: use it on the server thread (through
// Server::call() from elsewhere while the server runs).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vorn::emulator {

class Storage;

// One stored object.
struct StoredObject {
    std::string className;
    std::string objectId;
    nlohmann::json fields = nlohmann::json::object();  // wire form, without objectId/createdAt/updatedAt
    std::string createdAt;                             // "yyyy-MM-dd HH:mm:ss"
    std::string updatedAt;
    std::int64_t createdMs = 0;  // epoch milliseconds, for ordering
    std::int64_t updatedMs = 0;

    // The object as a result map: every field plus "objectId", "createdAt",
    // "updatedAt".
    nlohmann::json toResult() const;
};

// The target of one relation row.
struct RelationTarget {
    std::string className;
    std::string objectId;
    friend bool operator==(const RelationTarget&, const RelationTarget&) = default;
};

class ObjectStore {
public:
    explicit ObjectStore(Storage& storage) : storage_(storage) {}

    struct Created {
        std::string objectId;
        std::string createdAt;
    };

    // Each write runs in a transaction of its own (a savepoint when one is
    // already open): when it throws, nothing of it is stored.

    // Creates an object from `data` (a map of fields and pending-change
    // operators). Throws ServiceError on invalid input.
    Created create(const std::string& className, const nlohmann::json& data);
    // Applies `data` to an existing object and refreshes updatedAt; returns the
    // new updatedAt. Throws ServiceError ObjectNotFound when it does not exist.
    std::string update(const std::string& className, const std::string& objectId, const nlohmann::json& data);
    // Deletes an object and the relation rows it owns. Throws ObjectNotFound.
    void remove(const std::string& className, const std::string& objectId);

    std::optional<StoredObject> load(const std::string& className, const std::string& objectId);
    // Every object of a class, oldest first (createdAt, then objectId).
    void forEachObject(const std::string& className, const std::function<void(const StoredObject&)>& onObject);
    std::size_t count(const std::string& className);

    // Relation rows, in the order they were added.
    std::vector<RelationTarget> related(const std::string& className, const std::string& objectId,
                                        const std::string& key);
    // Row changes; no checks of the owner's field value (that is the caller's).
    void addRelation(const StoredObject& owner, const std::string& key, const RelationTarget& target);
    void removeRelation(const StoredObject& owner, const std::string& key, const RelationTarget& target);
    void clearRelation(const StoredObject& owner, const std::string& key);

    Storage& storage() const { return storage_; }

private:
    std::string newObjectId(const std::string& className);

    Storage& storage_;
};

// Read helpers for tests (call them through Server::call while the server runs).

// The stored object as a result map (see StoredObject::toResult), if any.
std::optional<nlohmann::json> fetchObject(Storage& storage, const std::string& className, const std::string& objectId);
// (target class, target id) of each row of the relation `key` of an object.
std::vector<std::pair<std::string, std::string>> relatedObjects(Storage& storage, const std::string& className,
                                                                const std::string& objectId, const std::string& key);
std::size_t countObjects(Storage& storage, const std::string& className);

}  // namespace vorn::emulator
