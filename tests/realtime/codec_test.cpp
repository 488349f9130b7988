#include "vorn/realtime/SocketIOJSONSerialization.h"
#include "vorn/realtime/SocketIOPacket.h"

#include <gtest/gtest.h>

namespace vorn::codec_test {

const std::string kFFFD = "\xEF\xBF\xBD";

SocketIOPacket packetOf(const char* type) {
    return SocketIOPacket::initWithType(type);
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
