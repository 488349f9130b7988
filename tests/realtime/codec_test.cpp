#include "vorn/core/Utf8.h"
#include "vorn/realtime/SocketIOJSONSerialization.h"
#include "vorn/realtime/SocketIOPacket.h"

#include <gtest/gtest.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <array>
#include <memory>
#include <optional>
#include <random>

namespace vorn::codec_test {

const std::string kFFFD = "\xEF\xBF\xBD";

SocketIOPacket packetOf(const char* type) {
    return SocketIOPacket::initWithType(type);
}

/// The regular expressions that define what a packet and an ack's data
/// are, run by ICU: the reference the library's scanners must agree with.
class Reference {
public:
    explicit Reference(const char* text) {
        UErrorCode status = U_ZERO_ERROR;
        pattern_.reset(icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(text), 0, status));
        EXPECT_TRUE(U_SUCCESS(status));
    }
    /// The groups (empty text for a group that took no part), or none.
    std::optional<std::vector<std::string>> match(const std::string& text, bool whole, int groups) const {
        UErrorCode status = U_ZERO_ERROR;
        const icu::UnicodeString input = icu::UnicodeString::fromUTF8(text);  // the matcher keeps a reference
        std::unique_ptr<icu::RegexMatcher> matcher(pattern_->matcher(input, status));
        const bool found = whole ? matcher->find(status) : matcher->lookingAt(status);
        if (U_FAILURE(status) || !found) return std::nullopt;
        std::vector<std::string> result;
        for (int group = 1; group <= groups; ++group) {
            std::string piece;
            if (matcher->start(group, status) >= 0) matcher->group(group, status).toUTF8String(piece);
            status = U_ZERO_ERROR;
            result.push_back(piece);
        }
        return result;
    }

private:
    std::unique_ptr<icu::RegexPattern> pattern_;
};

const Reference& packetReference() {
    static const Reference reference(R"(^([^:]+):([0-9]+)?(\+)?:([^:]+)?:?(.*)?$)");
    return reference;
}

const Reference& ackReference() {
    static const Reference reference(R"(^([0-9]+)(\+)?(.*))");
    return reference;
}

/// Checks the library's reading of `text` against the reference patterns.
void expectAgreement(const std::string& text) {
    const auto expected = packetReference().match(text, true, 5);
    const auto packet = SocketIOPacket::fromString(text);
    if (!expected) {
        ASSERT_FALSE(packet) << testing::PrintToString(text);
        return;
    }
    // A match with a type outside 0 to 8 is dropped as well.
    if (!packet) return;
    EXPECT_EQ(packet->pId, (*expected)[1]) << testing::PrintToString(text);
    EXPECT_EQ(packet->ack, (*expected)[2]) << testing::PrintToString(text);
    EXPECT_EQ(packet->endpoint, (*expected)[3]) << testing::PrintToString(text);
    ASSERT_EQ(packet->data, (*expected)[4]) << testing::PrintToString(text);

    const auto ack = ackReference().match(*packet->data, false, 3);
    const auto read = SocketIOPacket::readAckData(*packet->data);
    ASSERT_EQ(ack.has_value(), read.has_value()) << testing::PrintToString(*packet->data);
    if (ack) {
        EXPECT_EQ(read->id, (*ack)[0]);
        ASSERT_EQ(read->args, (*ack)[2]) << testing::PrintToString(*packet->data);
    }
}

/// The UTF-16 length of UTF-8 text, as framing servers count it.
std::size_t utf16Length(const std::string& text) {
    return static_cast<std::size_t>(icu::UnicodeString::fromUTF8(text).length());
}

std::string framed(const std::vector<std::string>& packets) {
    std::string body;
    for (const std::string& packet : packets) body += kFFFD + std::to_string(utf16Length(packet)) + kFFFD + packet;
    return body;
}

