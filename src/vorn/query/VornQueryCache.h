#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace vorn {

/// The local cache of find results: one file per query state in the
/// documents directory, holding the reply's raw "results" array as
/// encoded text, and a registry of every cache file written.
class VornQueryCache {
public:
    /// The clock of cache times.
    using Clock = std::chrono::system_clock;

    /// Name of the registry file in the documents directory.
    static constexpr const char* kRegistryName = "cacheArray.plist";

    /// The cache path of a query state: the MD5 of the descriptor's JSON
    /// text, then ".archive", in the documents directory.
    static std::filesystem::path pathFor(const nlohmann::json& descriptor);

    /// Whether a cache file exists at the path.
    static bool exists(const std::filesystem::path& path);
    /// Expired when strictly more than `maxCacheAge` seconds passed since
    /// the file was last written. A missing file is not expired.
    static bool isExpired(const std::filesystem::path& path, double maxCacheAge);
    /// The cached results array; empty when the file is missing or cannot
    /// be read, decoded or parsed as an array.
    static std::optional<nlohmann::json> read(const std::filesystem::path& path);
    /// Writes the results array and lists the path in the registry.
    static bool write(const std::filesystem::path& path, const nlohmann::json& results);
    /// Deletes the cache file, if there is one.
    static void remove(const std::filesystem::path& path);
    /// Deletes every listed cache file, then the registry.
    static void clearAll();
    /// The registry's paths.
    static std::vector<std::string> registry();

    /// The clock that expiry is judged by (tests set a fixed one).
    static void setClock(std::function<Clock::time_point()> clock);
    /// The current time of the cache clock (the system clock unless a test set one).
    static Clock::time_point now();
};

}  // namespace vorn
