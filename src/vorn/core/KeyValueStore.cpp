#include "vorn/core/KeyValueStore.h"

#include "vorn/core/FileUtils.h"
#include "vorn/core/JsonAccess.h"

namespace vorn {

std::optional<std::string> KeyValueStore::stringForKey(const std::string& key) const {
    auto value = objectForKey(key);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

bool KeyValueStore::boolForKey(const std::string& key) const {
    auto value = objectForKey(key);
    if (!value) return false;
    if (value->is_boolean()) return value->get<bool>();
    if (value->is_number()) return value->get<double>() != 0;
    if (value->is_string()) {
        const auto text = value->get<std::string>();
        return text == "YES" || text == "yes" || text == "true" || (!text.empty() && std::atoi(text.c_str()) != 0);
    }
    return false;
}

std::optional<nlohmann::json> MemoryKeyValueStore::objectForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

void MemoryKeyValueStore::setObject(const nlohmann::json& value, const std::string& key) {
    if (value.is_null()) return removeObjectForKey(key);
    std::lock_guard lock(mutex_);
    values_[key] = value;
}

void MemoryKeyValueStore::removeObjectForKey(const std::string& key) {
    std::lock_guard lock(mutex_);
    values_.erase(key);
}

FileKeyValueStore::FileKeyValueStore(std::filesystem::path file) : file_(std::move(file)) {
    values_ = nlohmann::json::object();
    if (auto text = fileutils::readFile(file_)) {
        auto parsed = jsonutil::parse(*text);
        if (parsed.is_object()) values_ = std::move(parsed);
    }
}

std::optional<nlohmann::json> FileKeyValueStore::objectForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return *it;
}

void FileKeyValueStore::setObject(const nlohmann::json& value, const std::string& key) {
    if (value.is_null()) return removeObjectForKey(key);
    std::lock_guard lock(mutex_);
    values_[key] = value;
    persistLocked();
}

void FileKeyValueStore::removeObjectForKey(const std::string& key) {
    std::lock_guard lock(mutex_);
    if (values_.erase(key) > 0) persistLocked();
}

void FileKeyValueStore::persistLocked() const {
    fileutils::writeFileAtomically(file_, values_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace vorn