TEST(SocketIOPacket, TypeTableByNameAndPosition) {
    EXPECT_EQ(SocketIOPacket::initWithTypeIndex(0).type, "disconnect");
    EXPECT_EQ(SocketIOPacket::initWithTypeIndex(5).type, "event");
    EXPECT_EQ(SocketIOPacket::initWithTypeIndex(8).type, "noop");
    EXPECT_FALSE(SocketIOPacket::initWithTypeIndex(9).type);
    EXPECT_FALSE(SocketIOPacket::initWithTypeIndex(-1).type);
    EXPECT_EQ(packetOf("ack").typeAsNumber(), 6u);
    EXPECT_EQ(packetOf("heartbeat").typeForIndex(3), "message");
    EXPECT_EQ(packetOf("bogus").typeAsNumber(), kSocketIOPacketTypes.size());
}

TEST(SocketIOPacket, WritesEachTypeAsTheWireWantsIt) {
    EXPECT_EQ(packetOf("heartbeat").toString("/ns"), "2::");
    EXPECT_EQ(packetOf("disconnect").toString("/ns"), "0::");
    EXPECT_EQ(packetOf("connect").toString("/ns"), "1::/ns");

    SocketIOPacket message = packetOf("message");
    message.pId = "1";
    message.data = "text";
    EXPECT_EQ(message.toString(""), "3:1::text");
    EXPECT_EQ(message.toString("/chat"), "3:1:/chat:text");

    SocketIOPacket event = packetOf("event");
    event.data = R"({"name":"x"})";
    EXPECT_EQ(event.toString(""), R"(5:::{"name":"x"})");
    event.pId = "4";
    event.ack = "data";
    EXPECT_EQ(event.toString(""), R"(5:4+::{"name":"x"})");

    SocketIOPacket ack = packetOf("ack");
    ack.pId = "12";
    ack.ack = "data";
    ack.data = R"(["a"])";
    EXPECT_EQ(ack.toString("/ns"), R"(6:::12+["a"])");

    // No data: no data field at all.
    EXPECT_EQ(packetOf("json").toString(""), "4::");
}

TEST(SocketIOPacket, ReadsPacketsAndTheirGroups) {
    auto heartbeat = SocketIOPacket::fromString("2::");
    ASSERT_TRUE(heartbeat);
    EXPECT_EQ(heartbeat->type, "heartbeat");
    EXPECT_EQ(heartbeat->pId, "");
    EXPECT_EQ(heartbeat->endpoint, "");
    EXPECT_EQ(heartbeat->data, "");

    auto connect = SocketIOPacket::fromString("1::/chat");
    ASSERT_TRUE(connect);
    EXPECT_EQ(connect->type, "connect");
    EXPECT_EQ(connect->endpoint, "/chat");

    auto event = SocketIOPacket::fromString(R"(5:7+::{"name":"n","args":[1]})");
    ASSERT_TRUE(event);
    EXPECT_EQ(event->pId, "7");
    EXPECT_EQ(event->ack, "+");
    EXPECT_EQ(event->endpoint, "");
    EXPECT_EQ(event->data, R"({"name":"n","args":[1]})");
    EXPECT_EQ(event->dataAsJSON().value()["args"][0], 1);

    auto ack = SocketIOPacket::fromString(R"(6:::3+["a","b"])");
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->data, R"(3+["a","b"])");
    auto ackData = SocketIOPacket::readAckData(*ack->data);
    ASSERT_TRUE(ackData);
    EXPECT_EQ(ackData->id, "3");
    EXPECT_EQ(ackData->args, R"(["a","b"])");
    EXPECT_FALSE(SocketIOPacket::readAckData("+[1]"));

    // Data may hold colons.
    auto message = SocketIOPacket::fromString("3::/n:a:b:c");
    ASSERT_TRUE(message);
    EXPECT_EQ(message->endpoint, "/n");
    EXPECT_EQ(message->data, "a:b:c");
}

