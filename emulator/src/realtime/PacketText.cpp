#include "PacketText.h"

#include <charconv>

namespace vorn::emulator::realtime {

namespace {

constexpr std::size_t kMaxIdDigits = 20;
constexpr std::size_t kMaxLengthDigits = 10;

bool allDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The byte length and UTF-16 units of the character at text[at]; an invalid
// sequence is one byte, one unit.
struct CharSize {
    std::size_t bytes = 1;
    std::size_t units = 1;
};

CharSize charAt(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    if (lead < 0x80) return {};
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
    } else {
        return {};
    }
    if (at + length > text.size()) return {};
    for (std::size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return {};
    }
    return {length, length == 4 ? std::size_t{2} : std::size_t{1}};
}

// Framed packets with lengths counted by `byUnits` (UTF-16 units) or bytes.
std::optional<std::vector<std::string>> decodeFrames(std::string_view body, bool byUnits) {
    std::vector<std::string> packets;
    std::size_t at = 0;
    while (at < body.size()) {
        if (body.substr(at, kFrameMarker.size()) != kFrameMarker) return std::nullopt;
        at += kFrameMarker.size();
        const std::size_t end = body.find(kFrameMarker, at);
        if (end == std::string_view::npos) return std::nullopt;
        const std::string_view digits = body.substr(at, end - at);
        if (!allDigits(digits) || digits.size() > kMaxLengthDigits) return std::nullopt;
        const std::size_t length = std::stoull(std::string(digits));
        at = end + kFrameMarker.size();
        const std::string_view rest = body.substr(at);
        std::optional<std::size_t> bytes;
        if (byUnits) {
            bytes = utf8BytesForUnits(rest, length);
        } else if (length <= rest.size()) {
            bytes = length;
        }
        if (!bytes) return std::nullopt;
        packets.emplace_back(rest.substr(0, *bytes));
        at += *bytes;
    }
    return packets;
}

}  // namespace

std::optional<Packet> parsePacket(std::string_view text) {
    const std::size_t typeEnd = text.find(':');
    if (typeEnd != 1 || text[0] < '0' || text[0] > '8') return std::nullopt;
    const std::size_t idEnd = text.find(':', typeEnd + 1);
    if (idEnd == std::string_view::npos) return std::nullopt;
    Packet packet;
    packet.type = static_cast<PacketType>(text[0] - '0');
    std::string_view id = text.substr(typeEnd + 1, idEnd - typeEnd - 1);
    if (!id.empty() && id.back() == '+') {
        packet.ackWithData = true;
        id.remove_suffix(1);
        if (id.empty()) return std::nullopt;
    }
    if (!id.empty() && (!allDigits(id) || id.size() > kMaxIdDigits)) return std::nullopt;
    packet.id = id;
    const std::size_t endpointEnd = text.find(':', idEnd + 1);
    if (endpointEnd == std::string_view::npos) {
        packet.endpoint = text.substr(idEnd + 1);
    } else {
        packet.endpoint = text.substr(idEnd + 1, endpointEnd - idEnd - 1);
        packet.data = std::string(text.substr(endpointEnd + 1));
    }
    return packet;
}

std::string formatPacket(const Packet& packet) {
    std::string text = std::to_string(static_cast<int>(packet.type));
    text += ':';
    text += packet.id;
    if (packet.ackWithData) text += '+';
    text += ':';
    text += packet.endpoint;
    if (packet.data) {
        text += ':';
        text += *packet.data;
    }
    return text;
}

std::string packetText(PacketType type, std::string_view endpoint, std::optional<std::string_view> data) {
    Packet packet;
    packet.type = type;
    packet.endpoint = endpoint;
    if (data) packet.data = std::string(*data);
    return formatPacket(packet);
}

std::optional<AckData> parseAckData(std::string_view data) {
    const std::size_t plus = data.find('+');
    AckData ack;
    ack.id = data.substr(0, plus);
    if (!allDigits(ack.id) || ack.id.size() > kMaxIdDigits) return std::nullopt;
    if (plus != std::string_view::npos) ack.args = std::string(data.substr(plus + 1));
    return ack;
}

std::optional<std::uint64_t> ackNumber(std::string_view id) {
    if (!allDigits(id)) return std::nullopt;
    std::uint64_t number = 0;
    const auto [end, error] = std::from_chars(id.data(), id.data() + id.size(), number);
    if (error != std::errc() || end != id.data() + id.size()) return std::nullopt;
    return number;
}

std::string eventData(const std::string& name, const nlohmann::json& args) {
    std::string text = "{\"name\":" + nlohmann::json(name).dump();
    if (!args.is_null()) {
        text += ",\"args\":";
        text += args.is_array() ? args.dump() : nlohmann::json::array({args}).dump();
    }
    text += '}';
    return text;
}

bool jsonNestingWithin(std::string_view text, std::size_t limit) {
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

std::size_t utf16Length(std::string_view utf8) {
    std::size_t units = 0;
    for (std::size_t at = 0; at < utf8.size();) {
        const CharSize size = charAt(utf8, at);
        at += size.bytes;
        units += size.units;
    }
    return units;
}

std::optional<std::size_t> utf8BytesForUnits(std::string_view utf8, std::size_t units) {
    std::size_t at = 0;
    std::size_t counted = 0;
    while (counted < units) {
        if (at >= utf8.size()) return std::nullopt;
        const CharSize size = charAt(utf8, at);
        at += size.bytes;
        counted += size.units;
    }
    if (counted != units) return std::nullopt;
    return at;
}

std::string encodePayload(const std::vector<std::string>& packets) {
    if (packets.size() == 1) return packets.front();
    std::string body;
    for (const std::string& packet : packets) {
        body += kFrameMarker;
        body += std::to_string(utf16Length(packet));
        body += kFrameMarker;
        body += packet;
    }
    return body;
}

std::vector<std::string> decodePayload(std::string_view body) {
    if (body.empty()) return {};
    if (body.substr(0, kFrameMarker.size()) != kFrameMarker) return {std::string(body)};
    if (auto packets = decodeFrames(body, true)) return std::move(*packets);
    if (auto packets = decodeFrames(body, false)) return std::move(*packets);
    // The lengths do not add up: every piece between markers that is not a
    // bare number is taken as a packet.
    std::vector<std::string> packets;
    std::size_t at = 0;
    while (at <= body.size()) {
        std::size_t end = body.find(kFrameMarker, at);
        if (end == std::string_view::npos) end = body.size();
        const std::string_view piece = body.substr(at, end - at);
        if (!piece.empty() && !allDigits(piece)) packets.emplace_back(piece);
        at = end + kFrameMarker.size();
    }
    return packets;
}

std::string secondsText(std::chrono::milliseconds duration) {
    const long long ms = duration.count();
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 == 0) return text;
    std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
    while (fraction.back() == '0') fraction.pop_back();
    return text + "." + fraction;
}

}  // namespace vorn::emulator::realtime
