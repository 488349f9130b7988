#include "vorn/core/JsonAccess.h"

namespace vorn::jsonutil {

const nlohmann::json* member(const nlohmann::json& map, const char* key) {
    if (!map.is_object()) return nullptr;
    auto it = map.find(key);
    return it == map.end() || it->is_null() ? nullptr : &*it;
}

std::string textOf(const nlohmann::json& value) {
    return value.is_string() ? value.get<std::string>() : value.dump();
}

}  // namespace vorn::jsonutil
