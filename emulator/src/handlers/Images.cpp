// Image processing of stored files, with libvips.
//   POST /7/thumbnail  data {"mode", "width", "height", "longEdge", "shortEdge", "quality", "image", "outType"}
//   POST /7/watermark  data {"image", "watermark", "dissolve", "gravity", "distanceX", "distanceY", "quality",
//                            "outType"}
// "image" and "watermark" name files stored here ("files/G/N", "/files/G/N" or
// "http(s)://LOOPBACK[:PORT]/files/G/N"); nothing is ever fetched from elsewhere.
// Replies by "outType": 0 {"filename", "group", "url" (always relative)};
// 1 {"file": base64 of the result}; 2 like 0 plus "file": the absolute URL.

#include <boost/asio/ip/address.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "files/Base64.h"
#include "handlers/DataFields.h"
#include "handlers/Handlers.h"
#include "images/Vips.h"
#include "vorn_emulator/Files.h"
#include "vorn_emulator/Router.h"

namespace vorn::emulator {

namespace {

using images::Image;
using nlohmann::json;

constexpr std::int64_t kMaxSide = 8192;          // largest requested or produced side
constexpr std::int64_t kMaxPixels = 40'000'000;  // largest decoded source or result
constexpr int kDefaultQuality = 80;

enum class Format { Png, Jpeg, Webp, Gif };

// By the leading bytes; only these four formats are accepted.
std::optional<Format> sniff(std::string_view bytes) {
    if (bytes.size() >= 8 && bytes.substr(0, 8) == std::string_view("\x89PNG\r\n\x1a\n", 8)) return Format::Png;
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xFF\xD8\xFF") return Format::Jpeg;
    if (bytes.size() >= 6 && (bytes.substr(0, 6) == "GIF87a" || bytes.substr(0, 6) == "GIF89a")) return Format::Gif;
    if (bytes.size() >= 12 && bytes.substr(0, 4) == "RIFF" && bytes.substr(8, 4) == "WEBP") return Format::Webp;
    return std::nullopt;
}

std::string_view extensionOf(Format format) {
    switch (format) {
        case Format::Jpeg:
            return "jpg";
        case Format::Webp:
            return "webp";
        default:
            return "png";  // GIF results are PNG
    }
}

// ---------------------------------------------------------------- sources

// "files/G/N", "/files/G/N" or "http(s)://LOOPBACK[:PORT]/files/G/N" -> (G, N).
std::optional<std::pair<std::string, std::string>> parseStoredFileUrl(std::string_view url) {
    if (url.size() > 1024) return std::nullopt;
    std::string_view path;
    const std::size_t schemeLength = url.starts_with("http://") ? 7 : url.starts_with("https://") ? 8 : 0;
    if (schemeLength > 0) {
        const std::string_view rest = url.substr(schemeLength);
        const auto slash = rest.find('/');
        if (slash == std::string_view::npos) return std::nullopt;
        std::string_view authority = rest.substr(0, slash);
        path = rest.substr(slash);
        std::string_view host = authority;
        std::string_view port;
        if (authority.starts_with("[")) {
            const auto close = authority.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            host = authority.substr(1, close - 1);
            const std::string_view after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after.front() != ':') return std::nullopt;
                port = after.substr(1);
                if (port.empty()) return std::nullopt;
            }
        } else if (const auto colon = authority.rfind(':'); colon != std::string_view::npos) {
            host = authority.substr(0, colon);
            port = authority.substr(colon + 1);
            if (port.empty()) return std::nullopt;
        }
        if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        if (host != "localhost") {
            boost::system::error_code ec;
            const auto address = boost::asio::ip::make_address(std::string(host), ec);
            if (ec || !address.is_loopback()) return std::nullopt;
        }
    } else if (url.starts_with("/files/") || url.starts_with("files/")) {
        path = url;
    } else {
        return std::nullopt;
    }
    if (path.starts_with("/")) path.remove_prefix(1);
    if (!path.starts_with("files/")) return std::nullopt;
    path.remove_prefix(6);
    const auto slash = path.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::string_view group = path.substr(0, slash);
    const std::string_view name = path.substr(slash + 1);
    if (!isSafeNameComponent(group) || !isSafeNameComponent(name)) return std::nullopt;
    return std::make_pair(std::string(group), std::string(name));
}

struct Source {
    StoredFile file;
    std::string bytes;  // must outlive every image made from it
    Format format = Format::Png;
};

