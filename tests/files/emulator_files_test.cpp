#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/core/v_VornUtils.h"
#include "vorn/data/VornObject.h"
#include "vorn/files/VornFile.h"
#include "vorn/files/VornImage.h"
#include "vorn/net/VornUrlRequest.h"
#include "vorn/query/VornQuery.h"

#include <gtest/gtest.h>
#include <vips/vips.h>

#include <mutex>

using namespace vorn;
using json = nlohmann::json;

namespace emulator_files_test {

/// A PNG of the given size whose pixels vary, so it does not compress to nothing.
Bytes makePng(int width, int height, bool noise = false) {
    static std::once_flag once;
    std::call_once(once, [] { VIPS_INIT("files_tests"); });
    VipsImage* base = nullptr;
    if (noise) {
        vips_gaussnoise(&base, width, height, "mean", 128.0, "sigma", 60.0, nullptr);
    } else {
        vips_xyz(&base, width, height, nullptr);
    }
    VipsImage* bands = nullptr;
    vips_bandjoin_const1(base, &bands, 0.0, nullptr);  // one more band: grey and alpha, or x, y and 0
    VipsImage* pixels = nullptr;
    vips_cast_uchar(bands, &pixels, nullptr);
    void* buffer = nullptr;
    size_t length = 0;
    vips_pngsave_buffer(pixels, &buffer, &length, "compression", 1, nullptr);
    Bytes png(static_cast<std::uint8_t*>(buffer), static_cast<std::uint8_t*>(buffer) + length);
    g_free(buffer);
    g_object_unref(pixels);
    g_object_unref(bands);
    g_object_unref(base);
    return png;
}

/// Width and height of an encoded image, (0, 0) when it is not one.
std::pair<int, int> imageSize(const std::string& bytes) {
    VipsImage* image = vips_image_new_from_buffer(bytes.data(), bytes.size(), "", nullptr);
    if (image == nullptr) {
        vips_error_clear();
        return {0, 0};
    }
    const std::pair<int, int> size{vips_image_get_width(image), vips_image_get_height(image)};
    g_object_unref(image);
    return size;
}

std::string download(const std::string& url) {
    auto request = VornUrlRequest::initWithUrl(url);
    request->setHttpMethod("GET");
    request->startSyncConnection();
    return request->responseData().value_or(std::string());
}

std::string text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

using Result = test::BooleanResult;

struct Processed {
    bool called = false;
    std::optional<VornImageResult> result;
    OptionalError error;
    VornImageResultBlock block() {
        return [this](const std::optional<VornImageResult>& r, const OptionalError& e) {
            called = true;
            result = r;
            error = e;
        };
    }
    bool wait() {
        return test::runUntil([this] { return called; }, std::chrono::seconds(30));
    }
    std::shared_ptr<VornFile> file() const { return result ? std::get<std::shared_ptr<VornFile>>(*result) : nullptr; }
};

class EmulatorFilesTest : public test::EmulatorTest {
protected:
    std::shared_ptr<VornFile> upload(const Bytes& bytes, bool sharded, const std::string& name = "picture.png") {
        auto file = VornFile::initWithFileName(name, bytes);
        Result result;
        if (sharded) {
            file->saveInBackgroundByDataSharding(result.block());
        } else {
            file->saveInBackground(result.block());
        }
        EXPECT_TRUE(result.wait());
        EXPECT_TRUE(result.succeeded) << (result.error ? result.error->code : 0);
        return file;
    }

    /// Makes the emulator fail the next `count` requests of a path.
    void injectFault(const std::string& path, const std::string& mode, int count) {
        auto request = VornUrlRequest::initWithUrl("http://" + host() + "/admin/faults");
        request->addValue("application/json", "Content-Type");
        request->setPostBody(json{{"path", path}, {"mode", mode}, {"count", count}}.dump());
        request->startSyncConnection();
        ASSERT_TRUE(request->responseData().has_value());
    }

