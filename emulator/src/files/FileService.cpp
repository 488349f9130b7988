#include "vorn_emulator/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "AtomicFile.h"
#include "accounts/Passwords.h"
#include "vorn_emulator/DateText.h"
#include "vorn_emulator/ServiceError.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator {

namespace {

using nlohmann::json;

constexpr std::size_t kStoredNameRandomBytes = 16;
constexpr std::size_t kMaxExtensionLength = 8;
constexpr std::size_t kCtxBytes = 16;

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The extension of a name, lower-cased, when it is 1 to 8 letters and digits.
std::string safeExtension(std::string_view name) {
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 >= name.size()) return {};
    const std::string_view ext = name.substr(dot + 1);
    if (ext.size() > kMaxExtensionLength) return {};
    std::string out;
    for (char c : ext) {
        const char l = lower(c);
        if (!((l >= 'a' && l <= 'z') || (l >= '0' && l <= '9'))) return {};
        out += l;
    }
    return out;
}

std::string lastPathComponent(std::string_view name) {
    const auto slash = name.find_last_of("/\\");
    return std::string(slash == std::string_view::npos ? name : name.substr(slash + 1));
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string out;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
        if (out.size() > kMaxFileSize) break;  // not one of ours
    }
    ::close(fd);
    return out;
}

// Appends `piece` to `bytes`, which never grow beyond `limit` bytes of
// memory: a larger buffer is allocated at the size wanted (doubling, but
// at most `limit`), not by the string's own growth, which may overshoot.
void appendWithin(std::string& bytes, std::string_view piece, std::size_t limit) {
    const std::size_t needed = bytes.size() + piece.size();
    if (needed > bytes.capacity()) {
        std::string grown;
        grown.reserve(std::max(needed, std::min(limit, 2 * bytes.size())));
        grown.append(bytes);
        bytes.swap(grown);
    }
    bytes.append(piece);
}

StoredFile fileFromRow(const SqlRow& row) {
    StoredFile file;
    file.group = row.at(0).asText();
    file.name = row.at(1).asText();
    file.originalName = row.at(2).asText();
    file.size = row.at(3).asInt();
    file.contentType = row.at(4).asText();
    file.etag = row.at(5).asText();
    file.createdMs = row.at(6).asInt();
    return file;
}

constexpr std::string_view kSelectFile =
    "SELECT group_name, stored_name, original_name, size, content_type, etag, created_ms FROM files";

}  // namespace

// ---------------------------------------------------------------- helpers

std::string StoredFile::relativeUrl() const {
    return "files/" + group + "/" + name;
}

std::string contentTypeForName(std::string_view name) {
    const std::string ext = safeExtension(name);
    if (ext == "png") return "image/png";
    if (ext == "jpg" || ext == "jpeg") return "image/jpeg";
    if (ext == "gif") return "image/gif";
    if (ext == "webp") return "image/webp";
    if (ext == "txt") return "text/plain; charset=utf-8";
    if (ext == "json") return "application/json";
    if (ext == "pdf") return "application/pdf";
    return "application/octet-stream";
}

bool isSafeNameComponent(std::string_view component) {
    if (component.empty() || component.size() > 128 || component.front() == '.') return false;
    return std::all_of(component.begin(), component.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '-';
    });
}

// ---------------------------------------------------------------- sessions

struct FileService::Session {
    std::string originalName;
    std::uint64_t fileSize = 0;
    std::string bytes;  // received so far; released when finished
    std::uint64_t received = 0;
    // The last accepted piece and what it was answered, for repeats.
    std::uint64_t lastOffset = 0;
    std::string lastPieceHash;
    json lastReply;
    bool finished = false;
    Clock::time_point lastUsed;
};

FileService::FileService(Storage& storage, Options options)
    : storage_(storage), options_(options), clock_([] { return Clock::now(); }) {}

FileService::~FileService() = default;

void FileService::setClock(std::function<Clock::time_point()> now) {
    clock_ = now ? std::move(now) : [] { return Clock::now(); };
}

FileService::Clock::time_point FileService::now() const {
    return clock_();
}

// ---------------------------------------------------------------- stored files

void FileService::writeBytes(const StoredFile& file, const std::string& bytes) {
    if (storage_.inMemory()) {
        memoryBytes_[file.group + "/" + file.name] = std::make_shared<const std::string>(bytes);
        return;
    }
    const auto dir = storage_.filesDir() / file.group;
    std::filesystem::create_directories(dir);
    writeFileAtomically(dir / file.name, bytes);
}

