#pragma once

// Evaluates a compiled where map (Constraints.h) against one stored object.

#include "query/Constraints.h"
#include "vorn_emulator/ObjectStore.h"

namespace vorn::emulator::query {

// Whether `object` satisfies every part of `where`. Not const: a "$regex"
// reuses its matcher. Throws ServiceError InvalidQuery when a regular
// expression match runs too long.
bool matches(Where& where, const StoredObject& object);

// Equality of a field's value with an operand: equal values, or an array
// field holding an element equal to the operand. A missing field equals nothing.
bool fieldEquals(const Term& field, const Term& operand);

}  // namespace vorn::emulator::query
