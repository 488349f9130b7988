#pragma once

// "include": replaces the pointers at some paths of each result with the
// objects they point at.

#include <cstddef>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn::emulator {
class ObjectStore;
namespace accounts {
class Caller;
}
}  // namespace vorn::emulator

namespace vorn::emulator::query {

// Keys of one include or keys path ("post.author" has two) at most.
inline constexpr std::size_t kMaxPathKeys = 32;
// Paths in one "include" or "keys" at most.
inline constexpr std::size_t kMaxPaths = 256;

// Splits "a.b,c" into paths of keys; blanks around paths and empty paths are
// skipped. Throws ServiceError InvalidQuery naming `what` for a path with an
// empty key ("a..b"), more than kMaxPathKeys keys, or more than kMaxPaths
// paths.
std::vector<std::vector<std::string>> parsePaths(std::string_view text, std::string_view what);

class Includer {
public:
    // `paths`: the "include" text, e.g. "post.author,tags". Only objects the
    // caller may read are included (a null caller reads everything).
    Includer(ObjectStore& store, std::string_view paths, accounts::Caller* caller = nullptr);

    bool empty() const { return paths_.empty(); }

    // For each path: the Pointer at its first key is replaced with the object
    // it points at (its result map plus "__type": "Object" and "className"),
    // then the rest of the path is followed inside it. Arrays along the way
    // are followed element by element. Pointers to missing objects, and to
    // objects the caller may not read, stay.
    void apply(nlohmann::json& result);

private:
    void includeAt(nlohmann::json& map, const std::vector<std::string>& path, std::size_t index);
    void resolve(nlohmann::json& value, const std::vector<std::string>& path, std::size_t index);
    // The object a pointer names, loaded once per request.
    const std::optional<nlohmann::json>& load(const std::string& className, const std::string& objectId);

    ObjectStore& store_;
    accounts::Caller* caller_;
    std::vector<std::vector<std::string>> paths_;
    std::map<std::pair<std::string, std::string>, std::optional<nlohmann::json>> loaded_;
};

}  // namespace vorn::emulator::query
