#pragma once

// Parsed objects kept between finds: a find parses only the rows whose stored
// text changed since an earlier find read them. An entry is used only while
// its row still holds the very text it was parsed from, so writes through any
// path (handlers, tests, another tool on the database file) are seen at once.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "vorn_emulator/ObjectStore.h"

namespace vorn::emulator {
class Statement;
class Storage;
}  // namespace vorn::emulator

namespace vorn::emulator::query {

using ObjectRef = std::shared_ptr<const StoredObject>;

class ObjectCache {
public:
    // More entries than this and the cache starts over.
    static constexpr std::size_t kMaxEntries = 200000;

    // Every object of a class, oldest first (createdAt, then objectId); with
    // `objectId`, only that one if it exists.
    void scan(Storage& storage, const std::string& className, const std::optional<std::string>& objectId,
              const std::function<void(const ObjectRef&)>& onObject);

    // The objects of a class with these objectIds (those that exist), in the
    // order of scan.
    void fetch(Storage& storage, const std::string& className, const std::vector<std::string>& objectIds,
               const std::function<void(const ObjectRef&)>& onObject);

    std::size_t size() const { return entries_.size(); }

private:
    // The object of a row selected by scan or fetch, parsed or from the
    // cache; null when its data is not a JSON object.
    ObjectRef objectOf(const std::string& className, const Statement& row);

    struct Entry {
        std::string text;  // the stored JSON the object was parsed from
        ObjectRef object;
    };
    std::unordered_map<std::int64_t, Entry> entries_;  // by rowid
};

}  // namespace vorn::emulator::query