Source loadSource(FileService& files, const json& data, std::string_view key) {
    const std::string url = requireStringField(data, key, "data");
    const auto parts = parseStoredFileUrl(url);
    if (!parts) {
        throw ServiceError(ErrorCode::InvalidImageUrl, "image URL must name a file stored on this emulator: \"" +
                                                           std::string(key) + "\" is \"" + url.substr(0, 200) + "\"");
    }
    auto file = files.find(parts->first, parts->second);
    if (!file) throw ServiceError(ErrorCode::FileNotFound, "file not found: " + url.substr(0, 200));
    auto bytes = files.read(*file);
    if (!bytes) throw ServiceError(ErrorCode::FileNotFound, "file not found: " + url.substr(0, 200));
    const auto format = sniff(*bytes);
    if (!format) {
        throw ServiceError(ErrorCode::NotAnImage, "not a PNG, JPEG, WebP or GIF image: \"" + std::string(key) +
                                                      "\" names " + file->originalName);
    }
    return Source{std::move(*file), std::move(*bytes), *format};
}

// The image's header (the pixels are decoded later, on demand), after the
// size check that keeps decompression bombs out.
Image openImage(const Source& source, std::string_view key) {
    images::ensureVips();
    Image image(vips_image_new_from_buffer(source.bytes.data(), source.bytes.size(), "", nullptr));
    if (!image) {
        const std::string detail = images::takeVipsError();
        throw ServiceError(ErrorCode::NotAnImage, "not a readable image: \"" + std::string(key) + "\"" +
                                                      (detail.empty() ? std::string() : ": " + detail));
    }
    const auto pixels = static_cast<std::int64_t>(image.width()) * image.height();
    if (pixels > kMaxPixels) {
        throw ServiceError(ErrorCode::ImageTooLarge, "image too large: \"" + std::string(key) + "\" is " +
                                                         std::to_string(image.width()) + "x" +
                                                         std::to_string(image.height()) + ", the limit is " +
                                                         std::to_string(kMaxPixels) + " pixels");
    }
    return image;
}

[[noreturn]] void vipsFailed(std::string_view what) {
    const std::string detail = images::takeVipsError();
    throw ServiceError(ErrorCode::ImageProcessingFailed, "image processing failed: " + std::string(what) +
                                                             (detail.empty() ? std::string() : ": " + detail));
}

// ---------------------------------------------------------------- parameters

std::optional<int> qualityOf(const json& data) {
    const auto quality = fields::optionalInteger(data, "quality");
    if (!quality || *quality == 0) return std::nullopt;
    if (*quality < 1 || *quality > 100) {
        throw ServiceError(ErrorCode::InvalidQuality,
                           "invalid quality " + std::to_string(*quality) + ": expected 1 to 100");
    }
    return static_cast<int>(*quality);
}

std::int64_t outTypeOf(const json& data) {
    const std::int64_t outType = fields::optionalInteger(data, "outType").value_or(0);
    if (outType < 0 || outType > 2) {
        throw ServiceError(ErrorCode::InvalidOutputType,
                           "invalid output type " + std::to_string(outType) + ": expected 0, 1 or 2");
    }
    return outType;
}

std::int64_t sideOf(const json& data, std::string_view key) {
    const std::int64_t value = fields::requireInteger(data, key);
    if (value <= 0 || value > kMaxSide) {
        throw ServiceError(ErrorCode::InvalidImageSize, "invalid image size: \"" + std::string(key) + "\" is " +
                                                            std::to_string(value) + ", expected 1 to " +
                                                            std::to_string(kMaxSide));
    }
    return value;
}

void checkResultSize(std::int64_t width, std::int64_t height) {
    if (width > kMaxSide || height > kMaxSide || width * height > kMaxPixels) {
        throw ServiceError(ErrorCode::ImageTooLarge, "image too large: the result would be " + std::to_string(width) +
                                                         "x" + std::to_string(height) + ", the limit is " +
                                                         std::to_string(kMaxSide) + " a side and " +
                                                         std::to_string(kMaxPixels) + " pixels");
    }
}

// ---------------------------------------------------------------- results

std::string save(const Image& image, Format format, std::optional<int> quality) {
    void* buffer = nullptr;
    std::size_t length = 0;
    int rc = 0;
    switch (format) {
        case Format::Jpeg:
            rc = vips_jpegsave_buffer(image.get(), &buffer, &length, "Q", quality.value_or(kDefaultQuality), nullptr);
            break;
        case Format::Webp:
            rc = vips_webpsave_buffer(image.get(), &buffer, &length, "Q", quality.value_or(kDefaultQuality), nullptr);
            break;
        default:
            rc = vips_pngsave_buffer(image.get(), &buffer, &length, nullptr);
            break;
    }
    if (rc != 0) {
        g_free(buffer);
        vipsFailed("encoding the result");
    }
    std::string bytes(static_cast<const char*>(buffer), length);
    g_free(buffer);
    if (bytes.size() > kMaxFileSize) {
        throw ServiceError(ErrorCode::ImageTooLarge, "image too large: the encoded result has " +
                                                         std::to_string(bytes.size()) + " bytes, more than " +
                                                         std::to_string(kMaxFileSize));
    }
    return bytes;
}

