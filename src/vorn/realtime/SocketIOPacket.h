#pragma once

#include <nlohmann/json.hpp>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

/// The packet types of the realtime protocol; the position is the type
/// number on the wire.
inline constexpr std::array<const char*, 9> kSocketIOPacketTypes = {
    "disconnect", "connect", "heartbeat", "message", "json", "event", "ack", "error", "noop"};

/// One packet of the realtime protocol (Socket.IO revision 1). Every field
/// may be absent.
class SocketIOPacket {
public:
    SocketIOPacket() = default;
    /// A packet of the named type.
    static SocketIOPacket initWithType(std::string type);
    /// A packet of the type at that position of the table (no type when
    /// the position is outside it).
    static SocketIOPacket initWithTypeIndex(long index);

    /// The type name at a position of the table, or none.
    std::optional<std::string> typeForIndex(long index) const;
    /// The position of the type in the table; the table's size when the
    /// type is absent or unknown.
    std::size_t typeAsNumber() const;
    /// The data parsed as JSON (an object or an array); none when there is
    /// no data or it is not JSON.
    std::optional<nlohmann::json> dataAsJSON() const;

    /// The packet's text, in the namespace `endpoint` of the session that
    /// sends it: "type:id[+]:endpoint[:data]", where "ack" packets have no
    /// id field and carry ":id+data" as their data (":id" without
    /// arguments) after their own `endpoint` ("6::/chat:12+[...]"; empty
    /// when none is set, "6:::12+[...]"), and "disconnect" and "heartbeat"
    /// packets an empty endpoint.
    std::string toString(std::string_view endpoint) const;

    /// Reads one packet's text; none when it is not a packet (the form does
    /// not match, or the type number is outside 0 to 8).
    static std::optional<SocketIOPacket> fromString(std::string_view text);

    /// The id and the arguments' text of an "ack" packet's data
    /// ("12+[...]"); none when the data does not start with an id.
    struct AckData {
        /// The acknowledged message id.
        std::string id;
        /// The arguments' text.
        std::string args;
    };
    /// Splits an "ack" packet's data into `AckData`.
    static std::optional<AckData> readAckData(std::string_view data);

    /// The packets of a polling response: one framed payload
    /// ("\uFFFD" length "\uFFFD" packet ...), or one packet when the body
    /// does not start with U+FFFD.
    /// A body that is not UTF-8 holds no packets.
    static std::vector<std::string> decodePayload(std::string_view body);

    /// The type name (one of `kSocketIOPacketTypes`).
    std::optional<std::string> type;
    /// The message id; for an "ack" packet the id acknowledged.
    std::optional<std::string> pId;
    /// Sending: "data" when the acknowledgement carries data; receiving:
    /// the "+" marker or "".
    std::optional<std::string> ack;
    /// The namespace the packet was received in; for an "ack" packet sent,
    /// the namespace of the packet it answers.
    std::optional<std::string> endpoint;
    /// The packet's data text.
    std::optional<std::string> data;
    /// An event's name and arguments, filled in on receipt.
    std::optional<std::string> name;
    /// The event's arguments.
    std::optional<nlohmann::json> args;
};

}  // namespace vorn
