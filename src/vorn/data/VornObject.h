#pragma once

#include "vorn/core/VornError.h"
#include "vorn/data/VornACL.h"
#include "vorn/data/VornRelation.h"
#include "vorn/data/VornValue.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace vorn {

/// One stored object of a named class of the service: field values in
/// their wire form, the service-assigned identity (identifier, creation
/// and update times), the class name and an optional access list. Values
/// are encoded when they are set and decoded when they are read.
///
/// Objects are always owned by `std::shared_ptr` (create them with the
/// factories); a running save, update or delete keeps its object alive.
/// Use an object from one thread at a time; the results of its service
/// calls, and the identity changes they bring, arrive on the main loop.
class VornObject : public std::enable_shared_from_this<VornObject> {
public:
    /// A time stamp of the service.
    using Date = std::chrono::system_clock::time_point;

    /// An object without a class name.
    static std::shared_ptr<VornObject> init();
    /// An object of the named class, with no data yet.
    static std::shared_ptr<VornObject> initWithClassName(const std::string& className);
    /// The same as `initWithClassName`.
    static std::shared_ptr<VornObject> objectWithClassName(const std::string& className);
    /// A reference to a stored object: class name and identifier, no data.
    static std::shared_ptr<VornObject> objectWithoutDatatWithClassName(const std::string& className,
                                                                       const std::string& objectId);

protected:
    /// Only the factories can make one: every object is owned by a
    /// `std::shared_ptr` from the start. Subclasses take it as the first
    /// parameter of their constructors and are made with `make<T>`.
    struct Passkey {
        explicit Passkey() = default;
    };

public:
    /// Made only by the factories.
    explicit VornObject(Passkey) {}
    /// Made only by the factories.
    VornObject(Passkey, std::optional<std::string> className) : className_(std::move(className)) {}
    virtual ~VornObject() = default;
    VornObject(const VornObject&) = delete;
    VornObject& operator=(const VornObject&) = delete;

    /// A new `T` (this class or a subclass) made from the arguments, owned
    /// by a `std::shared_ptr`.
    template <typename T = VornObject, typename... Args>
    static std::shared_ptr<T> make(Args&&... args) {
        return std::make_shared<T>(Passkey{}, std::forward<Args>(args)...);
    }

    // Field values.

    /// Encodes the value and stores it under the key, replacing what the
    /// key held. Ignored for an empty key or an absent file or object.
    void setObject(const VornValue& value, const std::string& key);
    /// The decoded value under the key; empty when the key holds nothing.
    std::optional<VornValue> objectForKey(const std::string& key) const;
    /// `setObject` for every entry.
    void saveAllWithDictionary(const VornValueMap& values);

    // Pending changes, applied by the service.

    /// Marks the key for deletion by the service.
    void deleteForKey(const std::string& key);
    /// Adds 1 to the number under the key.
    void incrementKey(const std::string& key) { incrementKey(key, 1); }
    /// Adds `amount` to the number under the key.
    void incrementKey(const std::string& key, long long amount);
    /// Subtracts 1 from the number under the key.
    void decrementKey(const std::string& key) { decrementKey(key, 1); }
    /// Subtracts `amount` from the number under the key.
    void decrementKey(const std::string& key, long long amount);
    /// Array operators; the elements are stored as they are (JSON values).
    void addObjectsFromArray(const nlohmann::json& objects, const std::string& key);
    /// The same, adding only the elements not there yet.
    void addUniqueObjectsFromArray(const nlohmann::json& objects, const std::string& key);
    /// The same, removing the elements.
    void removeObjectsInArray(const nlohmann::json& objects, const std::string& key);
    /// Adds or removes (as the relation says) the relation's objects under the key; a relation without objects changes
    /// nothing.
    void addRelation(const std::shared_ptr<VornRelation>& relation, const std::string& key);

    // The data map.

    /// The fields in wire form (created empty on first access).
    nlohmann::json& vornDataDic();
    /// Replaces the data map; anything but a JSON object leaves it empty.
    void setVornDataDic(nlohmann::json dataDic);
    /// Replaces the data map with the entries given, when the object has one.
    void setVornDataDicFromDic(const nlohmann::json& dic);
    /// Replaces the entries of the data map with the entries given.
    void setSelfDataDictionary(const nlohmann::json& dic);
    /// Empties the data map.
    void emptyDataDic();
    /// Loads a result map of the service: its entries replace the data
    /// map's, without "objectId", "createdAt" and "updatedAt".
    void getDictionaryAfterQuery(const nlohmann::json& result);
    /// The same, taking the map.
    void getDictionaryAfterQuery(nlohmann::json&& result);
    /// The data map as it is sent: with the access list's rules under
    /// "ACL" when there are any.
    nlohmann::json& requestDataDictionary();

    // Identity.

