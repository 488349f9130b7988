// The pieces that stand on their own: URLs, the accept digest, the origin,
// the read-request pool, the header scanner and the UTF-8 rule.
#include "WsTestPeer.h"
#include "WsTestSupport.h"

#include <gtest/gtest.h>

namespace vorn::test {
namespace {

using Peer = SRWebSocketTestPeer;

TEST(WebSocketSupport, UrlsAreTakenApart) {
    auto url = SRURL::URLWithString("WSS://user@Example.com:8443/a/b?c=d#e");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->scheme(), "WSS");
    EXPECT_EQ(url->host(), "Example.com");
    EXPECT_EQ(url->port(), std::uint16_t{8443});
    EXPECT_EQ(url->requestTarget(), "/a/b?c=d");
    EXPECT_EQ(SRURL::URLWithString("ws://h")->requestTarget(), "/");
    EXPECT_FALSE(SRURL::URLWithString("ws://h:")->port().has_value());
    EXPECT_EQ(SRURL::URLWithString("ws://[::1]:80/")->host(), "::1");
    EXPECT_FALSE(SRURL::URLWithString("ws://h:65536/"));
    EXPECT_FALSE(SRURL::URLWithString("ws:///path"));
    EXPECT_FALSE(SRURL::URLWithString("no scheme"));
}

TEST(WebSocketSupport, AcceptDigestAndOrigin) {
    // The example of RFC 6455, section 1.3.
    EXPECT_EQ(
        stringBySHA1ThenBase64Encoding(std::string("dGhlIHNhbXBsZSBub25jZQ==258EAFA5-E914-47DA-95CA-C5AB0DC85B11")),
        "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    const std::uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(stringBySHA1ThenBase64Encoding(std::span<const std::uint8_t>(abc)), "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
    EXPECT_EQ(SR_origin(*SRURL::URLWithString("wss://h.example/x")), "https://h.example/");
    EXPECT_EQ(SR_origin(*SRURL::URLWithString("Ws://h:81/x")), "http://h:81/");
    EXPECT_EQ(SR_origin(*SRURL::URLWithString("https://h/")), "https://h/");
}

TEST(WebSocketSupport, ConsumerPoolRecyclesLastInFirstOut) {
    SRIOConsumerPool pool(2);
    auto first = pool.consumerWithScanner(nullptr, nullptr, 2, false, false);
    auto second = pool.consumerWithScanner(nullptr, nullptr, 3, true, true);
    auto third = pool.consumerWithScanner(nullptr, nullptr, 4, false, false);
    EXPECT_TRUE(second->readToCurrentFrame());
    EXPECT_TRUE(second->unmaskBytes());
    SRIOConsumer* secondAddress = second.get();
    pool.returnConsumer(std::move(first));
    pool.returnConsumer(std::move(second));
    pool.returnConsumer(std::move(third));  // the pool is full: dropped
    EXPECT_EQ(pool.bufferedCount(), 2u);
    auto reused = pool.consumerWithScanner([](std::span<const std::uint8_t>) { return std::size_t{1}; }, nullptr, 0,
                                           false, false);
    EXPECT_EQ(reused.get(), secondAddress);
    EXPECT_TRUE(reused->consumer());
    EXPECT_EQ(reused->bytesNeeded(), 0u);
    EXPECT_FALSE(reused->readToCurrentFrame());
    EXPECT_EQ(SRIOConsumerPool().poolSize(), 8u);
}

TEST(WebSocketSupport, HeaderScannerRestartsAtZeroOnAMismatch) {
    EXPECT_EQ(Peer::scanForHeaderEnd("HTTP/1.1 101 OK\r\n\r\nrest"), 19u);
    EXPECT_EQ(Peer::scanForHeaderEnd("\r\n\r"), 0u);
    // After CR LF CR a second CR counts as nothing, so no end is found here...
    EXPECT_EQ(Peer::scanForHeaderEnd("a\r\n\r\r\n\r"), 0u);
    // ...and the next complete CR LF CR LF is the end.
    EXPECT_EQ(Peer::scanForHeaderEnd("a\r\n\r\r\n\r\n\r\n"), 10u);
}

TEST(WebSocketSupport, Utf8IsProvenIncrementally) {
    struct Case {
        const char* bytes;
        std::size_t size;
        std::int64_t valid;
    };
    const Case cases[] = {
        {"plain ascii text", 16, 16},
        {"h\xC3\xA9", 3, 3},
        {"h\xC3", 2, 1},               // cut after a lead byte
        {"\xE2\x82", 2, 0},            // cut inside three bytes
        {"a\xF0\x9F\x98", 4, 1},       // cut inside four bytes
        {"\xEF\xBF\xBE", 3, 3},        // noncharacters are fine
        {"\xF4\x8F\xBF\xBF", 4, 4},    // U+10FFFF
        {"\xF4\x90\x80\x80x", 5, -1},  // above U+10FFFF
        {"\xF4\x90\x80\x80", 4, 0},    // the same at the very end: only held over
        {"\xED\xA0\x80x", 4, -1},      // a surrogate
        {"\xC0\xAFx", 3, -1},          // overlong
        {"\xE0\x80\x80x", 4, -1},      // overlong
        {"a\xFF", 2, -1},
        {"a\x80", 2, -1},  // continuation where a lead belongs
        {"a\xC3(", 3, -1},
        {"a\xF8\x88", 3, 1},  // a five-byte lead cut off: held over
        {"a\xF8\x88\x80\x80\x80x", 7, -1},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(entry.bytes, entry.size)));
        EXPECT_EQ(Peer::validatedUTF8Length(std::string_view(entry.bytes, entry.size)), entry.valid);
        EXPECT_EQ(Peer::isValidUTF8(std::string_view(entry.bytes, entry.size)),
                  entry.valid == static_cast<std::int64_t>(entry.size));
    }
}

}  // namespace
}  // namespace vorn::test