StoredFile FileService::store(std::string_view originalName, const std::string& bytes) {
    std::string original = lastPathComponent(originalName);
    if (original.empty()) {
        throw ServiceError(ErrorCode::InvalidFileName, "invalid file name: it is empty");
    }
    if (original.size() > kMaxOriginalNameBytes) {
        throw ServiceError(ErrorCode::InvalidFileName,
                           "invalid file name: longer than " + std::to_string(kMaxOriginalNameBytes) + " bytes");
    }
    if (original.find('\0') != std::string::npos) {
        throw ServiceError(ErrorCode::InvalidFileName, "invalid file name: it contains a NUL character");
    }
    if (bytes.size() > kMaxFileSize) throw ServiceError(ErrorCode::FileTooLarge);

    StoredFile file;
    file.group = std::string(kFileGroup);
    const std::string ext = safeExtension(original);
    file.originalName = std::move(original);
    file.size = static_cast<std::int64_t>(bytes.size());
    file.etag = "\"" + accounts::sha256Hex(bytes).substr(0, 32) + "\"";
    file.createdMs = epochMillis(vorn::emulator::Clock::now());
    for (int attempt = 0;; ++attempt) {
        file.name = accounts::randomHex(kStoredNameRandomBytes) + (ext.empty() ? "" : "." + ext);
        if (!find(file.group, file.name)) break;
        if (attempt > 8) throw std::runtime_error("cannot pick a fresh stored file name");
    }
    file.contentType = contentTypeForName(file.name);

    // Bytes first: a failure in between leaves an unlisted file, never a row
    // without its bytes.
    writeBytes(file, bytes);
    try {
        storage_.execute(
            "INSERT INTO files (group_name, stored_name, original_name, size, content_type, etag, created_ms) "
            "VALUES (?, ?, ?, ?, ?, ?, ?)",
            {file.group, file.name, file.originalName, file.size, file.contentType, file.etag, file.createdMs});
    } catch (...) {
        if (storage_.inMemory()) {
            memoryBytes_.erase(file.group + "/" + file.name);
        } else {
            std::error_code ignored;
            std::filesystem::remove(storage_.filesDir() / file.group / file.name, ignored);
        }
        throw;
    }
    return file;
}

std::size_t FileService::removeAll() {
    const std::vector<StoredFile> files = list();
    storage_.execute("DELETE FROM files");
    for (const StoredFile& file : files) {
        if (storage_.inMemory()) {
            memoryBytes_.erase(file.group + "/" + file.name);
        } else {
            std::error_code ignored;
            std::filesystem::remove(storage_.filesDir() / file.group / file.name, ignored);
        }
    }
    return files.size();
}

std::optional<StoredFile> FileService::find(std::string_view group, std::string_view name) {
    if (!isSafeNameComponent(group) || !isSafeNameComponent(name)) return std::nullopt;
    auto row = storage_.queryOne(std::string(kSelectFile) + " WHERE group_name = ? AND stored_name = ?", {group, name});
    if (!row) return std::nullopt;
    return fileFromRow(*row);
}

std::optional<std::string> FileService::read(const StoredFile& file) {
    if (!isSafeNameComponent(file.group) || !isSafeNameComponent(file.name)) return std::nullopt;
    if (storage_.inMemory()) {
        auto it = memoryBytes_.find(file.group + "/" + file.name);
        if (it == memoryBytes_.end()) return std::nullopt;
        return *it->second;
    }
    return readWholeFile(storage_.filesDir() / file.group / file.name);
}

std::vector<StoredFile> FileService::list() {
    std::vector<StoredFile> files;
    for (const auto& row : storage_.query(std::string(kSelectFile) + " ORDER BY created_ms, stored_name")) {
        files.push_back(fileFromRow(row));
    }
    return files;
}

json FileService::describe(const StoredFile& file, std::string_view baseUrl) const {
    std::string url = file.relativeUrl();
    if (options_.absoluteUrls) url = std::string(baseUrl) + "/" + url;
    return json{{"filename", file.originalName}, {"group", file.group}, {"url", std::move(url)}};
}

// ---------------------------------------------------------------- uploads

void FileService::sweep() {
    const auto current = now();
    std::vector<std::pair<Clock::time_point, std::string>> finished;
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (current - it->second->lastUsed > options_.sessionIdleTime) {
            it = sessions_.erase(it);
            continue;
        }
        if (it->second->finished) finished.emplace_back(it->second->lastUsed, it->first);
        ++it;
    }
    if (finished.size() > options_.maxFinishedSessions) {
        std::sort(finished.begin(), finished.end());
        const std::size_t excess = finished.size() - options_.maxFinishedSessions;
        for (std::size_t i = 0; i < excess; ++i) sessions_.erase(finished[i].second);
    }
}

std::size_t FileService::sessionBytesHeld() const {
    std::size_t held = 0;
    for (const auto& entry : sessions_) held += entry.second->bytes.capacity();
    return held;
}

std::size_t FileService::openSessionCount() {
    sweep();
    return static_cast<std::size_t>(
        std::count_if(sessions_.begin(), sessions_.end(), [](const auto& entry) { return !entry.second->finished; }));
}

