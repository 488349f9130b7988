#pragma once

// Applies the entries of a request's "data" to an object: plain values replace
// a field, maps with "__op" are pending-change operators (Delete, Increment,
// Add, AddUnique, Remove, AddRelation, RemoveRelation).

#include <nlohmann/json.hpp>

#include "vorn_emulator/ObjectStore.h"

namespace vorn::emulator::objects {

// Changes object.fields in place and writes relation rows through `store`.
// Throws ServiceError on the first invalid entry; run it inside a transaction
// so that the rows written before are rolled back with it.
void applyChanges(ObjectStore& store, StoredObject& object, const nlohmann::json& data);

}  // namespace vorn::emulator::objects
