#include "support/ScriptedHttpServer.h"
#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/core/v_VornUtils.h"
#include "vorn/files/VornFile.h"
#include "vorn/files/VornImage.h"
#include "vorn/service/Vorn.h"

#include <gtest/gtest.h>

#include <deque>
#include <limits>
#include <mutex>
#include <utility>
#include <vector>

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

TEST_F(ImageTest, ADictionaryOfTheWrongShapeIsRefusedWithTheArgumentErrorAndNothingIsSent) {
    const json nested = {{"deeper", json::array({nullptr, "x", json::array({1, {{"a", json::object()}}})})}};
    const std::vector<std::pair<const char*, json>> shapes = {
        {"array", json::array({1, 2})},
        {"empty array", json::array()},
        {"string", "mode=0"},
        {"number", 3},
        {"null", nullptr},
        {"boolean", true},
        {"binary", json::binary({1, 2, 3})},
        {"discarded", json(json::value_t::discarded)},
        {"outType string", {{"mode", 0}, {"width", 10}, {"outType", "1"}}},
        {"outType null", {{"mode", 0}, {"width", 10}, {"outType", nullptr}}},
        {"outType fraction", {{"mode", 0}, {"width", 10}, {"outType", 1.5}}},
        {"outType object", {{"mode", 0}, {"width", 10}, {"outType", {{"type", 1}}}}},
        {"outType array", {{"mode", 0}, {"width", 10}, {"outType", json::array({1})}}},
        {"outType boolean", {{"mode", 0}, {"width", 10}, {"outType", false}}},
        {"mode string", {{"mode", "0"}, {"width", 10}}},
        {"mode null", {{"mode", nullptr}, {"width", 10}}},
        {"width boolean", {{"mode", 0}, {"width", true}}},
        {"width nested", {{"mode", 0}, {"width", nested}}},
        {"height null", {{"mode", 1}, {"height", nullptr}}},
        {"longEdge string", {{"mode", 2}, {"longEdge", "64"}}},
        {"shortEdge array", {{"mode", 3}, {"shortEdge", json::array({32})}}},
        {"quality object", {{"mode", 0}, {"width", 10}, {"quality", {{"q", 75}}}}},
        {"quality infinite", {{"mode", 0}, {"width", 10}, {"quality", std::numeric_limits<double>::infinity()}}},
        {"width beyond any integer", {{"mode", 0}, {"width", 1e300}}},
        {"image number", {{"mode", 0}, {"width", 10}, {"image", 5}}},
        {"image null", {{"mode", 0}, {"width", 10}, {"image", nullptr}}},
        {"image nested", {{"mode", 0}, {"width", 10}, {"image", json::array({json::array({"u"})})}}},
        {"image object", {{"mode", 0}, {"width", 10}, {"image", nested}}},
    };
    for (const auto& [name, shape] : shapes) {
        SCOPED_TRACE(name);
        Outcome outcome;
        EXPECT_NO_THROW(VornImage::dealWithImageWithDictionary(shape, outcome.block()));
        ASSERT_TRUE(outcome.wait());
        test::drainLoop();
        EXPECT_EQ(outcome.calls, 1);
        EXPECT_FALSE(outcome.result.has_value());
        ASSERT_TRUE(outcome.error.has_value());
        EXPECT_EQ(outcome.error->code, kVornErrorWrongType);
        EXPECT_EQ(outcome.error->domain, kVornErrorDomain);
        // Without a result block the refusal is silent.
        EXPECT_NO_THROW(VornImage::dealWithImageWithDictionary(shape, nullptr));
    }
    test::drainLoop();
    EXPECT_TRUE(server_.requests().empty());
}

TEST_F(ImageTest, ADictionaryOfTheRightShapeGoesAsItIsWithWholeNumbersAndUnknownFields) {
    const json dictionary = {{"mode", 0.0},
                             {"width", 10},
                             {"outType", 1.0},
                             {"image", "u"},
                             {"extra", {{"nested", json::array({nullptr, 1, "x"})}}}};
    Outcome outcome;
    VornImage::dealWithImageWithDictionary(dictionary, outcome.block());
    ASSERT_TRUE(outcome.wait());
    ASSERT_TRUE(outcome.result.has_value());
    // A nonzero output type gives the reply's text.
    EXPECT_EQ(std::get<std::string>(*outcome.result), "text");
    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(json::parse(requests.back().body)["data"], dictionary);

    // Without "outType" the result is a stored file.
    Outcome stored;
    VornImage::dealWithImageWithDictionary({{"mode", 0}, {"width", 10}}, stored.block());
    ASSERT_TRUE(stored.wait());
    ASSERT_TRUE(stored.result.has_value());
    EXPECT_TRUE(std::holds_alternative<std::shared_ptr<VornFile>>(*stored.result));
}

}  // namespace image_test
