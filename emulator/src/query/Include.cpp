#include "query/Include.h"

#include "TextHelpers.h"
#include "accounts/AccessControl.h"
#include "objects/FieldValues.h"
#include "vorn_emulator/ObjectStore.h"
#include "vorn_emulator/ServiceError.h"

namespace vorn::emulator::query {

namespace {

using nlohmann::json;

}  // namespace

std::vector<std::vector<std::string>> parsePaths(std::string_view text, std::string_view what) {
    std::vector<std::vector<std::string>> paths;
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view path = trimmed(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        if (path.empty()) continue;
        if (paths.size() == kMaxPaths) {
            throw ServiceError(ErrorCode::InvalidQuery, "invalid query: more than " + std::to_string(kMaxPaths) +
                                                            " paths in \"" + std::string(what) + "\"");
        }
        std::vector<std::string> keys;
        std::size_t start = 0;
        for (;;) {
            const auto dot = path.find('.', start);
            const std::string_view key = path.substr(start, dot == std::string_view::npos ? dot : dot - start);
            if (key.empty() || keys.size() == kMaxPathKeys) {
                throw ServiceError(ErrorCode::InvalidQuery,
                                   "invalid query: path \"" + std::string(path) + "\" in \"" + std::string(what) +
                                       (key.empty() ? "\" has an empty key"
                                                    : "\" has more than " + std::to_string(kMaxPathKeys) + " keys"));
            }
            keys.emplace_back(key);
            if (dot == std::string_view::npos) break;
            start = dot + 1;
        }
        paths.push_back(std::move(keys));
    }
    return paths;
}

Includer::Includer(ObjectStore& store, std::string_view paths, accounts::Caller* caller)
    : store_(store), caller_(caller), paths_(parsePaths(paths, "include")) {}

void Includer::apply(json& result) {
    for (const auto& path : paths_) includeAt(result, path, 0);
}

void Includer::includeAt(json& map, const std::vector<std::string>& path, std::size_t index) {
    if (!map.is_object()) return;
    auto it = map.find(path[index]);
    if (it == map.end()) return;
    if (it->is_array()) {
        for (json& element : *it) resolve(element, path, index);
    } else {
        resolve(*it, path, index);
    }
}

void Includer::resolve(json& value, const std::vector<std::string>& path, std::size_t index) {
    if (objects::typeOf(value) == "Pointer") {
        if (auto target = objects::pointerTarget(value)) {
            if (const auto& object = load(target->className, target->objectId)) value = *object;
        }
    }
    if (index + 1 < path.size()) includeAt(value, path, index + 1);
}

const std::optional<json>& Includer::load(const std::string& className, const std::string& objectId) {
    auto key = std::make_pair(className, objectId);
    if (auto it = loaded_.find(key); it != loaded_.end()) return it->second;
    std::optional<json> object;
    auto stored = store_.load(className, objectId);
    if (stored && (caller_ == nullptr || caller_->may(accounts::Permission::Read, stored->fields))) {
        object = stored->toResult();
        (*object)["__type"] = "Object";
        (*object)["className"] = className;
    }
    return loaded_.emplace(std::move(key), std::move(object)).first->second;
}

}  // namespace vorn::emulator::query
