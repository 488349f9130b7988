// Thumbnails and watermarks (/7/thumbnail, /7/watermark) of stored images.
// The test images are made with libvips and the results are decoded with it
// to check their real sizes and pixels.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "FilesTestUtil.h"
#include "images/Vips.h"

namespace vorn::emulator::emutest {
namespace images_test {

using Rgb = std::array<double, 3>;
constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kRed{255, 0, 0};
constexpr Rgb kBlue{0, 0, 255};

using images::Image;

Image solid(int width, int height, const Rgb& rgb) {
    Image black, coloured, cast;
    const double ones[3] = {1, 1, 1};
    if (vips_black(black.out(), width, height, "bands", 3, nullptr) != 0 ||
        vips_linear(black.get(), coloured.out(), ones, rgb.data(), 3, nullptr) != 0 ||
        vips_cast_uchar(coloured.get(), cast.out(), nullptr) != 0) {
        throw std::runtime_error("vips: " + images::takeVipsError());
    }
    return cast;
}

Image joinLeftRight(const Image& left, const Image& right) {
    Image out;
    if (vips_join(left.get(), right.get(), out.out(), VIPS_DIRECTION_HORIZONTAL, nullptr) != 0) {
        throw std::runtime_error("vips: " + images::takeVipsError());
    }
    return out;
}

Image noise(int width, int height) {
    Image gauss, cast;
    if (vips_gaussnoise(gauss.out(), width, height, "sigma", 60.0, nullptr) != 0 ||
        vips_cast_uchar(gauss.get(), cast.out(), nullptr) != 0) {
        throw std::runtime_error("vips: " + images::takeVipsError());
    }
    return cast;
}

// Encodes by suffix: ".png", ".jpg", ".webp", ".gif".
std::string encode(const Image& image, const std::string& suffix) {
    void* buffer = nullptr;
    std::size_t length = 0;
    if (vips_image_write_to_buffer(image.get(), suffix.c_str(), &buffer, &length, nullptr) != 0) {
        throw std::runtime_error("vips: " + images::takeVipsError());
    }
    std::string bytes(static_cast<const char*>(buffer), length);
    g_free(buffer);
    return bytes;
}

struct Decoded {
    Image image;
    std::string bytes;  // kept alive for the lazily decoded image
    int width() const { return image.width(); }
    int height() const { return image.height(); }
    std::vector<double> pixel(int x, int y) const {
        double* values = nullptr;
        int n = 0;
        if (vips_getpoint(image.get(), &values, &n, x, y, nullptr) != 0) {
            throw std::runtime_error("vips: " + images::takeVipsError());
        }
        std::vector<double> out(values, values + n);
        g_free(values);
        return out;
    }
};

Decoded decode(std::string bytes) {
    Decoded decoded;
    decoded.bytes = std::move(bytes);
    decoded.image = Image(vips_image_new_from_buffer(decoded.bytes.data(), decoded.bytes.size(), "", nullptr));
    if (!decoded.image) throw std::runtime_error("not an image: " + images::takeVipsError());
    return decoded;
}

bool near(const std::vector<double>& pixel, const Rgb& rgb, double tolerance = 8) {
    if (pixel.size() < 3) return false;
    for (int i = 0; i < 3; ++i) {
        if (std::abs(pixel[static_cast<std::size_t>(i)] - rgb[static_cast<std::size_t>(i)]) > tolerance) return false;
    }
    return true;
}

std::string describe(const std::vector<double>& pixel) {
    std::string out = "(";
    for (double v : pixel) out += std::to_string(static_cast<int>(v)) + " ";
    return out + ")";
}

std::uint32_t crc32(std::string_view bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// A valid PNG whose header claims width x height (the pixel data stays tiny).
std::string pngClaiming(std::uint32_t width, std::uint32_t height) {
    std::string png = encode(solid(1, 1, kWhite), ".png");
    auto put32 = [&](std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i)
            png[at + static_cast<std::size_t>(i)] = static_cast<char>((value >> (24 - 8 * i)) & 0xFF);
    };
    put32(16, width);  // IHDR data starts after the signature (8), length (4) and type (4)
    put32(20, height);
    put32(29, crc32(std::string_view(png).substr(12, 17)));
    return png;
}

class ImageEndpointTest : public FileEndpointTest {
protected:
    void SetUp() override {
        images::ensureVips();
        FileEndpointTest::SetUp();
    }

