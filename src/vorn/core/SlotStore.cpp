#include "vorn/core/SlotStore.h"

#include "vorn/core/FileUtils.h"

#include <cstdlib>

namespace vorn {

FileSlotStore::FileSlotStore(std::filesystem::path directory) : directory_(std::move(directory)) {}

std::filesystem::path FileSlotStore::defaultDirectory() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the library only reads the environment
    if (const char* explicitDirectory = std::getenv("VORN_SLOTS_DIR"); explicitDirectory && *explicitDirectory) {
        return explicitDirectory;
    }
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the library only reads the environment
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
        return std::filesystem::path(xdg) / "vorn" / "slots";
    if (const char* home = std::getenv("HOME"); home && *home) {  // NOLINT(concurrency-mt-unsafe): read only
        return std::filesystem::path(home) / ".local" / "share" / "vorn" / "slots";
    }
    return std::filesystem::temp_directory_path() / "vorn" / "slots";
}

std::filesystem::path FileSlotStore::fileFor(const std::string& name) const {
    // Slot names are the library's own ("label.slot.N"); keep any other name inside the folder.
    std::string safe = name;
    for (auto& ch : safe) {
        if (ch == '/' || ch == '\\' || ch == '\0') ch = '_';
    }
    if (safe == "." || safe == "..") safe = "_" + safe;
    return directory_ / safe;
}

bool FileSlotStore::exists(const std::string& name) {
    std::error_code ec;
    return std::filesystem::is_regular_file(fileFor(name), ec);
}

std::optional<std::string> FileSlotStore::read(const std::string& name) {
    // Slots are written by other applications: a record is small, anything larger is not one.
    return fileutils::readFile(fileFor(name), kMaxSlotBytes);
}

void FileSlotStore::create(const std::string& name) {
    if (!exists(name)) fileutils::writeFileAtomically(fileFor(name), "");
}

void FileSlotStore::write(const std::string& name, const std::string& contents) {
    fileutils::writeFileAtomically(fileFor(name), contents);
}

}  // namespace vorn
