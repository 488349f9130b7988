#include "support/ScriptedHttpServer.h"
#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/core/Vorn.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/files/VornFile.h"
#include "vorn/files/VornImage.h"

#include <gtest/gtest.h>

#include <deque>
#include <mutex>

using namespace vorn;
using json = nlohmann::json;
using test::RecordedRequest;
using test::ScriptedAction;
using test::ScriptedHttpServer;

namespace image_test {

std::string reply(const json& data, int code = 200, const std::string& message = "ok") {
    return json{{"result", {{"code", code}, {"message", message}}}, {"data", data}}.dump();
}

/// What one image callback reported.
struct Outcome {
    int calls = 0;
    std::optional<VornImageResult> result;
    OptionalError error;
    VornImageResultBlock block() {
        return [this](const std::optional<VornImageResult>& r, const OptionalError& e) {
            ++calls;
            result = r;
            error = e;
        };
    }
    bool wait() {
        return test::runUntil([this] { return calls > 0; });
    }
};

class ImageTest : public ::testing::Test {
protected:
    void SetUp() override { Vorn::registerWithAppKey("image-key"); }

    void push(std::string body) {
        std::lock_guard lock(mutex_);
        replies_.push_back(std::move(body));
    }
    /// The "data" of the one request the service got, after running `call`.
    json sentData(const std::function<void(VornImageResultBlock)>& call, const std::string& path = "/7/thumbnail") {
        Outcome outcome;
        call(outcome.block());
        EXPECT_TRUE(outcome.wait());
        const auto requests = server_.requests();
        EXPECT_FALSE(requests.empty());
        if (requests.empty()) return nullptr;
        const auto& last = requests.back();
        EXPECT_EQ(last.target, path);
        const auto body = json::parse(last.body);
        EXPECT_EQ(body["c"], "Thumbnail");
        EXPECT_TRUE(body["objectId"].is_null());
        EXPECT_EQ(body["v"], "v1.4.9");
        EXPECT_EQ(last.header("x-vorn-app-key"), "image-key");
        EXPECT_EQ(last.headers.count("x-vorn-session-token"), 0u);
        return body["data"];
    }

