#pragma once

#include "vorn/core/VornError.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace vorn {

class VornFile;

/// What an image request gives: a new stored file (output type 0) or the
/// reply's text (any other output type).
using VornImageResult = std::variant<std::shared_ptr<VornFile>, std::string>;
/// Exactly one of the two is set.
using VornImageResultBlock =
    std::function<void(const std::optional<VornImageResult>& result, const OptionalError& error)>;

/// Where a watermark is laid over an image.
enum VornImageDirection : std::uint32_t {
    VornImageDirectionNorthWest = 0,
    VornImageDirectionNorth = 1,
    VornImageDirectionNorthEast = 2,
    VornImageDirectionWest = 3,
    VornImageDirectionCenter = 4,
    VornImageDirectionEast = 5,
    VornImageDirectionSouthWest = 6,
    VornImageDirectionSouth = 7,
    VornImageDirectionSouthEast = 8,
};

/// Asks the service to process an image it stores: thumbnails, cuts and
/// watermarks. The service does the work and judges the arguments; sizes
/// and quality of 0 and empty URLs are simply not sent. Results arrive on
/// the main loop. `VornImage` holds no state.
class VornImage {
public:
    VornImage() = delete;

    /// Scales to the width ("mode" 0).
    static void thumbnailImageBySpecifiesTheWidth(std::int64_t width, std::int64_t quality,
                                                  const std::optional<std::string>& sourceImageUrl,
                                                  std::int32_t outputType, VornImageResultBlock resultBlock);
    /// Scales to the height ("mode" 1).
    static void thumbnailImageBySpecifiesTheHeight(std::int64_t height, std::int64_t quality,
                                                   const std::optional<std::string>& sourceImageUrl,
                                                   std::int32_t outputType, VornImageResultBlock resultBlock);
    /// Scales the long edge to the length ("mode" 2).
    static void thumbnailImageBySpecifiesTheLength(std::int64_t longEdge, std::int64_t quality,
                                                   const std::optional<std::string>& sourceImageUrl,
                                                   std::int32_t outputType, VornImageResultBlock resultBlock);
    /// Scales the short edge to the length ("mode" 3).
    static void thumbnailImageBySpecifiesTheShort(std::int64_t shortEdge, std::int64_t quality,
                                                  const std::optional<std::string>& sourceImageUrl,
                                                  std::int32_t outputType, VornImageResultBlock resultBlock);
    /// Scales to fit width and height ("mode" 4).
    static void thumbnailImageBySpecifiesTheWidth(std::int64_t width, std::int64_t height, std::int64_t quality,
                                                  const std::optional<std::string>& sourceImageUrl,
                                                  std::int32_t outputType, VornImageResultBlock resultBlock);
    /// Cuts to width by height ("mode" 5).
    static void cutImageBySpecifiesTheWidth(std::int64_t width, std::int64_t height, std::int64_t quality,
                                            const std::optional<std::string>& sourceImageUrl, std::int32_t outputType,
                                            VornImageResultBlock resultBlock);
    /// Lays the watermark over the image at the direction's edge, offset by
    /// x and y, with "dissolve" as its opacity.
    static void watermarkImageWithSourceImageUrl(const std::optional<std::string>& sourceImageUrl,
                                                 const std::optional<std::string>& watermarkImageUrl,
                                                 std::int64_t dissolve, std::uint32_t direction, std::int64_t x,
                                                 std::int64_t y, std::int32_t outputType,
                                                 VornImageResultBlock resultBlock);

    /// Sends a thumbnail or cut request of the given "data" object. Its
    /// "mode", "width", "height", "longEdge", "shortEdge", "quality" and
    /// "outType", when present, must be whole numbers and its "image" text;
    /// any other field goes to the service as it is. A dictionary that is
    /// not an object, or holds one of those fields with another type (null
    /// included), is refused on the main loop with `kVornErrorWrongType`
    /// (20021) and nothing is sent.
    static void dealWithImageWithDictionary(const nlohmann::json& dictionary, VornImageResultBlock resultBlock);

    /// The "gravity" name of a direction ("Center" for any unknown one).
    static const char* gravityName(std::uint32_t direction);

private:
    static void send(const char* path, const nlohmann::json& data, VornImageResultBlock resultBlock);
    static nlohmann::json thumbnailData(int mode, std::initializer_list<std::pair<const char*, std::int64_t>> sizes,
                                        std::int64_t quality, const std::optional<std::string>& sourceImageUrl,
                                        std::int32_t outputType);
};

}  // namespace vorn
