#pragma once

// Parsed objects kept between finds: a find parses only the rows whose stored
// text changed since an earlier find read them. An entry is used only while
// its row still holds the very text it was parsed from, so writes through any
// path (handlers, tests, another tool on the database file) are seen at once.
//
// The cache holds at most a budget of bytes (an estimate of the text and the
// parsed values it keeps). Once full it stops growing: an object that does
// not fit is parsed for the find that reads it and not kept. From time to
// time a full cache drops the entries that none of the last kIdleFinds finds
// read, so rows that were deleted, and classes no longer read, make room.

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
    static constexpr std::size_t kDefaultByteBudget = std::size_t{256} * 1024 * 1024;
    static constexpr std::uint64_t kIdleFinds = 64;

    explicit ObjectCache(std::size_t byteBudget = kDefaultByteBudget) : budget_(byteBudget) {}

    // Every object of a class, oldest first (createdAt, then objectId); with
    // `objectId`, only that one if it exists.
    void scan(Storage& storage, const std::string& className, const std::optional<std::string>& objectId,
              const std::function<void(const ObjectRef&)>& onObject);

    // The objects of a class with these objectIds (those that exist), in the
    // order of scan.
    void fetch(Storage& storage, const std::string& className, const std::vector<std::string>& objectIds,
               const std::function<void(const ObjectRef&)>& onObject);

    std::size_t size() const { return entries_.size(); }
    // The estimated bytes the entries hold; at most byteBudget().
    std::size_t bytes() const { return bytes_; }
    std::size_t byteBudget() const { return budget_; }

    // What an entry for this text and its parsed object is counted as.
    static std::size_t entryBytes(const std::string& text, const StoredObject& object);

private:
    // The object of a row selected by scan or fetch, parsed or from the
    // cache; null when its data is not a JSON object.
    ObjectRef objectOf(const std::string& className, const Statement& row);
    // Keeps an entry for `rowid` if it fits, making room once in a while.
    void keep(std::int64_t rowid, std::string_view text, const ObjectRef& object);

    struct Entry {
        std::string text;  // the stored JSON the object was parsed from
        ObjectRef object;
        std::size_t bytes = 0;
        std::uint64_t lastFind = 0;  // the last find that read it
    };
    std::unordered_map<std::int64_t, Entry> entries_;  // by rowid
    std::size_t budget_;
    std::size_t bytes_ = 0;
    std::uint64_t finds_ = 0;  // scans and fetches so far
    // Objects parsed and not kept since the last sweep: a full cache sweeps
    // only after as many as it holds entries, so sweeping costs a constant
    // per parse.
    std::size_t missesSinceSweep_ = 0;
};

}  // namespace vorn::emulator::query