TEST(SocketIOPacket, TypeNumbersAndWhatIsDropped) {
    // Read as an integer prefix: white space and sign allowed, no digits give 0.
    EXPECT_EQ(SocketIOPacket::fromString(" 3::x")->type, "message");
    EXPECT_EQ(SocketIOPacket::fromString("4abc::")->type, "json");
    EXPECT_EQ(SocketIOPacket::fromString("x::")->type, "disconnect");
    EXPECT_FALSE(SocketIOPacket::fromString("9::"));
    EXPECT_FALSE(SocketIOPacket::fromString("-1::"));
    EXPECT_FALSE(SocketIOPacket::fromString("99999999999999999999::"));
    EXPECT_FALSE(SocketIOPacket::fromString(""));
    EXPECT_FALSE(SocketIOPacket::fromString("3"));
    // A line break inside the data does not match; one at the very end does.
    EXPECT_FALSE(SocketIOPacket::fromString("3:::one\ntwo"));
    EXPECT_EQ(SocketIOPacket::fromString("3:::one\n")->data, "one");
    EXPECT_FALSE(SocketIOPacket::fromString("3:::\xff"));
}

TEST(SocketIOPacket, PayloadFraming) {
    const std::string body = kFFFD + "3" + kFFFD + "2::" + kFFFD + "9" + kFFFD + "3:::hello";
    EXPECT_EQ(SocketIOPacket::decodePayload(body), (std::vector<std::string>{"2::", "3:::hello"}));
    // Not framed: one packet.
    EXPECT_EQ(SocketIOPacket::decodePayload("3:::a"), (std::vector<std::string>{"3:::a"}));
    // A packet holding U+FFFD is split there; the second half counts as a length.
    const std::string split = kFFFD + "5" + kFFFD + "3:::a" + kFFFD + "b" + kFFFD + "2" + kFFFD + "2::";
    EXPECT_EQ(SocketIOPacket::decodePayload(split), (std::vector<std::string>{"3:::a", "2"}));
    EXPECT_TRUE(SocketIOPacket::decodePayload(kFFFD).empty());
    EXPECT_TRUE(SocketIOPacket::decodePayload("\xC3").empty());
}

TEST(SocketIOPacket, ReadingAgreesWithThePatternOnRandomAndMutatedText) {
    // Pieces that matter to the patterns: separators, digits, the "+"
    // marker, every line terminator (CR LF too), characters of two to four
    // bytes, and U+FFFD.
    const std::array<std::string, 20> pieces = {":",
                                                ":",
                                                ":",
                                                "+",
                                                "0",
                                                "5",
                                                "7",
                                                "a",
                                                "/n",
                                                " ",
                                                "-",
                                                "\n",
                                                "\r",
                                                "\r\n",
                                                "\v",
                                                "\f",
                                                "\xC2\x85",
                                                "\xE2\x80\xA8",
                                                "\xE2\x80\xA9",
                                                "\xC3\xA9\xF0\x9F\x98\x80" + kFFFD};
    std::mt19937 random(20261209);
    for (int round = 0; round < 150000; ++round) {
        std::string text;
        const int length = static_cast<int>(random() % 12);
        for (int i = 0; i < length; ++i) text += pieces[random() % pieces.size()];
        expectAgreement(text);
        if (HasFatalFailure()) return;
    }
    // Well-formed packets, each mutated at one place.
    const std::array<std::string, 6> seeds = {
        "5:7+:/chat:{\"name\":\"n\",\"args\":[1]}", "6:::12+[\"a\"]", "2::", "1::/chat", "3:1::a:b:c\n", "4::/x:[1,2]"};
    for (int round = 0; round < 100000; ++round) {
        std::string text = seeds[random() % seeds.size()];
        const std::size_t at = random() % (text.size() + 1);
        switch (random() % 3) {
            case 0:
                text.insert(at, pieces[random() % pieces.size()]);
                break;
            case 1:
                if (at < text.size()) text.erase(at, 1);
                break;
            default:
                text.insert(text.size(), pieces[random() % pieces.size()]);
                break;
        }
        if (!utf8::isValid(text)) continue;
        expectAgreement(text);
        if (HasFatalFailure()) return;
    }
}

