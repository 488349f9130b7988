#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vorn {

/// The file of eventual writes: one entry per line, each line the first
/// 16 hex digits of the SHA-256 of its JSON text, a space, the JSON text
/// and a newline. Lines are only appended, each with one write (flushed to
/// disk before `append` returns, unless asked not to), so a process killed at any moment
/// leaves whole lines and at most one torn last line, which the checksum
/// (or its missing newline) gives away. Rewrites (compaction) go through a
/// temporary file renamed over the journal.
///
/// Not thread-safe: its owner serializes the calls.
class EventuallyJournal {
public:
    /// What a journal holds when read.
    struct Contents {
        /// The entries of the whole lines whose checksum holds, in order.
        std::vector<nlohmann::json> entries;
        /// Whole lines that are not entries (bad checksum, not a JSON
        /// object); a torn last line is not among them.
        std::vector<std::string> unreadable;
        /// Whether the last line was torn.
        bool tornTail = false;
    };

    /// The journal in `file`; nothing is read or opened yet.
    explicit EventuallyJournal(std::filesystem::path file);
    ~EventuallyJournal();
    EventuallyJournal(const EventuallyJournal&) = delete;
    EventuallyJournal& operator=(const EventuallyJournal&) = delete;

    /// The journal's path.
    const std::filesystem::path& file() const { return file_; }

    /// Reads the journal (at most `maxBytes`; a longer one is read as far as
    /// that). A missing file is an empty journal.
    Contents read(std::uint64_t maxBytes) const;
    /// Appends one entry, with one write, and with `flush` waits until it is
    /// on disk. Without it the entry survives the process being killed, not
    /// the machine losing power. False when it could not be written whole
    /// (the journal is then reopened on the next call).
    bool append(const nlohmann::json& entry, bool flush = true);
    /// Replaces the journal with these entries, atomically.
    bool rewrite(const std::vector<nlohmann::json>& entries);
    /// Keeps lines the library cannot read in "<journal>.rejected", appended.
    void setAside(const std::vector<std::string>& lines) const;

    /// The line `entry` is written as, newline included.
    static std::string lineOf(const nlohmann::json& entry);

private:
    bool open();
    void close();

    std::filesystem::path file_;
    int fd_ = -1;
};

}  // namespace vorn
