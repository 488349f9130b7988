#pragma once

// Candidates of a find from the field_index table (see the data folder
// section of the README): the objectIds that may satisfy the top-level
// equality, "$in", numeric range, "$nearSphere" with a distance limit and
// "$within" conditions of a where map. It is a
// prefilter only: every candidate still goes through the matcher, so a
// candidate set may hold more objects than match, never fewer.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "query/Constraints.h"

namespace vorn::emulator {
class Storage;
}

namespace vorn::emulator::query {

// The schema version that brought field_index (src/Storage.cpp); a storage
// opened with fewer migrations has no index and always scans.
inline constexpr int kFieldIndexSchemaVersion = 6;
// The version that added GeoPoint fields, by latitude.
inline constexpr int kGeoIndexSchemaVersion = 7;
// From this version on, the index holds the fields that finds have looked
// up (Storage::indexField), not every field.
inline constexpr int kFieldsOnDemandSchemaVersion = 9;

// More "$in" values than this and the condition is not looked up.
inline constexpr std::size_t kMaxIndexedInValues = 64;

// The objectIds of `className` that may satisfy `where` (sorted, without
// repeats), including every object whose stored data the index could not
// read; nullopt when no top-level condition can use the index. A field it
// looks up enters the index first if it is not in it yet.
std::optional<std::vector<std::string>> indexedCandidates(Storage& storage, const std::string& className,
                                                          const Where& where);

}  // namespace vorn::emulator::query
