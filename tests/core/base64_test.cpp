#include "vorn/core/vBase64.h"

#include <gtest/gtest.h>

#include <random>

using vorn::Bytes;
using vorn::vBase64;

namespace {

Bytes bytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}
std::string text(const std::optional<Bytes>& data) {
    return data ? std::string(data->begin(), data->end()) : "<none>";
}

}  // namespace

TEST(Base64, EncodesInBothAlphabets) {
    EXPECT_EQ(vBase64::stringByEncodingData(bytes("abc")), "YWJj");
    EXPECT_EQ(vBase64::stringByEncodingData(bytes("ab")), "YWI=");
    EXPECT_EQ(vBase64::stringByEncodingData(bytes("a")), "YQ==");
    EXPECT_EQ(vBase64::stringByWebSafeEncodingData(bytes("ab"), false), "YWI");
    EXPECT_EQ(vBase64::stringByWebSafeEncodingData(bytes("ab"), true), "YWI=");
    EXPECT_EQ(vBase64::stringByWebSafeEncodingData(bytes("a"), false), "YQ");
    // 0xFB 0xFF uses the last two characters of each alphabet.
    const Bytes high{0xFB, 0xFF, 0xBF};
    EXPECT_EQ(vBase64::stringByEncodingData(high), "+/+/");
    EXPECT_EQ(vBase64::stringByWebSafeEncodingData(high, true), "-_-_");
    EXPECT_EQ(text(vBase64::encodeBytes("foobar", 6)), "Zm9vYmFy");
}

TEST(Base64, EmptyOrMissingInputHasNoResult) {
    EXPECT_FALSE(vBase64::encodeData({}));
    EXPECT_FALSE(vBase64::encodeBytes(nullptr, 3));
    EXPECT_FALSE(vBase64::stringByWebSafeEncodingData({}, true));
    EXPECT_FALSE(vBase64::decodeString(""));
    EXPECT_FALSE(vBase64::webSafeDecodeString(""));
    EXPECT_FALSE(vBase64::decodeString(" \n\t"));  // yields no bytes
    EXPECT_FALSE(vBase64::decodeString("===="));
}

TEST(Base64, DecoderSkipsWhiteSpaceAndStopsAtNul) {
    EXPECT_EQ(text(vBase64::decodeString("YW\nJj")), "abc");
    EXPECT_EQ(text(vBase64::decodeString(" Y W J j \r\n")), "abc");
    const Bytes withHighSpaces{'Y', 0xA0, 'W', 0xFF, 'J', 'j'};
    EXPECT_EQ(text(vBase64::decodeData(withHighSpaces)), "abc");
    const Bytes withNul{'Y', 'W', 'J', 'j', 0, '!', '!'};
    EXPECT_EQ(text(vBase64::decodeData(withNul)), "abc");
    EXPECT_EQ(text(vBase64::decodeString("YWI= \n")), "ab");
    EXPECT_EQ(text(vBase64::decodeString("YQ= =")), "a");
}

TEST(Base64, PaddingRulesDifferByAlphabet) {
    EXPECT_FALSE(vBase64::decodeString("YWI"));
    EXPECT_EQ(text(vBase64::webSafeDecodeString("YWI")), "ab");
    EXPECT_EQ(text(vBase64::webSafeDecodeString("YWI=")), "ab");
    EXPECT_EQ(text(vBase64::webSafeDecodeString("YQ")), "a");
    // A single leftover character never decodes.
    EXPECT_FALSE(vBase64::webSafeDecodeString("YWJjY"));
    EXPECT_FALSE(vBase64::decodeString("YWJjY"));
}

TEST(Base64, RejectsMalformedInput) {
    EXPECT_FALSE(vBase64::decodeString("YWJ="));  // leftover bits not zero
    EXPECT_FALSE(vBase64::decodeString("YR=="));  // leftover bits not zero
    EXPECT_FALSE(vBase64::decodeString("YQ="));   // state 2 needs a second "="
    EXPECT_FALSE(vBase64::decodeString("Y==="));  // "=" too early
    EXPECT_FALSE(vBase64::decodeString("=YWJ"));
    EXPECT_FALSE(vBase64::decodeString("YWI=x"));  // data after the padding
    EXPECT_FALSE(vBase64::decodeString("YQ==YQ=="));
    EXPECT_FALSE(vBase64::decodeString("YW-j"));
    EXPECT_FALSE(vBase64::webSafeDecodeString("YW+j"));
    EXPECT_FALSE(vBase64::webSafeDecodeString("YW/j"));
    EXPECT_FALSE(vBase64::decodeString("YWJ\xC3\xA9"));  // not ASCII
    EXPECT_EQ(text(vBase64::decodeString("YWI=\0garbage")), "ab");
}

TEST(Base64, WorkersReportBytesWrittenAndRefuseSmallBuffers) {
    char out[8] = {};
    EXPECT_EQ(vBase64::baseEncode("abc", 3, out, sizeof(out), vBase64::kStandardCharset, true), 4u);
    EXPECT_EQ(std::string(out, 4), "YWJj");
    EXPECT_EQ(vBase64::baseEncode("abc", 3, out, 3, vBase64::kStandardCharset, true), 0u);
    char decoded[3] = {};
    EXPECT_EQ(vBase64::baseDecode("YWJj", 4, decoded, 3, vBase64::standardDecodeTable(), true), 3u);
    EXPECT_EQ(vBase64::baseDecode("YWJj", 4, decoded, 2, vBase64::standardDecodeTable(), true), 0u);
    EXPECT_EQ(vBase64::encodedLength(4, true), 8u);
    EXPECT_EQ(vBase64::encodedLength(4, false), 6u);
}

TEST(Base64, RoundTripsRandomBytesInEveryForm) {
    std::mt19937 random(1234);
    for (int length = 1; length < 300; ++length) {
        Bytes data(static_cast<std::size_t>(length));
        for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
        auto standard = vBase64::encodeData(data);
        ASSERT_TRUE(standard);
        EXPECT_EQ(standard->size(), vBase64::encodedLength(data.size(), true));
        EXPECT_EQ(vBase64::decodeData(*standard), data);
        for (bool padded : {true, false}) {
            auto webSafe = vBase64::webSafeEncodeData(data, padded);
            ASSERT_TRUE(webSafe);
            EXPECT_EQ(webSafe->size(), vBase64::encodedLength(data.size(), padded));
            EXPECT_EQ(vBase64::webSafeDecodeData(*webSafe), data) << length;
        }
    }
}