json FileService::beginUpload(std::string_view originalName, std::uint64_t fileSize, const std::string& piece,
                              std::string_view baseUrl, const std::string& continueUrl) {
    if (fileSize > kMaxFileSize) throw ServiceError(ErrorCode::FileTooLarge);
    if (piece.size() > kPieceSize) throw ServiceError(ErrorCode::PieceTooLarge);
    if (piece.size() > fileSize) {
        throw ServiceError(ErrorCode::UploadSizeMismatch,
                           "upload does not match the announced file size: the piece has " +
                               std::to_string(piece.size()) + " bytes, the file " + std::to_string(fileSize));
    }
    if (fileSize <= kPieceSize) {
        if (piece.size() != fileSize) {
            throw ServiceError(ErrorCode::UploadSizeMismatch,
                               "upload does not match the announced file size: a file of " + std::to_string(fileSize) +
                                   " bytes goes in one piece, this one has " + std::to_string(piece.size()));
        }
        return json{{"file", describe(store(originalName, piece), baseUrl)}};
    }

    // Check the name now rather than after 10 MiB of pieces.
    const std::string original = lastPathComponent(originalName);
    if (original.empty() || original.size() > kMaxOriginalNameBytes || original.find('\0') != std::string::npos) {
        throw ServiceError(ErrorCode::InvalidFileName);
    }
    if (openSessionCount() >= options_.maxOpenSessions) {
        throw ServiceError(ErrorCode::TooManyUploadSessions,
                           "too many open upload sessions: at most " + std::to_string(options_.maxOpenSessions));
    }

    auto session = std::make_unique<Session>();
    session->originalName = original;
    session->fileSize = fileSize;
    session->lastOffset = 0;
    session->lastPieceHash = accounts::sha256Hex(piece);
    session->received = piece.size();
    appendWithin(session->bytes, piece, static_cast<std::size_t>(fileSize));
    session->lastUsed = now();
    std::string ctx;
    do {
        ctx = accounts::randomHex(kCtxBytes);
    } while (sessions_.count(ctx) != 0);
    session->lastReply = json{{"ctx", ctx}, {"offset", session->received}, {"host", continueUrl}};
    json reply = session->lastReply;
    sessions_.emplace(ctx, std::move(session));
    return reply;
}

json FileService::continueUpload(std::string_view ctx, std::uint64_t offset, const std::string& piece,
                                 std::string_view baseUrl) {
    sweep();
    auto it = sessions_.find(std::string(ctx));
    if (it == sessions_.end()) throw ServiceError(ErrorCode::UploadSessionNotFound);
    Session& session = *it->second;
    session.lastUsed = now();

    // A repeat of the last accepted piece (the client did not get our answer).
    if (offset == session.lastOffset && accounts::sha256Hex(piece) == session.lastPieceHash) {
        return session.lastReply;
    }
    if (session.finished) {
        // Everything is in: an empty piece at the end asks for the result again.
        if (piece.empty() && offset == session.received) return session.lastReply;
        throw ServiceError(ErrorCode::UploadOffsetMismatch,
                           "upload offset does not match the bytes received: the upload is complete at " +
                               std::to_string(session.received) + " bytes");
    }
    if (offset != session.received) {
        throw ServiceError(ErrorCode::UploadOffsetMismatch,
                           "upload offset does not match the bytes received: expected " +
                               std::to_string(session.received) + ", got " + std::to_string(offset));
    }
    if (piece.size() > kPieceSize) throw ServiceError(ErrorCode::PieceTooLarge);
    if (session.received + piece.size() > session.fileSize) {
        throw ServiceError(
            ErrorCode::UploadSizeMismatch,
            "upload does not match the announced file size: " + std::to_string(session.received + piece.size()) +
                " bytes would exceed the announced " + std::to_string(session.fileSize));
    }
    if (piece.empty()) return session.lastReply;  // nothing new; same answer

    const std::string hash = accounts::sha256Hex(piece);
    if (session.received + piece.size() == session.fileSize) {
        appendWithin(session.bytes, piece, static_cast<std::size_t>(session.fileSize));
        json reply;
        try {
            reply = json{{"file", describe(store(session.originalName, session.bytes), baseUrl)}};
        } catch (...) {
            session.bytes.resize(static_cast<std::size_t>(session.received));  // the piece may come again
            throw;
        }
        session.bytes = std::string();
        session.bytes.shrink_to_fit();
        session.finished = true;
        session.lastOffset = offset;
        session.lastPieceHash = hash;
        session.received = session.fileSize;
        session.lastReply = reply;
        return reply;
    }
    appendWithin(session.bytes, piece, static_cast<std::size_t>(session.fileSize));
    session.lastOffset = offset;
    session.lastPieceHash = hash;
    session.received += piece.size();
    session.lastReply["offset"] = session.received;
    return session.lastReply;
}

}  // namespace vorn::emulator