TEST(SocketIOPacket, HostileTextIsReadInOnePass) {
    // Texts that made the pattern backtrack over their whole length: each
    // megabyte is refused (or read) in one pass.
    const std::string run(std::size_t{1} << 20, 'a');
    EXPECT_FALSE(SocketIOPacket::fromString("3::" + run + ":\nx"));
    EXPECT_FALSE(SocketIOPacket::fromString("3::" + std::string(std::size_t{1} << 20, ':') + "\nx"));
    EXPECT_FALSE(SocketIOPacket::fromString("3:" + std::string(std::size_t{1} << 20, '7') + "x:"));
    const auto longData = SocketIOPacket::fromString("3::" + run + ":" + run);
    ASSERT_TRUE(longData);
    EXPECT_EQ(longData->data->size(), run.size());
    EXPECT_EQ(SocketIOPacket::readAckData(std::string(std::size_t{1} << 20, '9') + "+x")->args, "x");
    // And they agree with the pattern on a size it can still take.
    expectAgreement("3::" + std::string(2000, 'a') + ":\nx");
}

TEST(SocketIOPacket, PayloadsAreReadByTheirAnnouncedLengths) {
    // A packet holding U+FFFD stays whole, and the packet after it arrives.
    const std::string event = "5:::{\"name\":\"n\",\"args\":[\"a" + kFFFD + "b\"]}";
    const std::vector<std::string> packets = {event, "3:::after", "3:::\xF0\x9F\x98\x80" + kFFFD};
    EXPECT_EQ(SocketIOPacket::decodePayload(framed(packets)), packets);
    const auto read = SocketIOPacket::fromString(SocketIOPacket::decodePayload(framed(packets))[0]);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->dataAsJSON().value()["args"][0], "a" + kFFFD + "b");
    // Lengths that do not fit (too long, cutting a character, not digits):
    // the body is split at every U+FFFD instead.
    EXPECT_EQ(SocketIOPacket::decodePayload(kFFFD + "9" + kFFFD + "2::"), (std::vector<std::string>{"2::"}));
    EXPECT_EQ(SocketIOPacket::decodePayload(kFFFD + "1" + kFFFD + "\xC3\xA9x" + kFFFD + "1" + kFFFD + "x"),
              (std::vector<std::string>{"\xC3\xA9x", "x"}));
    EXPECT_EQ(SocketIOPacket::decodePayload(kFFFD + "99999999999999999999" + kFFFD + "2::"),
              (std::vector<std::string>{"2::"}));
}

TEST(SocketIOJSONSerialization, CompactObjectsAndArraysOnly) {
    EXPECT_EQ(SocketIOJSONSerialization::JSONStringFromObject({{"a", {1, 2}}, {"b", "c d"}}),
              R"({"a":[1,2],"b":"c d"})");
    OptionalError error;
    EXPECT_FALSE(SocketIOJSONSerialization::JSONStringFromObject(5, &error));
    EXPECT_TRUE(error);
    EXPECT_FALSE(SocketIOJSONSerialization::JSONStringFromObject(nlohmann::json::array({std::nan("")})));
    EXPECT_FALSE(SocketIOJSONSerialization::JSONStringFromObject(nlohmann::json::array({"\xff"})));

    EXPECT_EQ(SocketIOJSONSerialization::objectFromJSONData(R"([1, {"a":true}])").value()[1]["a"], true);
    EXPECT_FALSE(SocketIOJSONSerialization::objectFromJSONData("\"text\""));
    EXPECT_FALSE(SocketIOJSONSerialization::objectFromJSONData("{"));
    SocketIOPacket packet;
    EXPECT_FALSE(packet.dataAsJSON());
    packet.data = "not json";
    EXPECT_FALSE(packet.dataAsJSON());
}

}  // namespace vorn::codec_test
