#pragma once

#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace vorn {

/// The application's persistent key-value store (the defaults store).
/// Values are JSON: strings, booleans, numbers and maps. Safe to use from
/// any thread.
class KeyValueStore {
public:
    virtual ~KeyValueStore() = default;

    /// The value stored under `key`, or empty when there is none.
    virtual std::optional<nlohmann::json> objectForKey(const std::string& key) const = 0;
    /// Stores `value` under `key`; a JSON null removes the key.
    virtual void setObject(const nlohmann::json& value, const std::string& key) = 0;
    /// Removes the value under `key`, if any.
    virtual void removeObjectForKey(const std::string& key) = 0;

    /// The string under `key`, or empty when absent or not a string.
    std::optional<std::string> stringForKey(const std::string& key) const;
    /// The boolean under `key` (numbers count as booleans); false when absent.
    bool boolForKey(const std::string& key) const;
    /// Whether a value is stored under `key`.
    bool hasKey(const std::string& key) const { return objectForKey(key).has_value(); }
};

/// A store kept in memory only, for tests and tools.
class MemoryKeyValueStore : public KeyValueStore {
public:
    std::optional<nlohmann::json> objectForKey(const std::string& key) const override;
    void setObject(const nlohmann::json& value, const std::string& key) override;
    /// Removes the value under `key`, if any.
    void removeObjectForKey(const std::string& key) override;

private:
    mutable std::mutex mutex_;
    std::map<std::string, nlohmann::json> values_;
};

/// The default store: one JSON file, read once when the store is created and
/// rewritten atomically after every change. A file that cannot be parsed
/// reads as an empty store.
class FileKeyValueStore : public KeyValueStore {
public:
    /// A store kept in `file`, read now.
    explicit FileKeyValueStore(std::filesystem::path file);

    std::optional<nlohmann::json> objectForKey(const std::string& key) const override;
    void setObject(const nlohmann::json& value, const std::string& key) override;
    /// Removes the value under `key`, if any, and rewrites the file.
    void removeObjectForKey(const std::string& key) override;

    /// The file the store is kept in.
    const std::filesystem::path& file() const { return file_; }

private:
    void persistLocked() const;

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    nlohmann::json values_;
};

}  // namespace vorn
