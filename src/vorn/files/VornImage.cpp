#include "vorn/files/VornImage.h"

#include "vorn/core/MainLoop.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/files/VornFile.h"
#include "vorn/service/VornService.h"

#include <array>
#include <cmath>

namespace vorn {
namespace {

std::string memberText(const nlohmann::json& object, const char* key) {
    if (!object.is_object()) return {};
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return {};
    return it->is_string() ? it->get<std::string>() : it->dump();
}

std::optional<std::string> optionalTextOf(const nlohmann::json& object, const char* key) {
    if (!object.is_object() || !object.contains(key) || object.at(key).is_null()) return std::nullopt;
    return memberText(object, key);
}

void putUrl(nlohmann::json& data, const char* key, const std::optional<std::string>& url) {
    if (url && !url->empty()) data[key] = *url;
}

/// A whole number as the service reads one: an integer, or a float with no
/// fraction.
bool isWholeNumber(const nlohmann::json& value) {
    if (value.is_number_integer()) return true;
    if (!value.is_number_float()) return false;
    const double number = value.get<double>();
    return std::isfinite(number) && number == std::trunc(number) && std::fabs(number) < 1e15;
}

/// The fields of a thumbnail or cut request that the library knows: each,
/// when present, a whole number, and "image" text.
bool isThumbnailData(const nlohmann::json& data) {
    if (!data.is_object()) return false;
    for (const char* key : {"mode", "width", "height", "longEdge", "shortEdge", "quality", "outType"}) {
        if (auto it = data.find(key); it != data.end() && !isWholeNumber(*it)) return false;
    }
    if (auto it = data.find("image"); it != data.end() && !it->is_string()) return false;
    return true;
}

/// The output type of a request whose fields were checked; 0 when absent.
std::int64_t outTypeOf(const nlohmann::json& data) {
    auto it = data.find("outType");
    if (it == data.end()) return 0;
    if (it->is_number_float()) return static_cast<std::int64_t>(it->get<double>());
    if (it->is_number_unsigned()) return it->get<std::uint64_t>() == 0 ? 0 : 1;
    return it->get<std::int64_t>();
}

}  // namespace

const char* VornImage::gravityName(std::uint32_t direction) {
    static constexpr std::array<const char*, 9> kNames{"NorthWest", "North",     "NorthEast", "West",     "Center",
                                                       "East",      "SouthWest", "South",     "SouthEast"};
    return direction < kNames.size() ? kNames[direction] : "Center";
}

nlohmann::json VornImage::thumbnailData(int mode, std::initializer_list<std::pair<const char*, std::int64_t>> sizes,
                                        std::int64_t quality, const std::optional<std::string>& sourceImageUrl,
                                        std::int32_t outputType) {
    nlohmann::json data = nlohmann::json::object();
    data["mode"] = mode;
    for (const auto& [key, value] : sizes) {
        if (value != 0) data[key] = value;
    }
    if (quality != 0) data["quality"] = quality;
    putUrl(data, "image", sourceImageUrl);
    data["outType"] = outputType;
    return data;
}

void VornImage::thumbnailImageBySpecifiesTheWidth(std::int64_t width, std::int64_t quality,
                                                  const std::optional<std::string>& sourceImageUrl,
                                                  std::int32_t outputType, VornImageResultBlock resultBlock) {
    dealWithImageWithDictionary(thumbnailData(0, {{"width", width}}, quality, sourceImageUrl, outputType),
                                std::move(resultBlock));
}

void VornImage::thumbnailImageBySpecifiesTheHeight(std::int64_t height, std::int64_t quality,
                                                   const std::optional<std::string>& sourceImageUrl,
                                                   std::int32_t outputType, VornImageResultBlock resultBlock) {
    dealWithImageWithDictionary(thumbnailData(1, {{"height", height}}, quality, sourceImageUrl, outputType),
                                std::move(resultBlock));
}

void VornImage::thumbnailImageBySpecifiesTheLength(std::int64_t longEdge, std::int64_t quality,
                                                   const std::optional<std::string>& sourceImageUrl,
                                                   std::int32_t outputType, VornImageResultBlock resultBlock) {
    dealWithImageWithDictionary(thumbnailData(2, {{"longEdge", longEdge}}, quality, sourceImageUrl, outputType),
                                std::move(resultBlock));
}

void VornImage::thumbnailImageBySpecifiesTheShort(std::int64_t shortEdge, std::int64_t quality,
                                                  const std::optional<std::string>& sourceImageUrl,
                                                  std::int32_t outputType, VornImageResultBlock resultBlock) {
    dealWithImageWithDictionary(thumbnailData(3, {{"shortEdge", shortEdge}}, quality, sourceImageUrl, outputType),
                                std::move(resultBlock));
}

void VornImage::thumbnailImageBySpecifiesTheWidth(std::int64_t width, std::int64_t height, std::int64_t quality,
                                                  const std::optional<std::string>& sourceImageUrl,
                                                  std::int32_t outputType, VornImageResultBlock resultBlock) {
    dealWithImageWithDictionary(
        thumbnailData(4, {{"width", width}, {"height", height}}, quality, sourceImageUrl, outputType),
        std::move(resultBlock));
}

void VornImage::cutImageBySpecifiesTheWidth(std::int64_t width, std::int64_t height, std::int64_t quality,
                                            const std::optional<std::string>& sourceImageUrl, std::int32_t outputType,
                                            VornImageResultBlock resultBlock) {
    dealWithImageWithDictionary(
        thumbnailData(5, {{"width", width}, {"height", height}}, quality, sourceImageUrl, outputType),
        std::move(resultBlock));
}

void VornImage::watermarkImageWithSourceImageUrl(const std::optional<std::string>& sourceImageUrl,
                                                 const std::optional<std::string>& watermarkImageUrl,
                                                 std::int64_t dissolve, std::uint32_t direction, std::int64_t x,
                                                 std::int64_t y, std::int32_t outputType,
                                                 VornImageResultBlock resultBlock) {
    nlohmann::json data = nlohmann::json::object();
    putUrl(data, "image", sourceImageUrl);
    putUrl(data, "watermark", watermarkImageUrl);
    data["dissolve"] = dissolve;
    data["gravity"] = gravityName(direction);
    data["distanceX"] = x;
    data["distanceY"] = y;
    data["outType"] = outputType;
    send("watermark", data, std::move(resultBlock));
}

void VornImage::dealWithImageWithDictionary(const nlohmann::json& dictionary, VornImageResultBlock resultBlock) {
    if (!isThumbnailData(dictionary)) {
        // Refused on the main loop, like any other outcome.
        if (resultBlock) {
            MainLoop::shared().post([block = std::move(resultBlock)] {
                block(std::nullopt, v_VornUtils::vornErrorWithType(kVornErrorWrongType));
            });
        }
        return;
    }
    send("thumbnail", dictionary, std::move(resultBlock));
}

void VornImage::send(const char* path, const nlohmann::json& data, VornImageResultBlock resultBlock) {
    VornServiceCall call;
    call.path = path;
    call.c = "Thumbnail";
    call.objectId = nullptr;
    call.data = data;
    const auto outType = outTypeOf(data);
    VornService::send(call, [outType, block = std::move(resultBlock)](const VornServiceReply& reply) {
        if (!block) return;
        if (!reply.succeeded()) return block(std::nullopt, reply.error());
        const nlohmann::json* result = reply.validData();
        if (result == nullptr) return block(std::nullopt, v_VornUtils::vornErrorWithType(kVornErrorUnknown));
        if (outType != 0) return block(VornImageResult(memberText(*result, "file")), std::nullopt);
        // The download base is joined to the reply's URL whatever that holds.
        auto file = VornFile::fileWithUrl(v_VornUtils::storedFileDownloadAddress() + "/" + memberText(*result, "url"),
                                          optionalTextOf(*result, "filename"), optionalTextOf(*result, "group"));
        block(VornImageResult(std::move(file)), std::nullopt);
    });
}

}  // namespace vorn
