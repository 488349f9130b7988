#include "vorn/query/VornQueryCache.h"

#include "vorn/core/DeviceContext.h"
#include "vorn/core/FileUtils.h"
#include "vorn/core/JsonAccess.h"
#include "vorn/core/v_VornUtils.h"

#include <algorithm>
#include <mutex>

namespace vorn {
namespace {

std::mutex clockMutex;
std::function<VornQueryCache::Clock::time_point()> currentClock;

// One writer of the registry at a time within the process.
std::mutex registryMutex;

std::filesystem::path registryPath() {
    return DeviceContext::shared().documentsDirectory() / VornQueryCache::kRegistryName;
}

std::vector<std::string> readRegistry() {
    auto text = fileutils::readFile(registryPath());
    if (!text) return {};
    auto parsed = jsonutil::parse(*text);
    std::vector<std::string> paths;
    if (!parsed.is_array()) return paths;
    for (const auto& entry : parsed) {
        if (entry.is_string()) paths.push_back(entry.get<std::string>());
    }
    return paths;
}

/// The text of a file holding one JSON string. The encoded text a cache
/// file holds needs no escapes, so that form is taken as it is; any other
/// is left to the JSON parser.
std::optional<std::string> archivedText(const std::string& contents) {
    const auto plain = [](char c) { return c >= 0x20 && c <= 0x7E && c != '"' && c != '\\'; };
    if (contents.size() >= 2 && contents.front() == '"' && contents.back() == '"' &&
        std::all_of(contents.begin() + 1, contents.end() - 1, plain)) {
        return contents.substr(1, contents.size() - 2);
    }
    auto archived = jsonutil::parse(contents);
    if (!archived.is_string()) return std::nullopt;
    return archived.get<std::string>();
}

}  // namespace

void VornQueryCache::setClock(std::function<Clock::time_point()> clock) {
    std::lock_guard lock(clockMutex);
    currentClock = std::move(clock);
}

VornQueryCache::Clock::time_point VornQueryCache::now() {
    std::lock_guard lock(clockMutex);
    return currentClock ? currentClock() : Clock::now();
}

std::filesystem::path VornQueryCache::pathFor(const nlohmann::json& descriptor) {
    const auto text = v_VornUtils::stringOfJson(descriptor).value_or(descriptor.dump());
    return DeviceContext::shared().documentsDirectory() / (v_VornUtils::md5WithString(text) + ".archive");
}

bool VornQueryCache::exists(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

bool VornQueryCache::isExpired(const std::filesystem::path& path, double maxCacheAge) {
    std::error_code ec;
    const auto written = std::filesystem::last_write_time(path, ec);
    if (ec) return false;
    const auto writtenAt = std::chrono::file_clock::to_sys(written);
    const std::chrono::duration<double> elapsed = now() - writtenAt;
    return elapsed.count() > maxCacheAge;
}

std::optional<nlohmann::json> VornQueryCache::read(const std::filesystem::path& path) {
    auto contents = fileutils::readFile(path);
    if (!contents) return std::nullopt;
    // The file holds one JSON string: the encoded text of the results.
    auto archived = archivedText(*contents);
    if (!archived) return std::nullopt;
    auto text = v_VornUtils::decodeBase64String(*archived);
    if (!text) return std::nullopt;
    auto results = jsonutil::parse(*text);
    if (!results.is_array()) return std::nullopt;
    return results;
}

bool VornQueryCache::write(const std::filesystem::path& path, const nlohmann::json& results) {
    auto text = v_VornUtils::stringOfJson(results);
    if (!text) return false;
    auto encoded = v_VornUtils::encodeBase64String(*text);
    if (!encoded) return false;
    if (!fileutils::writeFileAtomically(path, nlohmann::json(*encoded).dump())) return false;

    std::lock_guard lock(registryMutex);
    auto paths = readRegistry();
    if (std::find(paths.begin(), paths.end(), path.string()) == paths.end()) {
        paths.push_back(path.string());
        fileutils::writeFileAtomically(registryPath(), nlohmann::json(paths).dump(2));
    }
    return true;
}

void VornQueryCache::remove(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
}

std::vector<std::string> VornQueryCache::registry() {
    std::lock_guard lock(registryMutex);
    return readRegistry();
}

void VornQueryCache::clearAll() {
    std::lock_guard lock(registryMutex);
    if (!exists(registryPath())) return;
    const auto documents = DeviceContext::shared().documentsDirectory();
    for (const std::filesystem::path path : readRegistry()) {
        // Only cache files of the documents directory are ever deleted, whatever the registry says.
        if (path.parent_path() != documents || path.extension() != ".archive") continue;
        std::error_code ec;  // a file that cannot be deleted is skipped
        std::filesystem::remove(path, ec);
    }
    std::error_code ec;
    std::filesystem::remove(registryPath(), ec);
}

}  // namespace vorn
