#pragma once

#include <nlohmann/json.hpp>

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

namespace vorn {

/// The current user on this device: the archive file "current.archive"
/// in the documents directory, and the session token in the key-value
/// store. Every read and write here is serialised, so callbacks on the
/// main loop and readers on other threads never see half of a change.
class VornUserArchive {
public:
    /// The archive's content: the user's fields, or (read only) the older
    /// text form, base64 text of {"r": {"data": fields}}.
    struct Content {
        /// The user's fields.
        nlohmann::json fields;
        /// Whether the archive was in the older text form.
        bool textForm = false;
    };

    /// Holds the archive's lock: a read-modify-write (or a log-in that
    /// writes archive and token) under it is one step, so a `logout` on
    /// another thread comes wholly before or wholly after it.
    static std::unique_lock<std::recursive_mutex> transaction();

    /// The archive file, "current.archive" in the documents directory.
    static std::filesystem::path path();
    /// The archive, or empty when there is none or it cannot be read.
    static std::optional<Content> read();
    /// The archived fields whatever the form (the text form's "r"."data"),
    /// or empty.
    static std::optional<nlohmann::json> readFields();
    /// Writes the fields in map form, atomically; a "password" is never written.
    static bool write(const nlohmann::json& fields);
    /// Deletes the archive file, if there is one.
    static void remove();

    /// Stores the session token (a JSON value is stored as its text); no
    /// token (absent or null) removes the stored one.
    static void storeSessionToken(const nlohmann::json& token);
    /// Removes the stored session token.
    static void removeSessionToken();

    /// Applies sent changes to archived fields: operators are worked out
    /// against the archived values where possible ("Delete" removes the
    /// key from both maps), then every remaining entry is stored, with
    /// "authData" merged entry by entry.
    static void applyChanges(nlohmann::json& archived, nlohmann::json sent);
};

}  // namespace vorn
