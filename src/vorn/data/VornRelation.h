#pragma once

#include <nlohmann/json.hpp>

#include <memory>
#include <optional>

namespace vorn {

class VornObject;

/// A pending change of a relation field: objects to add to it, or objects
/// to remove from it (one kind of change at a time).
class VornRelation {
public:
    /// A new change that adds objects.
    static std::shared_ptr<VornRelation> relation() { return std::make_shared<VornRelation>(); }
    /// The same as `relation()`.
    static std::shared_ptr<VornRelation> init() { return relation(); }

    /// Collects an object to add; a collection of removals is dropped first.
    void addObject(const std::shared_ptr<VornObject>& object);
    /// Collects an object to remove; a collection of additions is dropped first.
    void removeObject(const std::shared_ptr<VornObject>& object);
    /// The mode: true = add.
    bool addOrRemoveRelation() const { return isAddObject_; }

    /// The Pointer forms of the collected objects (created on first use).
    nlohmann::json& relationArray();
    /// The same as `relationArray()`.
    nlohmann::json& vRelationArray() { return relationArray(); }
    /// Replaces the list; anything but a JSON array leaves an empty list.
    void setRelationArray(nlohmann::json array);
    /// Whether the list was ever created.
    bool hasRelationArray() const { return relationArray_.has_value(); }

private:
    bool isAddObject_ = true;
    std::optional<nlohmann::json> relationArray_;
};

}  // namespace vorn