std::string resultName(const StoredFile& source, std::string_view suffix, Format format) {
    std::string base = source.originalName;
    if (const auto dot = base.rfind('.'); dot != std::string::npos && dot > 0) base.resize(dot);
    if (base.size() > 200) base.resize(200);
    return base + std::string(suffix) + "." + std::string(extensionOf(format));
}

json reply(FileService& files, RequestContext& ctx, std::int64_t outType, const std::string& bytes,
           const std::string& name) {
    if (outType == 1) return json{{"file", files::encodeBase64(bytes)}};
    const StoredFile stored = files.store(name, bytes);
    json data{{"filename", stored.originalName}, {"group", stored.group}, {"url", stored.relativeUrl()}};
    if (outType == 2) data["file"] = ctx.baseUrl() + "/" + stored.relativeUrl();
    return data;
}

// ---------------------------------------------------------------- thumbnail

json thumbnail(FileService& files, RequestContext& ctx) {
    const json& data = ctx.requireObject("data");
    const std::int64_t mode = fields::requireInteger(data, "mode");
    if (mode < 0 || mode > 5) {
        throw ServiceError(ErrorCode::InvalidImageMode,
                           "invalid thumbnail mode " + std::to_string(mode) + ": expected 0 to 5");
    }
    std::int64_t width = 0, height = 0, edge = 0;
    switch (mode) {
        case 0:
            width = sideOf(data, "width");
            break;
        case 1:
            height = sideOf(data, "height");
            break;
        case 2:
            edge = sideOf(data, "longEdge");
            break;
        case 3:
            edge = sideOf(data, "shortEdge");
            break;
        default:
            width = sideOf(data, "width");
            height = sideOf(data, "height");
            break;
    }
    const auto quality = qualityOf(data);
    const std::int64_t outType = outTypeOf(data);

    Source source = loadSource(files, data, "image");
    std::int64_t w0 = 0, h0 = 0;
    {
        const Image header = openImage(source, "image");
        w0 = header.width();
        h0 = header.height();
    }

    // The box handed to vips_thumbnail and the size it gives.
    constexpr int kFree = VIPS_MAX_COORD;
    int boxWidth = kFree, boxHeight = kFree;
    double scale = 1.0;
    switch (mode) {
        case 0:
            boxWidth = static_cast<int>(width);
            scale = static_cast<double>(width) / static_cast<double>(w0);
            break;
        case 1:
            boxHeight = static_cast<int>(height);
            scale = static_cast<double>(height) / static_cast<double>(h0);
            break;
        case 2:
            boxWidth = boxHeight = static_cast<int>(edge);
            scale = static_cast<double>(edge) / static_cast<double>(std::max(w0, h0));
            break;
        case 3:
            (w0 <= h0 ? boxWidth : boxHeight) = static_cast<int>(edge);
            scale = static_cast<double>(edge) / static_cast<double>(std::min(w0, h0));
            break;
        default:
            boxWidth = static_cast<int>(width);
            boxHeight = static_cast<int>(height);
            scale = std::min(static_cast<double>(width) / static_cast<double>(w0),
                             static_cast<double>(height) / static_cast<double>(h0));
            break;
    }
    if (mode == 5) {
        checkResultSize(width, height);
    } else {
        checkResultSize(std::max<std::int64_t>(1, std::llround(static_cast<double>(w0) * scale)),
                        std::max<std::int64_t>(1, std::llround(static_cast<double>(h0) * scale)));
    }

    Image out;
    if (vips_thumbnail_buffer(source.bytes.data(), source.bytes.size(), out.out(), boxWidth, "height", boxHeight,
                              "size", VIPS_SIZE_BOTH, "no_rotate", TRUE, "crop",
                              mode == 5 ? VIPS_INTERESTING_CENTRE : VIPS_INTERESTING_NONE, nullptr) != 0) {
        vipsFailed("thumbnail");
    }
    checkResultSize(out.width(), out.height());
    std::string bytes = save(out, source.format, quality);
    out.reset();
    return reply(files, ctx, outType, bytes, resultName(source.file, "_thumb", source.format));
}

// ---------------------------------------------------------------- watermark

// sRGB, 8 bits a sample.
Image toSrgb(const Image& image, std::string_view what) {
    Image out;
    if (vips_colourspace(image.get(), out.out(), VIPS_INTERPRETATION_sRGB, nullptr) != 0) vipsFailed(what);
    if (vips_image_get_format(out.get()) != VIPS_FORMAT_UCHAR) {
        Image cast;
        if (vips_cast_uchar(out.get(), cast.out(), nullptr) != 0) vipsFailed(what);
        out = std::move(cast);
    }
    return out;
}