    std::mutex mutex_;
    std::deque<std::string> replies_;
    ScriptedHttpServer server_{[this](const RecordedRequest&) {
        std::lock_guard lock(mutex_);
        if (replies_.empty())
            return ScriptedAction::reply(
                reply({{"url", "g/r.png"}, {"filename", "r.png"}, {"group", "g"}, {"file", "text"}}));
        auto body = replies_.front();
        replies_.pop_front();
        return ScriptedAction::reply(body);
    }};
    test::TestDevice device_{server_.hostAndPort()};
};

TEST_F(ImageTest, EachOperationSendsItsModeAndOnlyTheSizesThatAreSet) {
    EXPECT_EQ(sentData([](auto b) { VornImage::thumbnailImageBySpecifiesTheWidth(0, 0, "http://h/a.png", 0, b); }),
              (json{{"mode", 0}, {"image", "http://h/a.png"}, {"outType", 0}}));
    EXPECT_EQ(sentData([](auto b) { VornImage::thumbnailImageBySpecifiesTheHeight(40, 75, "u", 1, b); }),
              (json{{"mode", 1}, {"height", 40}, {"quality", 75}, {"image", "u"}, {"outType", 1}}));
    EXPECT_EQ(sentData([](auto b) { VornImage::thumbnailImageBySpecifiesTheLength(64, 0, "", 0, b); }),
              (json{{"mode", 2}, {"longEdge", 64}, {"outType", 0}}));
    EXPECT_EQ(sentData([](auto b) { VornImage::thumbnailImageBySpecifiesTheShort(32, 0, std::nullopt, 2, b); }),
              (json{{"mode", 3}, {"shortEdge", 32}, {"outType", 2}}));
    EXPECT_EQ(sentData([](auto b) { VornImage::thumbnailImageBySpecifiesTheWidth(30, 0, 90, "u", 0, b); }),
              (json{{"mode", 4}, {"width", 30}, {"quality", 90}, {"image", "u"}, {"outType", 0}}));
    EXPECT_EQ(sentData([](auto b) { VornImage::cutImageBySpecifiesTheWidth(100, 50, 0, "u", 0, b); }),
              (json{{"mode", 5}, {"width", 100}, {"height", 50}, {"image", "u"}, {"outType", 0}}));
}

TEST_F(ImageTest, AWatermarkAlwaysSendsItsPlacementAndUnknownDirectionsAreCenter) {
    const auto watermark = [this](std::uint32_t direction, std::int64_t x) {
        return sentData(
            [&](auto b) { VornImage::watermarkImageWithSourceImageUrl("s", "w", 0, direction, x, 0, 0, b); },
            "/7/watermark");
    };
    const json center{{"image", "s"},   {"watermark", "w"}, {"dissolve", 0}, {"gravity", "Center"},
                      {"distanceX", 0}, {"distanceY", 0},   {"outType", 0}};
    EXPECT_EQ(watermark(VornImageDirectionCenter, 0), center);
    EXPECT_EQ(watermark(9, 0), center);
    EXPECT_EQ(watermark(0xFFFFFFFFu, 0)["gravity"], "Center");
    EXPECT_EQ(watermark(VornImageDirectionNorthWest, 5)["gravity"], "NorthWest");
    EXPECT_EQ(watermark(VornImageDirectionSouthEast, 5)["distanceX"], 5);
    const auto noUrls =
        sentData([](auto b) { VornImage::watermarkImageWithSourceImageUrl("", std::nullopt, 70, 7, -3, 4, 1, b); },
                 "/7/watermark");
    EXPECT_EQ(noUrls,
              (json{{"dissolve", 70}, {"gravity", "South"}, {"distanceX", -3}, {"distanceY", 4}, {"outType", 1}}));
}

TEST_F(ImageTest, OutputTypeZeroGivesAFileJoinedToTheStoredBaseOtherTypesText) {
    const auto base = v_VornUtils::storedFileDownloadAddress();
    push(reply({{"url", "g/thumb.png"}, {"filename", "thumb.png"}, {"group", "g"}}));
    Outcome stored;
    VornImage::thumbnailImageBySpecifiesTheWidth(10, 0, "u", 0, stored.block());
    ASSERT_TRUE(stored.wait());
    ASSERT_TRUE(stored.result.has_value());
    EXPECT_FALSE(stored.error.has_value());
    const auto file = std::get<std::shared_ptr<VornFile>>(*stored.result);
    EXPECT_EQ(file->url(), base + "/g/thumb.png");
    EXPECT_EQ(file->name(), "thumb.png");
    EXPECT_EQ(file->group(), "g");
    EXPECT_TRUE(file->fileData().empty());
    EXPECT_FALSE(file->fileName().has_value());

    // Joined also when the reply's URL is absolute.
    push(reply({{"url", "http://cdn/x.png"}}));
    Outcome absolute;
    VornImage::thumbnailImageBySpecifiesTheWidth(10, 0, "u", 0, absolute.block());
    ASSERT_TRUE(absolute.wait());
    EXPECT_EQ(std::get<std::shared_ptr<VornFile>>(*absolute.result)->url(), base + "/http://cdn/x.png");

    push(reply({{"file", "aGVsbG8="}}));
    Outcome text;
    VornImage::cutImageBySpecifiesTheWidth(5, 5, 0, "u", 1, text.block());
    ASSERT_TRUE(text.wait());
    EXPECT_EQ(std::get<std::string>(*text.result), "aGVsbG8=");
}

TEST_F(ImageTest, FailuresReportTheirErrors) {
    const auto failure = [this](std::string body) {
        push(std::move(body));
        Outcome outcome;
        VornImage::thumbnailImageBySpecifiesTheWidth(10, 0, "u", 0, outcome.block());
        EXPECT_TRUE(outcome.wait());
        EXPECT_FALSE(outcome.result.has_value());
        return outcome.error.value_or(VornError{});
    };
    EXPECT_EQ(failure("nope").code, kVornErrorUnknown);
    EXPECT_EQ(failure(reply(nullptr)).code, kVornErrorUnknown) << "no data";
    const auto refused = failure(reply(nullptr, 160, "not an image"));
    EXPECT_EQ(refused.code, 160);
    EXPECT_EQ(refused.message(), "not an image");

    device_.pointHostsAt("127.0.0.1:1");
    Outcome unreachable;
    VornImage::thumbnailImageBySpecifiesTheWidth(10, 0, "u", 0, unreachable.block());
    ASSERT_TRUE(unreachable.wait());
    EXPECT_EQ(unreachable.error->code, kVornErrorConnectFailed);
}

}  // namespace image_test
