#pragma once

// The realtime protocol's text forms: one packet
// ("type:id[+]:endpoint[:data]"), the framing of several packets in one
// polling body (U+FFFD length U+FFFD packet ...), and the handshake's times.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace vorn::emulator::realtime {

enum class PacketType { Disconnect = 0, Connect, Heartbeat, Message, Json, Event, Ack, Error, Noop };

struct Packet {
    PacketType type = PacketType::Noop;
    std::string id;            // digits; empty when the packet has none
    bool ackWithData = false;  // the id was followed by "+": the answer carries data
    std::string endpoint;      // "" for the default namespace
    std::optional<std::string> data;
};

// Parses one packet; nullopt for malformed text or an unknown type. An ack
// in a namespace is "6::/ns:ID+ARGS", like any packet's endpoint.
std::optional<Packet> parsePacket(std::string_view text);
std::string formatPacket(const Packet& packet);
// A packet without an id.
std::string packetText(PacketType type, std::string_view endpoint, std::optional<std::string_view> data = {});

// An ack packet's data: "ID" or "ID+JSONARRAY". nullopt when malformed.
// ackNumber reads the id as a number; nullopt past 64 bits.
struct AckData {
    std::string id;
    std::optional<std::string> args;  // the JSON text after "+"
};
std::optional<AckData> parseAckData(std::string_view data);
std::optional<std::uint64_t> ackNumber(std::string_view id);

// The data of an event packet: {"name":NAME,"args":ARGS}, compact, "args"
// left out when null; a non-array is sent as a one-element array.
std::string eventData(const std::string& name, const nlohmann::json& args);

// True when JSON text nests arrays and objects at most `limit` deep (checked
// before parsing: deeper values would exhaust the stack when written back).
bool jsonNestingWithin(std::string_view text, std::size_t limit);

// The length of UTF-8 text in UTF-16 code units (an invalid byte counts as one).
std::size_t utf16Length(std::string_view utf8);
// How many bytes of utf8 make exactly `units` UTF-16 code units; nullopt when
// the text is shorter or the count ends inside a character.
std::optional<std::size_t> utf8BytesForUnits(std::string_view utf8, std::size_t units);

inline constexpr std::string_view kFrameMarker = "\xEF\xBF\xBD";  // U+FFFD

// One packet as it is, several framed.
std::string encodePayload(const std::vector<std::string>& packets);
// The packets of a polling body: framed ones when it begins with U+FFFD
// (lengths in UTF-16 units, or else in bytes, or else split at the markers),
// otherwise the whole body as one packet. Empty for an empty body.
std::vector<std::string> decodePayload(std::string_view body);

// Seconds as the handshake writes them: "60", "0.5", "1.25".
std::string secondsText(std::chrono::milliseconds duration);

}  // namespace vorn::emulator::realtime
