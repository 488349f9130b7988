#include "query/Projection.h"

#include <algorithm>

#include "query/Include.h"

namespace vorn::emulator::query {

namespace {

using nlohmann::json;

bool alwaysKept(std::string_view key, bool nested) {
    if (key == "objectId" || key == "createdAt" || key == "updatedAt") return true;
    return nested && (key == "__type" || key == "className");
}

}  // namespace

Projection::Projection(std::string_view keys) {
    for (const auto& path : parsePaths(keys, "keys")) {
        Node* node = &root_;
        for (const auto& key : path) {
            auto it = std::find_if(node->children.begin(), node->children.end(),
                                   [&](const auto& child) { return child.first == key; });
            if (it == node->children.end()) {
                node->children.push_back(Child{key, Node{}});
                it = node->children.end() - 1;
            }
            node = &it->second;
        }
        node->whole = true;
    }
}

void Projection::apply(json& result) const {
    project(result, root_, false);
}

void Projection::project(json& map, const Node& node, bool nested) {
    if (!map.is_object()) return;
    for (auto it = map.begin(); it != map.end();) {
        if (alwaysKept(it.key(), nested)) {
            ++it;
            continue;
        }
        const auto child = std::find_if(node.children.begin(), node.children.end(),
                                        [&](const auto& entry) { return entry.first == it.key(); });
        if (child == node.children.end()) {
            it = map.erase(it);
            continue;
        }
        if (!child->second.whole) {
            if (it->is_array()) {
                for (json& element : *it) project(element, child->second, true);
            } else {
                project(*it, child->second, true);
            }
        }
        ++it;
    }
}

}  // namespace vorn::emulator::query
