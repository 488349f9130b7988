#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace vorn {

/// Named persistent slots shared by every application of the user on this
/// machine (the device identifier keeps its redundant copies there).
class SlotStore {
public:
    virtual ~SlotStore() = default;
    /// Whether the slot exists (looking does not create it).
    virtual bool exists(const std::string& name) = 0;
    /// The slot's contents; empty when it does not exist or cannot be read.
    virtual std::optional<std::string> read(const std::string& name) = 0;
    /// Creates the slot when missing (empty) and keeps it.
    virtual void create(const std::string& name) = 0;
    /// Replaces the slot's contents.
    virtual void write(const std::string& name, const std::string& contents) = 0;
};

/// Slots as files of one folder, one file per slot named by the slot's
/// name, each written atomically. The default folder is
/// `$XDG_DATA_HOME/vorn/slots` (or `~/.local/share/vorn/slots`), or
/// `VORN_SLOTS_DIR` when set.
class FileSlotStore : public SlotStore {
public:
    /// A slot file larger than this reads as no record.
    static constexpr std::size_t kMaxSlotBytes = std::size_t{16} * 1024;

    /// Slots as files of `directory`.
    explicit FileSlotStore(std::filesystem::path directory);
    /// The default folder (see above).
    static std::filesystem::path defaultDirectory();

    bool exists(const std::string& name) override;
    std::optional<std::string> read(const std::string& name) override;
    void create(const std::string& name) override;
    void write(const std::string& name, const std::string& contents) override;

    /// The folder of the slot files.
    const std::filesystem::path& directory() const { return directory_; }

private:
    std::filesystem::path fileFor(const std::string& name) const;
    std::filesystem::path directory_;
};

}  // namespace vorn