    Processed process(const std::function<void(VornImageResultBlock)>& call) {
        Processed processed;
        call(processed.block());
        EXPECT_TRUE(processed.wait());
        EXPECT_FALSE(processed.error) << processed.error->code << " " << processed.error->message();
        return processed;
    }
};

TEST_F(EmulatorFilesTest, APngUploadedWholeOrInPiecesDownloadsByteForByte) {
    const Bytes small = makePng(64, 48);
    auto whole = upload(small, false);
    ASSERT_TRUE(whole->url().has_value());
    EXPECT_EQ(whole->url()->rfind(v_VornUtils::storedFileDownloadAddress() + "/", 0), 0u) << *whole->url();
    EXPECT_EQ(download(*whole->url()), text(small));
    EXPECT_EQ(whole->name(), "picture.png");
    EXPECT_TRUE(whole->group().has_value());

    const Bytes large = makePng(800, 800, true);
    ASSERT_GT(large.size(), 2 * VornFile::kPieceSize);
    auto sharded = upload(large, true, "noise.png");
    EXPECT_EQ(sharded->haveUploadLength(), large.size());
    EXPECT_EQ(download(*sharded->url()), text(large));
    EXPECT_NE(sharded->url(), whole->url());
    EXPECT_EQ(imageSize(download(*sharded->url())), (std::pair{800, 800}));

    const Bytes tiny = makePng(8, 8);
    auto onePiece = upload(tiny, true, "tiny.png");
    EXPECT_EQ(download(*onePiece->url()), text(tiny));
}

TEST_F(EmulatorFilesTest, AFileFieldIsSavedFoundAndReadBack) {
    const Bytes png = makePng(20, 10);
    auto file = upload(png, false);
    auto album = VornObject::objectWithClassName("Album");
    album->setObject(VornValue(file), "cover");
    album->setObject(VornValue(json("holiday")), "title");
    Result saved;
    album->saveInBackgroundWithResultBlock(saved.block());
    ASSERT_TRUE(saved.wait());
    ASSERT_TRUE(saved.succeeded);
    const auto stored = storedObject("Album", album->objectId().value());
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ((*stored)["cover"]["url"].get<std::string>().find("http://"), std::string::npos)
        << "stored without the download base";

    auto query = VornQuery::queryWithClassName("Album");
    query->whereKeyEqualTo("title", VornValue(json("holiday")));
    std::optional<VornObjectList> found;
    bool done = false;
    query->findObjectsInBackgroundWithBlock([&](const std::optional<VornObjectList>& objects, const OptionalError&) {
        found = objects;
        done = true;
    });
    ASSERT_TRUE(test::runUntil([&] { return done; }));
    ASSERT_TRUE(found && found->size() == 1);
    const auto cover = found->front()->objectForKey("cover");
    ASSERT_TRUE(cover && cover->isFile());
    const auto readBack = cover->file();
    EXPECT_EQ(readBack->url(), file->url());
    EXPECT_EQ(readBack->name(), file->name());
    EXPECT_EQ(readBack->group(), file->group());
    EXPECT_EQ(download(*readBack->url()), text(png));

    // The file read back can be the field of another object.
    auto copy = VornObject::objectWithClassName("Album");
    copy->setObject(*cover, "cover");
    Result copied;
    copy->saveInBackgroundWithResultBlock(copied.block());
    ASSERT_TRUE(copied.wait());
    EXPECT_EQ(storedObject("Album", copy->objectId().value()).value()["cover"], (*stored)["cover"]);
}

TEST_F(EmulatorFilesTest, ThumbnailsCutsAndWatermarksHaveTheirRealSizes) {
    auto source = upload(makePng(200, 100), false, "source.png");
    const auto url = *source->url();
    const auto sizeOf = [](const Processed& processed) {
        auto file = processed.file();
        return file ? imageSize(download(*file->url())) : std::pair{0, 0};
    };
    EXPECT_EQ(sizeOf(process([&](auto b) { VornImage::thumbnailImageBySpecifiesTheWidth(50, 0, url, 0, b); })),
              (std::pair{50, 25}));
    EXPECT_EQ(sizeOf(process([&](auto b) { VornImage::thumbnailImageBySpecifiesTheHeight(20, 0, url, 0, b); })),
              (std::pair{40, 20}));
    EXPECT_EQ(sizeOf(process([&](auto b) { VornImage::thumbnailImageBySpecifiesTheLength(80, 0, url, 0, b); })),
              (std::pair{80, 40}));
    EXPECT_EQ(sizeOf(process([&](auto b) { VornImage::thumbnailImageBySpecifiesTheShort(30, 0, url, 0, b); })),
              (std::pair{60, 30}));
    EXPECT_EQ(sizeOf(process([&](auto b) { VornImage::thumbnailImageBySpecifiesTheWidth(40, 40, 0, url, 0, b); })),
              (std::pair{40, 20}));
    EXPECT_EQ(sizeOf(process([&](auto b) { VornImage::cutImageBySpecifiesTheWidth(30, 30, 0, url, 0, b); })),
              (std::pair{30, 30}));

    auto mark = upload(makePng(16, 16), false, "mark.png");
    const auto marked = process([&](auto b) {
        VornImage::watermarkImageWithSourceImageUrl(url, *mark->url(), 50, VornImageDirectionSouthEast, 4, 4, 0, b);
    });
    EXPECT_EQ(sizeOf(marked), (std::pair{200, 100}));

    const auto inline64 = process([&](auto b) { VornImage::thumbnailImageBySpecifiesTheWidth(10, 0, url, 1, b); });
    ASSERT_TRUE(inline64.result.has_value());
    const auto decoded = vBase64::decodeString(std::get<std::string>(*inline64.result));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(imageSize(text(*decoded)), (std::pair{10, 5}));
}

TEST_F(EmulatorFilesTest, ImageRequestsTheServiceCannotDoAreServiceErrors) {
    auto notAnImage = upload(Bytes{'h', 'i'}, false, "note.txt");
    Processed unreadable;
    VornImage::thumbnailImageBySpecifiesTheWidth(10, 0, *notAnImage->url(), 0, unreadable.block());
    ASSERT_TRUE(unreadable.wait());
    ASSERT_TRUE(unreadable.error.has_value());
    EXPECT_LT(unreadable.error->code, 20000) << "the service's own code";
    EXPECT_FALSE(unreadable.error->message().empty());

    Processed foreign;
    VornImage::thumbnailImageBySpecifiesTheWidth(10, 0, "http://example.com/a.png", 0, foreign.block());
    ASSERT_TRUE(foreign.wait());
    EXPECT_TRUE(foreign.error.has_value());

    auto source = upload(makePng(10, 10), false);
    Processed zero;
    VornImage::cutImageBySpecifiesTheWidth(0, 10, 0, *source->url(), 0, zero.block());
    ASSERT_TRUE(zero.wait());
    EXPECT_TRUE(zero.error.has_value());
}

TEST_F(EmulatorFilesTest, ShardedUploadsSurviveDroppedConnectionsAndLostReplies) {
    const Bytes png = makePng(800, 800, true);
    // Three connections dropped before the first piece is read: the fourth attempt goes through.
    injectFault("/7/mkfile", "drop", 3);
    auto first = upload(png, true, "a.png");
    EXPECT_EQ(download(*first->url()), text(png));

    // A continuation piece stored whose reply is lost is sent again and accepted once.
    injectFault("/7/mkfile/next", "drop-after", 2);
    auto second = upload(png, true, "b.png");
    EXPECT_EQ(download(*second->url()), text(png));

    // Four unreadable replies in a row are too many. (A dropped connection
    // is not counted here: the HTTP client itself tries a request again once
    // when a reused connection closes before any reply.)
    injectFault("/7/mkfile", "garbage", 4);
    auto file = VornFile::initWithFileName("c.png", png);
    Result result;
    file->saveInBackgroundByDataSharding(result.block());
    ASSERT_TRUE(result.wait());
    EXPECT_EQ(result.error.value_or(VornError{}).code, kVornErrorConnectFailed);
}

}  // namespace emulator_files_test