    Reply thumbnail(Json data) { return client_->postEnvelope("/7/thumbnail", thumbnailBody(std::move(data))); }
    Json thumbnailBody(Json data) {
        if (!data.contains("outType")) data["outType"] = 0;
        return data;
    }
    Reply watermark(Json data) {
        if (!data.contains("outType")) data["outType"] = 0;
        return client_->postEnvelope("/7/watermark", std::move(data));
    }

    // The stored result of an outType 0 reply.
    Decoded result(const Reply& reply) {
        EXPECT_EQ(reply.code(), 200) << reply.body;
        const std::string url = reply.data().at("url").get<std::string>();
        EXPECT_TRUE(url.starts_with("files/group1/")) << url;
        const Reply download = get("/" + url);
        EXPECT_EQ(download.status, 200u) << url;
        return decode(download.body);
    }
};

// ---------------------------------------------------------------- thumbnails

TEST_F(ImageEndpointTest, EveryThumbnailModeGivesItsSize) {
    const std::string landscape = uploadUrl("land.png", encode(solid(400, 200, kWhite), ".png"));
    const std::string portrait = uploadUrl("port.png", encode(solid(200, 400, kWhite), ".png"));
    struct Case {
        std::string image;
        Json data;
        int width, height;
    };
    const std::vector<Case> cases{
        {landscape, {{"mode", 0}, {"width", 100}}, 100, 50},
        {landscape, {{"mode", 0}, {"width", 800}}, 800, 400},  // enlarging is allowed
        {landscape, {{"mode", 1}, {"height", 50}}, 100, 50},
        {portrait, {{"mode", 1}, {"height", 100}}, 50, 100},
        {landscape, {{"mode", 2}, {"longEdge", 80}}, 80, 40},
        {portrait, {{"mode", 2}, {"longEdge", 80}}, 40, 80},
        {landscape, {{"mode", 3}, {"shortEdge", 80}}, 160, 80},
        {portrait, {{"mode", 3}, {"shortEdge", 50}}, 50, 100},
        {landscape, {{"mode", 4}, {"width", 100}, {"height", 100}}, 100, 50},
        {landscape, {{"mode", 4}, {"width", 300}, {"height", 60}}, 120, 60},
        {landscape, {{"mode", 5}, {"width", 100}, {"height", 100}}, 100, 100},
        {portrait, {{"mode", 5}, {"width", 30}, {"height", 90}}, 30, 90},
    };
    for (const Case& c : cases) {
        Json data = c.data;
        data["image"] = c.image;
        const Reply reply = thumbnail(data);
        ASSERT_EQ(reply.code(), 200) << data << reply.body;
        const Decoded out = result(reply);
        EXPECT_EQ(out.width(), c.width) << data;
        EXPECT_EQ(out.height(), c.height) << data;
        EXPECT_TRUE(reply.data().at("filename").get<std::string>().ends_with("_thumb.png")) << reply.body;
    }
}

TEST_F(ImageEndpointTest, CutCropsTheCentre) {
    // Red on the left half, blue on the right: the centred square of a 400x100
    // image is half red, half blue.
    const std::string url =
        uploadUrl("halves.png", encode(joinLeftRight(solid(200, 100, kRed), solid(200, 100, kBlue)), ".png"));
    const Decoded out = result(thumbnail({{"mode", 5}, {"width", 100}, {"height", 100}, {"image", url}}));
    ASSERT_EQ(out.width(), 100);
    ASSERT_EQ(out.height(), 100);
    EXPECT_TRUE(near(out.pixel(5, 50), kRed)) << describe(out.pixel(5, 50));
    EXPECT_TRUE(near(out.pixel(94, 50), kBlue)) << describe(out.pixel(94, 50));
    // A fit (mode 4) keeps the whole width instead.
    const Decoded fit = result(thumbnail({{"mode", 4}, {"width", 100}, {"height", 100}, {"image", url}}));
    EXPECT_EQ(fit.width(), 100);
    EXPECT_EQ(fit.height(), 25);
}

TEST_F(ImageEndpointTest, ResultKeepsTheSourceFormat) {
    const std::string jpeg = uploadUrl("noise.jpg", encode(noise(300, 300), ".jpg"));
    const Reply low = thumbnail({{"mode", 0}, {"width", 200}, {"quality", 10}, {"image", jpeg}});
    const Reply high = thumbnail({{"mode", 0}, {"width", 200}, {"quality", 95}, {"image", jpeg}});
    ASSERT_EQ(low.code(), 200) << low.body;
    ASSERT_EQ(high.code(), 200) << high.body;
    const Reply lowFile = get("/" + low.data().at("url").get<std::string>());
    const Reply highFile = get("/" + high.data().at("url").get<std::string>());
    EXPECT_EQ(lowFile.contentType, "image/jpeg");
    EXPECT_EQ(lowFile.body.substr(0, 3), "\xFF\xD8\xFF");
    EXPECT_LT(lowFile.body.size(), highFile.body.size());  // quality reaches the encoder
    EXPECT_EQ(decode(lowFile.body).width(), 200);

    const std::string webp = uploadUrl("w.webp", encode(solid(64, 32, kBlue), ".webp"));
    const Reply fromWebp = thumbnail({{"mode", 1}, {"height", 16}, {"image", webp}});
    ASSERT_EQ(fromWebp.code(), 200) << fromWebp.body;
    const Reply webpFile = get("/" + fromWebp.data().at("url").get<std::string>());
    EXPECT_EQ(webpFile.contentType, "image/webp");
    EXPECT_EQ(decode(webpFile.body).width(), 32);

    const bool canWriteGif = vips_type_find("VipsOperation", "gifsave_buffer") != 0;
    if (canWriteGif) {
        const std::string gif = uploadUrl("g.gif", encode(solid(40, 20, kRed), ".gif"));
        const Reply fromGif = thumbnail({{"mode", 0}, {"width", 20}, {"image", gif}});
        ASSERT_EQ(fromGif.code(), 200) << fromGif.body;
        const Reply gifResult = get("/" + fromGif.data().at("url").get<std::string>());
        EXPECT_EQ(gifResult.contentType, "image/png");
        EXPECT_EQ(decode(gifResult.body).height(), 10);
    }
}

TEST_F(ImageEndpointTest, OutputTypesShapeTheReply) {
    const std::string url = uploadUrl("o.png", encode(solid(40, 20, kRed), ".png"));
    const std::size_t before = storedCount();

    const Reply inline64 = thumbnail({{"mode", 0}, {"width", 10}, {"image", url}, {"outType", 1}});
    ASSERT_EQ(inline64.code(), 200) << inline64.body;
    EXPECT_EQ(inline64.data().size(), 1u) << inline64.body;
    const auto bytes = files::decodeBase64(inline64.data().at("file").get<std::string>());
    ASSERT_TRUE(bytes);
    const Decoded decoded = decode(*bytes);
    EXPECT_EQ(decoded.width(), 10);
    EXPECT_EQ(decoded.height(), 5);
    EXPECT_EQ(storedCount(), before);  // nothing stored

    const Reply linked = thumbnail({{"mode", 0}, {"width", 10}, {"image", url}, {"outType", 2}});
    ASSERT_EQ(linked.code(), 200) << linked.body;
    const std::string absolute = linked.data().at("file").get<std::string>();
    EXPECT_EQ(absolute, base() + "/" + linked.data().at("url").get<std::string>());
    EXPECT_EQ(decode(get(pathOf(absolute)).body).width(), 10);

    // Stored results always answer a relative URL, even with absolute file URLs on.
    server_->call([&] { server_->files().setAbsoluteUrls(true); });
    const Reply stored = thumbnail({{"mode", 0}, {"width", 10}, {"image", url}});
    ASSERT_EQ(stored.code(), 200) << stored.body;
    EXPECT_TRUE(stored.data().at("url").get<std::string>().starts_with("files/group1/")) << stored.body;
    EXPECT_EQ(stored.data().at("group"), "group1");

    EXPECT_EQ(thumbnail({{"mode", 0}, {"width", 10}, {"image", url}, {"outType", 3}}).code(), 136);
    EXPECT_EQ(thumbnail({{"mode", 0}, {"width", 10}, {"image", url}, {"outType", -1}}).code(), 136);
    EXPECT_EQ(thumbnail({{"mode", 0}, {"width", 10}, {"image", url}, {"outType", "0"}}).code(), 105);
}

TEST_F(ImageEndpointTest, SourceUrlsMustNameFilesStoredHere) {
    const std::string url = uploadUrl("s.png", encode(solid(20, 20, kRed), ".png"));
    const std::string path = "/" + url;
    for (const std::string& accepted :
         std::vector<std::string>{url, path, base() + path, "http://localhost" + path, "http://127.0.0.2:1" + path,
                                  "http://[::1]:8470" + path, "https://127.0.0.1" + path}) {
        EXPECT_EQ(thumbnail({{"mode", 0}, {"width", 5}, {"image", accepted}}).code(), 200) << accepted;
    }
    for (const std::string& foreign : std::vector<std::string>{
             "http://example.com" + path, "http://10.0.0.1" + path, "https://example.com" + path,
             "ftp://127.0.0.1" + path, "file:///etc/passwd", "http://127.0.0.1:80@example.com" + path,
             "http://127.0.0.1:" + path, "http://127.0.0.1:99999x" + path, "../" + url,
             "files/group1/../" + url.substr(13), "/etc/passwd", std::string("files/group1/%2e%2e"),
             base() + path + "?x=1", std::string("")}) {
        const Reply reply = thumbnail({{"mode", 0}, {"width", 5}, {"image", foreign}});
        EXPECT_EQ(reply.code(), 131) << foreign << " " << reply.body;
    }
    EXPECT_EQ(thumbnail({{"mode", 0}, {"width", 5}, {"image", "files/group1/" + std::string(32, 'a') + ".png"}}).code(),
              130);
    EXPECT_EQ(thumbnail({{"mode", 0}, {"width", 5}}).code(), 104);
    EXPECT_EQ(thumbnail({{"mode", 0}, {"width", 5}, {"image", 7}}).code(), 105);
}

TEST_F(ImageEndpointTest, SourcesThatAreNoImagesAreRefused) {
    const std::string text = uploadUrl("t.png", "this is text, not a picture");
    EXPECT_EQ(thumbnail({{"mode", 0}, {"width", 5}, {"image", text}}).code(), 132);
    const std::string png = encode(solid(50, 50, kRed), ".png");
    const std::string truncated = uploadUrl("cut.png", png.substr(0, 20));
    const Reply broken = thumbnail({{"mode", 0}, {"width", 5}, {"image", truncated}});
    EXPECT_TRUE(broken.code() == 132 || broken.code() == 137) << broken.body;
    // The header is read before any pixel: a claimed 20000x20000 image is refused.
    const std::string bomb = uploadUrl("bomb.png", pngClaiming(20000, 20000));
    const Reply refused = thumbnail({{"mode", 0}, {"width", 5}, {"image", bomb}});
    EXPECT_EQ(refused.code(), 134) << refused.body;
    // The server is fine afterwards.
    EXPECT_EQ(thumbnail({{"mode", 0}, {"width", 5}, {"image", uploadUrl("ok.png", png)}}).code(), 200);
}

TEST_F(ImageEndpointTest, BadSizesAndModesAreServiceErrors) {
    const std::string url = uploadUrl("b.png", encode(solid(10, 1000, kRed), ".png"));
    const std::vector<std::pair<Json, int>> cases{
        {{{"mode", 0}, {"width", 0}}, 133},
        {{{"mode", 0}, {"width", -5}}, 133},
        {{{"mode", 0}, {"width", 8193}}, 133},
        {{{"mode", 0}}, 104},
        {{{"mode", 1}, {"width", 10}}, 104},
        {{{"mode", 2}, {"shortEdge", 10}}, 104},
        {{{"mode", 4}, {"width", 10}}, 104},
        {{{"mode", 5}, {"width", 10}, {"height", 0}}, 133},
        {{{"mode", 6}, {"width", 10}}, 135},
        {{{"mode", -1}, {"width", 10}}, 135},
        {{{"width", 10}}, 104},
        {{{"mode", "0"}, {"width", 10}}, 105},
        {{{"mode", 0}, {"width", 10.5}}, 105},
        {{{"mode", 0}, {"width", 10}, {"quality", 101}}, 138},
        {{{"mode", 0}, {"width", 10}, {"quality", -3}}, 138},
        // 10x1000 scaled to width 8000 would be 800000 high.
        {{{"mode", 0}, {"width", 8000}}, 134},
        {{{"mode", 3}, {"shortEdge", 100}}, 134},
    };
    for (const auto& [data, code] : cases) {
        Json request = data;
        request["image"] = url;
        const Reply reply = thumbnail(request);
        EXPECT_EQ(reply.code(), code) << request << " " << reply.body;
    }
    EXPECT_EQ(client_->postEnvelope("/7/thumbnail", nullptr).code(), 104);
}

// ---------------------------------------------------------------- watermarks

TEST_F(ImageEndpointTest, WatermarkLandsAtItsGravity) {
    const std::string source = uploadUrl("white.png", encode(solid(200, 100, kWhite), ".png"));
    const std::string mark = uploadUrl("red.png", encode(solid(20, 10, kRed), ".png"));
    auto apply = [&](const std::string& gravity, int dx, int dy, int dissolve = 100) {
        return result(watermark({{"image", source},
                                 {"watermark", mark},
                                 {"dissolve", dissolve},
                                 {"gravity", gravity},
                                 {"distanceX", dx},
                                 {"distanceY", dy}}));
    };

    const Decoded northWest = apply("NorthWest", 0, 0);
    EXPECT_EQ(northWest.width(), 200);
    EXPECT_EQ(northWest.height(), 100);
    EXPECT_TRUE(near(northWest.pixel(0, 0), kRed)) << describe(northWest.pixel(0, 0));
    EXPECT_TRUE(near(northWest.pixel(19, 9), kRed));
    EXPECT_TRUE(near(northWest.pixel(20, 10), kWhite));
    EXPECT_TRUE(near(northWest.pixel(199, 99), kWhite));

    const Decoded southEast = apply("SouthEast", 5, 5);
    EXPECT_TRUE(near(southEast.pixel(199, 99), kWhite));  // 5 px in from the corner
    EXPECT_TRUE(near(southEast.pixel(194, 94), kRed)) << describe(southEast.pixel(194, 94));
    EXPECT_TRUE(near(southEast.pixel(175, 85), kRed));
    EXPECT_TRUE(near(southEast.pixel(174, 84), kWhite));
    EXPECT_TRUE(near(southEast.pixel(0, 0), kWhite));

    const Decoded centre = apply("Center", 0, 0);
    EXPECT_TRUE(near(centre.pixel(100, 50), kRed));
    EXPECT_TRUE(near(centre.pixel(0, 0), kWhite));
    const Decoded unknown = apply("Middle", 0, 0);  // unknown names mean Center
    EXPECT_TRUE(near(unknown.pixel(100, 50), kRed));

    const Decoded north = apply("North", 0, 3);
    EXPECT_TRUE(near(north.pixel(100, 3), kRed));
    EXPECT_TRUE(near(north.pixel(100, 2), kWhite));

    // Half opacity blends; none leaves the source as it was.
    const Decoded half = apply("NorthWest", 0, 0, 50);
    EXPECT_TRUE(near(half.pixel(0, 0), Rgb{255, 128, 128}, 12)) << describe(half.pixel(0, 0));
    const Decoded none = apply("NorthWest", 0, 0, 0);
    EXPECT_TRUE(near(none.pixel(0, 0), kWhite)) << describe(none.pixel(0, 0));
}

TEST_F(ImageEndpointTest, WatermarkKeepsSourceSizeAndFormat) {
    const std::string source = uploadUrl("photo.jpg", encode(solid(120, 80, kBlue), ".jpg"));
    const std::string big = uploadUrl("big.png", encode(solid(400, 400, kRed), ".png"));
    const Reply reply = watermark({{"image", source},
                                   {"watermark", big},
                                   {"dissolve", 100},
                                   {"gravity", "NorthWest"},
                                   {"distanceX", 0},
                                   {"distanceY", 0}});
    const Decoded out = result(reply);
    EXPECT_EQ(out.width(), 120);
    EXPECT_EQ(out.height(), 80);
    EXPECT_TRUE(near(out.pixel(60, 40), kRed, 20)) << describe(out.pixel(60, 40));
    EXPECT_EQ(get("/" + reply.data().at("url").get<std::string>()).contentType, "image/jpeg");
    EXPECT_TRUE(reply.data().at("filename").get<std::string>().ends_with("_watermark.jpg")) << reply.body;

    const Reply inline64 = watermark({{"image", source},
                                      {"watermark", big},
                                      {"dissolve", 100},
                                      {"gravity", "North"},
                                      {"distanceX", 0},
                                      {"distanceY", 0},
                                      {"outType", 1}});
    ASSERT_EQ(inline64.code(), 200) << inline64.body;
    EXPECT_EQ(decode(*files::decodeBase64(inline64.data().at("file").get<std::string>())).width(), 120);
}

TEST_F(ImageEndpointTest, WatermarkErrors) {
    const std::string source = uploadUrl("src.png", encode(solid(50, 50, kWhite), ".png"));
    const std::string text = uploadUrl("notes.txt", "not an image");
    auto call = [&](Json data) {
        data["image"] = data.value("image", source);
        return watermark(std::move(data));
    };
    EXPECT_EQ(call({{"dissolve", 100}}).code(), 104);  // no watermark
    EXPECT_EQ(call({{"watermark", "http://example.com/x.png"}}).code(), 131);
    EXPECT_EQ(call({{"watermark", text}}).code(), 132);
    EXPECT_EQ(call({{"watermark", source}, {"dissolve", 101}}).code(), 105);
    EXPECT_EQ(call({{"watermark", source}, {"gravity", 4}}).code(), 105);
    EXPECT_EQ(call({{"watermark", source}, {"distanceX", 9000}}).code(), 133);
    // The most negative whole number has no absolute value of its own.
    EXPECT_EQ(call({{"watermark", source}, {"distanceX", std::numeric_limits<std::int64_t>::min()}}).code(), 133);
    EXPECT_EQ(call({{"watermark", source}, {"distanceY", std::numeric_limits<std::int64_t>::min()}}).code(), 133);
    EXPECT_EQ(call({{"watermark", source}, {"distanceX", -1e300}}).code(), 133);
    EXPECT_EQ(call({{"watermark", source}, {"dissolve", 1e300}}).code(), 105);
    EXPECT_EQ(call({{"watermark", source}, {"quality", 18446744073709551615ULL}}).code(), 138);
    EXPECT_EQ(call({{"watermark", source}, {"outType", 7}}).code(), 136);
    EXPECT_EQ(call({{"image", text}, {"watermark", source}}).code(), 132);
    EXPECT_EQ(call({{"watermark", source}}).code(), 200);
}

}  // namespace images_test
}  // namespace vorn::emulator::emutest
