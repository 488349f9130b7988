#pragma once

// "keys": which fields of each result to send.

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn::emulator::query {

class Projection {
public:
    // `keys`: the "keys" text, e.g. "score,post.title". A dotted key keeps the
    // field and, inside the object (or array of objects) there, only the rest
    // of the path. Throws ServiceError InvalidQuery like parsePaths.
    explicit Projection(std::string_view keys);

    // Keeps the listed fields of a result map and always "objectId",
    // "createdAt", "updatedAt" (in nested objects also "__type" and
    // "className", so pointers and included objects stay what they are).
    void apply(nlohmann::json& result) const;

private:
    struct Child;
    struct Node {
        bool whole = false;  // the field is kept as it is
        std::vector<Child> children;
    };
    struct Child {
        std::string first;  // the field name
        Node second;
    };
    static void project(nlohmann::json& map, const Node& node, bool nested);

    Node root_;
};

}  // namespace vorn::emulator::query
