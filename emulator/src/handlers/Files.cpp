// File uploads and downloads.
//   POST /7/files          data {"file": base64, "filename"}             -> {"filename", "group", "url"}
//   POST /7/mkfile         data {"file", "filename", "filesize"}         -> {"file": {...}} or {"ctx", "offset",
//   "host"} POST /7/mkfile/next    data {"file", "ctx", "offset"}                -> the same two forms GET, HEAD
//   /files/GROUP/NAME   the stored bytes (Range, If-None-Match), no app key
// "url" is "files/GROUP/NAME", relative to the download base http://HOST:PORT,
// or absolute when the server runs with absolute file URLs. "host" is the
// absolute URL of /7/mkfile/next on the address the request came in on.

#include <cstdint>
#include <limits>

#include "handlers/DataFields.h"
#include "handlers/Handlers.h"
#include "vorn_emulator/Files.h"
#include "vorn_emulator/Router.h"

namespace vorn::emulator {

namespace {

using nlohmann::json;

constexpr std::string_view kContinuePath = "/7/mkfile/next";
constexpr std::string_view kDownloadPrefix = "/files/";

std::uint64_t requireSize(const json& data, std::string_view key) {
    const std::int64_t value = fields::requireInteger(data, key);
    if (value < 0) {
        throw ServiceError(ErrorCode::InvalidFieldType,
                           "field \"" + std::string(key) + "\" in data must be a whole number >= 0");
    }
    return static_cast<std::uint64_t>(value);
}

std::string requireFileName(const json& data) {
    std::string name = requireStringField(data, "filename", "data");
    if (name.empty()) throw ServiceError(ErrorCode::InvalidFileName, "invalid file name: it is empty");
    return name;
}

// ---------------------------------------------------------------- downloads

HttpResponse notFound() {
    HttpResponse response;
    response.status = 404;
    response.contentType = "text/plain; charset=utf-8";
    response.body = "file not found\n";
    return response;
}

struct ByteRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;  // inclusive
};

std::optional<std::uint64_t> parseDecimal(std::string_view text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// One "bytes=" range against a file of `size` bytes. nullopt: serve the whole
// file (no, malformed or multiple ranges); a range with first > last:
// unsatisfiable.
enum class RangeKind { Whole, Partial, Unsatisfiable };
RangeKind parseRange(std::string_view header, std::uint64_t size, ByteRange& range) {
    header = trim(header);
    if (!header.starts_with("bytes=")) return RangeKind::Whole;
    std::string_view spec = trim(header.substr(6));
    if (spec.find(',') != std::string_view::npos) return RangeKind::Whole;
    const auto dash = spec.find('-');
    if (dash == std::string_view::npos) return RangeKind::Whole;
    const std::string_view a = trim(spec.substr(0, dash));
    const std::string_view b = trim(spec.substr(dash + 1));
    if (a.empty()) {
        const auto suffix = parseDecimal(b);
        if (!suffix) return RangeKind::Whole;
        if (*suffix == 0 || size == 0) return RangeKind::Unsatisfiable;
        range.first = *suffix >= size ? 0 : size - *suffix;
        range.last = size - 1;
        return RangeKind::Partial;
    }
    const auto first = parseDecimal(a);
    if (!first) return RangeKind::Whole;
    std::uint64_t last = size == 0 ? 0 : size - 1;
    if (!b.empty()) {
        const auto parsedLast = parseDecimal(b);
        if (!parsedLast || *parsedLast < *first) return RangeKind::Whole;
        last = std::min(last, *parsedLast);
    }
    if (*first >= size) return RangeKind::Unsatisfiable;
    range.first = *first;
    range.last = last;
    return RangeKind::Partial;
}

bool etagMatches(std::string_view header, std::string_view etag) {
    while (!header.empty()) {
        const auto comma = header.find(',');
        std::string_view item = trim(header.substr(0, comma));
        if (item.starts_with("W/")) item.remove_prefix(2);
        if (item == "*" || item == etag) return true;
        if (comma == std::string_view::npos) break;
        header.remove_prefix(comma + 1);
    }
    return false;
}

HttpResponse download(RequestContext& ctx, FileService& files) {
    // "/files/GROUP/NAME" and nothing else: no percent escapes, no further
    // segments, names of the safe alphabet only.
    const std::string& path = ctx.path();
    if (path.size() > 512 || !path.starts_with(kDownloadPrefix)) return notFound();
    const std::string_view rest = std::string_view(path).substr(kDownloadPrefix.size());
    const auto slash = rest.find('/');
    if (slash == std::string_view::npos) return notFound();
    const std::string_view group = rest.substr(0, slash);
    const std::string_view name = rest.substr(slash + 1);
    if (!isSafeNameComponent(group) || !isSafeNameComponent(name)) return notFound();
    const auto file = files.find(group, name);
    if (!file) return notFound();

    HttpResponse response;
    response.contentType = file->contentType;
    response.headers.emplace_back("ETag", file->etag);
    response.headers.emplace_back("Accept-Ranges", "bytes");
    response.headers.emplace_back("Cache-Control", "no-cache");
    if (auto ifNoneMatch = ctx.header("If-None-Match"); ifNoneMatch && etagMatches(*ifNoneMatch, file->etag)) {
        response.status = 304;
        return response;
    }
    auto bytes = files.read(*file);
    if (!bytes) return notFound();

    const auto size = static_cast<std::uint64_t>(bytes->size());
    ByteRange range;
    const auto rangeHeader = ctx.header("Range");
    const RangeKind kind = rangeHeader ? parseRange(*rangeHeader, size, range) : RangeKind::Whole;
    if (kind == RangeKind::Unsatisfiable) {
        response.status = 416;
        response.contentType = "text/plain; charset=utf-8";
        response.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
        response.body = "range not satisfiable\n";
        return response;
    }
    if (kind == RangeKind::Partial) {
        response.status = 206;
        response.headers.emplace_back("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                                           std::to_string(range.last) + "/" + std::to_string(size));
        response.body = bytes->substr(static_cast<std::size_t>(range.first),
                                      static_cast<std::size_t>(range.last - range.first + 1));
        return response;
    }
    response.status = 200;
    response.body = std::move(*bytes);
    return response;
}

}  // namespace

void registerFileHandlers(Router& router, FileService& files) {
    router.addEnvelope("/7/files", [&files](RequestContext& ctx) {
        const json& data = ctx.requireObject("data");
        const std::string name = requireFileName(data);
        std::string bytes = fields::decodeFileField(data, "file", kMaxFileSize, ErrorCode::FileTooLarge);
        return files.describe(files.store(name, bytes), ctx.baseUrl());
    });

    router.addEnvelope("/7/mkfile", [&files](RequestContext& ctx) {
        const json& data = ctx.requireObject("data");
        const std::string name = requireFileName(data);
        const std::uint64_t size = requireSize(data, "filesize");
        if (size > kMaxFileSize) throw ServiceError(ErrorCode::FileTooLarge);
        const std::string piece = fields::decodeFileField(data, "file", kPieceSize, ErrorCode::PieceTooLarge);
        return files.beginUpload(name, size, piece, ctx.baseUrl(), ctx.baseUrl() + std::string(kContinuePath));
    });

    router.addEnvelope(std::string(kContinuePath), [&files](RequestContext& ctx) {
        const json& data = ctx.requireObject("data");
        const std::string session = requireStringField(data, "ctx", "data");
        const std::uint64_t offset = requireSize(data, "offset");
        // The client sends an empty piece to ask for the result; no "file" is 104.
        std::string piece = fields::decodeFileField(data, "file", kPieceSize, ErrorCode::PieceTooLarge);
        return files.continueUpload(session, offset, piece, ctx.baseUrl());
    });

    auto get = [&files](RequestContext& ctx) { return download(ctx, files); };
    router.addRawPrefix("GET", std::string(kDownloadPrefix), get, /*checkAppKey=*/false);
    router.addRawPrefix("HEAD", std::string(kDownloadPrefix), get, /*checkAppKey=*/false);
}

}  // namespace vorn::emulator
