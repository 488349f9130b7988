#pragma once

#include "vorn/core/VornError.h"
#include "vorn/data/VornValue.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <optional>
#include <string>

namespace vorn {

/// Create, update and delete operations on objects of any classes, sent
/// to the service together in one call (at most 50 of them).
class VornObjectsBatch : public std::enable_shared_from_this<VornObjectsBatch> {
public:
    /// The most operations one batch may send; a larger batch reports 20014 at once.
    static constexpr std::size_t kMaxOperations = 50;

    /// A new, empty batch.
    static std::shared_ptr<VornObjectsBatch> init() { return std::make_shared<VornObjectsBatch>(Passkey{}); }

private:
    struct Passkey {
        explicit Passkey() = default;
    };

public:
    /// Made only by `init`: a batch is always owned by a `std::shared_ptr`.
    explicit VornObjectsBatch(Passkey) {}

    /// Adds a create of an object of the class with the given fields.
    void saveVornObjectWithClassName(const std::string& className, const VornValueMap& parameters);
    /// Adds an update of the stored object with the given fields.
    void updateVornObjectWithClassName(const std::string& className, const std::string& objectId,
                                       const VornValueMap& parameters);
    /// Adds a delete of the stored object.
    void deleteVornObjectWithClassName(const std::string& className, const std::string& objectId);

    /// Sends every operation added so far; the handler (if any) gets the
    /// service's verdict on the whole batch, on the main loop.
    void batchObjectsInBackgroundWithResultBlock(VornBooleanResultBlock block);

    /// The fields in wire form; empty when a field name is "".
    static std::optional<nlohmann::json> turnDictionaryFromDataDictionary(const VornValueMap& parameters);

    /// The operation records, in the order they were added.
    const nlohmann::json& objectsArray() const { return objectsArray_; }

private:
    nlohmann::json objectsArray_ = nlohmann::json::array();
};

}  // namespace vorn