    /// The identifier the service assigned; empty until saved.
    const std::optional<std::string>& objectId() const { return objectId_; }
    /// Sets the identifier.
    void setObjectId(std::optional<std::string> objectId) { objectId_ = std::move(objectId); }
    /// When the service created the object.
    const std::optional<Date>& createdAt() const { return createdAt_; }
    /// Sets the creation time.
    void setCreatedAt(std::optional<Date> createdAt) { createdAt_ = createdAt; }
    /// When the service last updated the object.
    const std::optional<Date>& updatedAt() const { return updatedAt_; }
    /// Sets the update time.
    void setUpdatedAt(std::optional<Date> updatedAt) { updatedAt_ = updatedAt; }
    /// The name of the object's class.
    virtual std::optional<std::string> className() const { return className_; }
    /// Sets the name of the object's class.
    virtual void setClassName(std::optional<std::string> className) { className_ = std::move(className); }
    /// The access list; empty when none is set.
    const std::shared_ptr<VornACL>& ACL() const { return ACL_; }
    /// Sets the access list, sent with the next save or update.
    void setACL(std::shared_ptr<VornACL> acl) { ACL_ = std::move(acl); }

    /// {"__type": "Pointer", "className", "objectId"}, ending at the first
    /// absent entry.
    nlohmann::json pointerForm() const;

    // Writes. The shorter forms call the core forms, so a subclass that
    // overrides a core form serves all of them.

    /// Saves when the data map has at least one entry; reports nothing.
    virtual void saveInBackground();
    /// Creates the object on the service; on success the identifier and creation time follow the reply. `block` runs on
    /// the main loop: 20002 for a transport failure, 20010 for a bad reply, or the service's code and message.
    virtual void saveInBackgroundWithResultBlock(VornBooleanResultBlock block);
    /// The same; `block` runs only when `callbackOrNot` is true.
    virtual void saveInBackgroundWithResultBlock(VornBooleanResultBlock block, bool callbackOrNot);
    /// Updates when the object has an identifier; reports nothing.
    virtual void updateInBackground();
    /// Sends the data map (without relation descriptors) as an update; on success the update time follows the reply.
    /// `block` runs on the main loop with 20002, 20010 or the service's code and message; without an identifier it gets
    /// 20003 at once.
    virtual void updateInBackgroundWithResultBlock(VornBooleanResultBlock block);
    /// The same, without the identifier check; `block` runs only when `callback` is true.
    virtual void updateInBackgroundWithResultBlock(VornBooleanResultBlock block, bool callback);
    /// Deletes when the object has an identifier; reports nothing.
    virtual void deleteInBackground();
    /// Empties the data map and deletes the object on the service. `block` runs on the main loop with 20002, 20010 or
    /// the service's code and message; without an identifier it gets 20003 at once.
    virtual void deleteInBackgroundWithBlock(VornBooleanResultBlock block);
    /// The same, without the identifier check; `block` runs only when `callback` is true.
    virtual void deleteInBackgroundWithBlock(VornBooleanResultBlock block, bool callback);

    // Writes that wait for the service (see VornEventually).

    /// Keeps the save in the journal of eventual writes, on disk before this
    /// returns, and sends it when the service can be reached: a create
    /// while the object has no identifier and none is on its way, else an
    /// update (of the object that the create before it makes, if need be).
    /// The data sent is what `saveInBackgroundWithResultBlock` or
    /// `updateInBackgroundWithResultBlock` would send now, operators
    /// included. `block` (may be empty) runs once on the main loop when the
    /// service answered: success, or the service's code and message. False
    /// when the journal refused the write: `block` then runs at once with
    /// `kVornErrorEventuallyJournalFull`.
    bool saveEventually(VornBooleanResultBlock block = nullptr);
    /// The same for a delete; without an identifier and with no create on
    /// its way, `block` runs at once with 20003, nothing is kept and this
    /// returns false.
    bool deleteEventually(VornBooleanResultBlock block = nullptr);
    /// Eventual writes not answered yet (of this data directory).
    static std::size_t pendingEventuallyCount();
    /// Drops every eventual write not answered yet; their blocks run with
    /// `kVornErrorEventuallyCleared`.
    static void clearEventually();

private:
    bool keepEventually(const std::string& operation, nlohmann::json data, bool sendSessionToken,
                        VornBooleanResultBlock block);
    nlohmann::json updateData();
    void setOperator(const std::string& key, nlohmann::json form);
    std::shared_ptr<VornObject> keepAlive();

    std::optional<nlohmann::json> vornDataDic_;
    std::optional<std::string> objectId_;
    std::optional<Date> createdAt_;
    std::optional<Date> updatedAt_;
    std::optional<std::string> className_;
    std::shared_ptr<VornACL> ACL_;
    std::optional<std::string> eventualId_;  // given when first kept without an identifier
};

}  // namespace vorn
