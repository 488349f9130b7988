#pragma once

// Stored files and sharded uploads.
//
// A stored file has a generated name (32 hex digits plus the lower-cased
// extension of the name it was uploaded under), a group ("group1") and the
// original name, kept for display. Its metadata is a row of the "files"
// table; its bytes are <dataDir>/files/<group>/<name>, written to a temporary
// name, flushed and renamed. In memory mode the bytes stay in memory.
//
// Downloads are "GET /files/<group>/<name>" of this server, so a file's URL
// relative to the download base "http://HOST:PORT" is "files/<group>/<name>".
//
// A FileService is not thread-safe: the server uses it from its own thread;
// tests reach it through Server::call().

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

namespace vorn::emulator {

class Storage;

inline constexpr std::size_t kMaxFileSize = 10485760;  // 10 MiB, the largest stored file
inline constexpr std::size_t kPieceSize = 262144;      // 256 KiB, the largest upload piece
inline constexpr std::size_t kMaxOriginalNameBytes = 255;
inline constexpr std::string_view kFileGroup = "group1";

struct StoredFile {
    std::string name;  // generated, unique, safe as a path component
    std::string group;
    std::string originalName;  // as uploaded (last path component), for display
    std::int64_t size = 0;
    std::string contentType;  // from the extension of `name`
    std::string etag;         // quoted, e.g. "\"3f2a...\""
    std::int64_t createdMs = 0;

    // "files/<group>/<name>", relative to the download base.
    std::string relativeUrl() const;
};

// Content type for a file name's extension (png, jpg/jpeg, gif, webp, txt,
// json, pdf; anything else application/octet-stream).
std::string contentTypeForName(std::string_view name);

// True when `component` may be a group or stored name: 1 to 128 bytes of
// [A-Za-z0-9._-], not starting with '.'.
bool isSafeNameComponent(std::string_view component);

class FileService {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        bool absoluteUrls = false;  // reply URLs "http://HOST:PORT/files/..." instead of "files/..."
        std::chrono::milliseconds sessionIdleTime = std::chrono::minutes(10);
        std::size_t maxOpenSessions = 64;       // unfinished upload sessions at a time
        std::size_t maxFinishedSessions = 256;  // finished ones remembered for repeated pieces
    };

    FileService(Storage& storage, Options options);
    ~FileService();
    FileService(const FileService&) = delete;
    FileService& operator=(const FileService&) = delete;

    // Stores bytes under a new generated name. `originalName` is reduced to
    // its last path component; empty or longer than kMaxOriginalNameBytes
    // throws ServiceError InvalidFileName, more than kMaxFileSize bytes
    // FileTooLarge.
    StoredFile store(std::string_view originalName, const std::string& bytes);

    std::optional<StoredFile> find(std::string_view group, std::string_view name);
    // The bytes of a stored file; nullopt when it is gone.
    std::optional<std::string> read(const StoredFile& file);
    std::vector<StoredFile> list();
    // Removes every stored file, its row and its bytes; returns how many.
    std::size_t removeAll();

    // The reply map of a stored file: {"filename", "group", "url"}. The URL is
    // relative unless absoluteUrls() (then baseUrl + "/" + relative).
    nlohmann::json describe(const StoredFile& file, std::string_view baseUrl) const;

    bool absoluteUrls() const { return options_.absoluteUrls; }
    void setAbsoluteUrls(bool on) { options_.absoluteUrls = on; }
    std::chrono::milliseconds sessionIdleTime() const { return options_.sessionIdleTime; }
    void setSessionIdleTime(std::chrono::milliseconds idle) { options_.sessionIdleTime = idle; }
    // The clock of session expiry (tests move it instead of sleeping).
    void setClock(std::function<Clock::time_point()> now);

    // ---- sharded uploads (/7/mkfile)

    // The first piece of an upload announced as `fileSize` bytes. Small files
    // are stored at once: {"file": describe(...)}. Larger ones open a session:
    // {"ctx", "offset", "host": continueUrl}.
    nlohmann::json beginUpload(std::string_view originalName, std::uint64_t fileSize, const std::string& piece,
                               std::string_view baseUrl, const std::string& continueUrl);
    // A further piece of session `ctx` at `offset`. A repeat of the last
    // accepted piece (same offset, same bytes) answers what it answered then.
    nlohmann::json continueUpload(std::string_view ctx, std::uint64_t offset, const std::string& piece,
                                  std::string_view baseUrl);

    std::size_t openSessionCount();  // unfinished, unexpired
    // The memory the sessions hold for their bytes (allocated, not only
    // used): at most each one's announced size.
    std::size_t sessionBytesHeld() const;

private:
    struct Session;

    void sweep();
    Clock::time_point now() const;
    void writeBytes(const StoredFile& file, const std::string& bytes);

    Storage& storage_;
    Options options_;
    std::function<Clock::time_point()> clock_;
    std::unordered_map<std::string, std::unique_ptr<Session>> sessions_;
    std::unordered_map<std::string, std::shared_ptr<const std::string>> memoryBytes_;  // memory mode
};

}  // namespace vorn::emulator