// Offset of the overlay on one axis: the near edge, the middle or the far
// edge, moved inward by `distance` (the middle moves by it toward the far edge).
int place(int where, int base, int overlay, std::int64_t distance) {
    const auto d = static_cast<int>(distance);
    if (where < 0) return d;
    if (where > 0) return base - overlay - d;
    return (base - overlay) / 2 + d;
}

json watermark(FileService& files, RequestContext& ctx) {
    const json& data = ctx.requireObject("data");
    const std::int64_t dissolve = fields::optionalInteger(data, "dissolve").value_or(100);
    if (dissolve < 0 || dissolve > 100) {
        throw ServiceError(ErrorCode::InvalidFieldType,
                           "field \"dissolve\" in data must be 0 to 100, got " + std::to_string(dissolve));
    }
    std::string gravity = "Center";
    if (auto it = data.find("gravity"); it != data.end() && !it->is_null()) {
        if (!it->is_string())
            throw ServiceError(ErrorCode::InvalidFieldType, "field \"gravity\" in data must be a string");
        gravity = it->get<std::string>();
    }
    const std::int64_t dx = fields::optionalInteger(data, "distanceX").value_or(0);
    const std::int64_t dy = fields::optionalInteger(data, "distanceY").value_or(0);
    if (std::abs(dx) > kMaxSide || std::abs(dy) > kMaxSide) {
        throw ServiceError(ErrorCode::InvalidImageSize,
                           "invalid image size: distanceX and distanceY must be within +-" + std::to_string(kMaxSide));
    }
    const auto quality = qualityOf(data);
    const std::int64_t outType = outTypeOf(data);

    // Compass name -> (horizontal, vertical): -1 near edge, 0 middle, 1 far edge.
    int horizontal = 0, vertical = 0;
    if (gravity == "NorthWest" || gravity == "West" || gravity == "SouthWest") horizontal = -1;
    if (gravity == "NorthEast" || gravity == "East" || gravity == "SouthEast") horizontal = 1;
    if (gravity == "NorthWest" || gravity == "North" || gravity == "NorthEast") vertical = -1;
    if (gravity == "SouthWest" || gravity == "South" || gravity == "SouthEast") vertical = 1;

    const Source source = loadSource(files, data, "image");
    const Source mark = loadSource(files, data, "watermark");
    const Image sourceImage = openImage(source, "image");
    const Image markImage = openImage(mark, "watermark");

    Image base = toSrgb(sourceImage, "reading the image");
    const bool baseHadAlpha = vips_image_hasalpha(base.get()) != 0;
    Image overlay = toSrgb(markImage, "reading the watermark");
    if (vips_image_hasalpha(overlay.get()) == 0) {
        Image withAlpha;
        if (vips_addalpha(overlay.get(), withAlpha.out(), nullptr) != 0) vipsFailed("watermark alpha");
        overlay = std::move(withAlpha);
    }
    if (dissolve < 100) {
        const int alphaBand = overlay.bands() - 1;
        Image colour, alpha, faded, fadedUchar, joined;
        if (vips_extract_band(overlay.get(), colour.out(), 0, "n", alphaBand, nullptr) != 0 ||
            vips_extract_band(overlay.get(), alpha.out(), alphaBand, nullptr) != 0 ||
            vips_linear1(alpha.get(), faded.out(), static_cast<double>(dissolve) / 100.0, 0.0, nullptr) != 0 ||
            vips_cast_uchar(faded.get(), fadedUchar.out(), nullptr) != 0 ||
            vips_bandjoin2(colour.get(), fadedUchar.get(), joined.out(), nullptr) != 0) {
            vipsFailed("watermark dissolve");
        }
        overlay = std::move(joined);
    }

    const int x = place(horizontal, base.width(), overlay.width(), dx);
    const int y = place(vertical, base.height(), overlay.height(), dy);
    Image composed;
    if (vips_composite2(base.get(), overlay.get(), composed.out(), VIPS_BLEND_MODE_OVER, "x", x, "y", y, nullptr) !=
        0) {
        vipsFailed("composite");
    }
    Image result;
    if (vips_cast_uchar(composed.get(), result.out(), nullptr) != 0) vipsFailed("composite");
    if (!baseHadAlpha) {
        Image opaque;
        if (vips_extract_band(result.get(), opaque.out(), 0, "n", 3, nullptr) != 0) vipsFailed("composite");
        result = std::move(opaque);
    }
    std::string bytes = save(result, source.format, quality);
    return reply(files, ctx, outType, bytes, resultName(source.file, "_watermark", source.format));
}

}  // namespace

void registerImageHandlers(Router& router, FileService& files) {
    router.addEnvelope("/7/thumbnail", [&files](RequestContext& ctx) { return thumbnail(files, ctx); });
    router.addEnvelope("/7/watermark", [&files](RequestContext& ctx) { return watermark(files, ctx); });
}

}  // namespace vorn::emulator
