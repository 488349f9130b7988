#include "vorn/realtime/SocketIOPacket.h"

#include "vorn/core/Utf8.h"
#include "vorn/realtime/SocketIOJSONSerialization.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <iostream>
#include <optional>

namespace vorn {
namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// Packets are read by hand-written scanners rather than regular
// expressions: one pass over the text whatever it holds. Each accepts
// exactly what its pattern accepts, with the same groups:
//   packet: ^([^:]+):([0-9]+)?(\+)?:([^:]+)?:?(.*)?$
//   ack data: ^([0-9]+)(\+)?(.*)   (matched at the start only)
// where "." matches any character but a line terminator, and "$" matches at
// the end of the text or just before one line terminator that ends it.

/// The length in bytes of the line terminator at `text[at]` (LF, VT, FF, CR,
/// U+0085, U+2028, U+2029), 0 when there is none there.
std::size_t terminatorAt(std::string_view text, std::size_t at) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c >= 0x0A && c <= 0x0D) return 1;
    if (c == 0xC2 && at + 1 < text.size() && static_cast<unsigned char>(text[at + 1]) == 0x85) return 2;
    if (c == 0xE2 && at + 2 < text.size() && static_cast<unsigned char>(text[at + 1]) == 0x80) {
        const auto third = static_cast<unsigned char>(text[at + 2]);
        if (third == 0xA8 || third == 0xA9) return 3;
    }
    return 0;
}

/// Where ".*" starting at `from` stops: the first line terminator, or the end.
std::size_t lineEnd(std::string_view text, std::size_t from) {
    for (std::size_t at = from; at < text.size(); ++at) {
        if (terminatorAt(text, at) != 0) return at;
    }
    return text.size();
}

/// Whether "$" matches at `at`, a line terminator or the end of the text.
bool endsAt(std::string_view text, std::size_t at) {
    if (at == text.size()) return true;
    if (text[at] == '\r' && at + 2 == text.size() && text[at + 1] == '\n') return true;
    return at + terminatorAt(text, at) == text.size();
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

/// The five groups of a packet's text, or none when it is no packet.
std::optional<std::array<std::string_view, 5>> scanPacket(std::string_view text) {
    std::array<std::string_view, 5> groups;
    const std::size_t typeEnd = text.find(':');
    if (typeEnd == 0 || typeEnd == std::string_view::npos) return std::nullopt;
    groups[0] = text.substr(0, typeEnd);
    std::size_t at = typeEnd + 1;
    const std::size_t idStart = at;
    while (at < text.size() && isDigit(text[at])) ++at;
    groups[1] = text.substr(idStart, at - idStart);
    if (at < text.size() && text[at] == '+') groups[2] = text.substr(at++, 1);
    if (at >= text.size() || text[at] != ':') return std::nullopt;
    ++at;
    // The endpoint takes everything up to the next colon; a shorter one
    // never helps, since the data stops at the same line terminator.
    const std::size_t endpointEnd = std::min(text.find(':', at), text.size());
    groups[3] = text.substr(at, endpointEnd - at);
    const std::size_t dataStart = endpointEnd < text.size() ? endpointEnd + 1 : endpointEnd;
    const std::size_t dataEnd = lineEnd(text, dataStart);
    if (!endsAt(text, dataEnd)) return std::nullopt;
    groups[4] = text.substr(dataStart, dataEnd - dataStart);
    return groups;
}

/// A decimal integer as the platform's string-to-int reading does it:
/// leading white space and a sign allowed, reading stops at the first other
/// character, no digits give 0, and the value saturates at the int range.
long readInteger(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])) != 0) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    if (value < INT_MIN) value = INT_MIN;
    return static_cast<long>(value);
}

/// The number of bytes that `units` UTF-16 code units of valid UTF-8 text
/// take from its start; none when the text is shorter or a character
/// would be cut.
std::optional<std::size_t> bytesForUnits(std::string_view text, std::size_t units) {
    std::size_t at = 0;
    std::size_t counted = 0;
    while (counted < units) {
        if (at >= text.size()) return std::nullopt;
        const auto lead = static_cast<unsigned char>(text[at]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        at += length;
        counted += length == 4 ? 2 : 1;
    }
    if (counted != units || at > text.size()) return std::nullopt;
    return at;
}

/// The packets of a framed body read by their announced lengths (UTF-16
/// code units, as the servers count them); none when the lengths do not
/// fit the body exactly.
std::optional<std::vector<std::string>> decodeFrames(std::string_view body) {
    constexpr std::size_t kMaxLengthDigits = 10;
    std::vector<std::string> packets;
    std::size_t at = 0;
    while (at < body.size()) {
        if (body.substr(at, kReplacementCharacter.size()) != kReplacementCharacter) return std::nullopt;
        at += kReplacementCharacter.size();
        std::size_t length = 0;
        const std::size_t digitsStart = at;
        while (at < body.size() && isDigit(body[at]) && at - digitsStart < kMaxLengthDigits) {
            length = length * 10 + static_cast<std::size_t>(body[at++] - '0');
        }
        if (at == digitsStart || body.substr(at, kReplacementCharacter.size()) != kReplacementCharacter) {
            return std::nullopt;
        }
        at += kReplacementCharacter.size();
        const auto bytes = bytesForUnits(body.substr(at), length);
        if (!bytes) return std::nullopt;
        packets.emplace_back(body.substr(at, *bytes));
        at += *bytes;
    }
    return packets;
}

}  // namespace

SocketIOPacket SocketIOPacket::initWithType(std::string type) {
    SocketIOPacket packet;
    packet.type = std::move(type);
    return packet;
}

SocketIOPacket SocketIOPacket::initWithTypeIndex(long index) {
    SocketIOPacket packet;
    packet.type = packet.typeForIndex(index);
    return packet;
}

std::optional<std::string> SocketIOPacket::typeForIndex(long index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= kSocketIOPacketTypes.size()) return std::nullopt;
    return std::string(kSocketIOPacketTypes[static_cast<std::size_t>(index)]);
}

std::size_t SocketIOPacket::typeAsNumber() const {
    std::size_t index = 0;
    if (type) {
        for (; index < kSocketIOPacketTypes.size(); ++index) {
            if (*type == kSocketIOPacketTypes[index]) break;
        }
    } else {
        index = kSocketIOPacketTypes.size();
    }
    return index;
}

std::optional<nlohmann::json> SocketIOPacket::dataAsJSON() const {
    if (!data) return std::nullopt;
    return SocketIOJSONSerialization::objectFromJSONData(*data);
}

std::string SocketIOPacket::toString(std::string_view sessionEndpoint) const {
    const std::size_t number = typeAsNumber();
    std::string text = std::to_string(number);
    if (number != 6) {
        text += ':';
        if (pId) text += *pId;
        if (ack && *ack == "data") text += '+';
    }
    text += ':';
    if (number == 6) {
        // "6::ENDPOINT:ID+ARGS": an empty id field, the namespace of the
        // packet acknowledged ("" for the default one), then the id and,
        // after "+", the arguments; without arguments the bare id.
        if (data) {
            text += ':';
            if (endpoint) text += *endpoint;
            text += ':';
            if (pId) text += *pId;
            if (!data->empty()) text += '+';
            text += *data;
        }
        return text;
    }
    if (number != 0 && number != 2) text += sessionEndpoint;
    if (data) {
        text += ':';
        text += *data;
    }
    return text;
}

std::optional<SocketIOPacket> SocketIOPacket::fromString(std::string_view text) {
    if (!utf8::isValid(text)) return std::nullopt;
    auto groups = scanPacket(text);
    if (!groups) return std::nullopt;
    const long number = readInteger((*groups)[0]);
    if (number < 0 || number > 8) return std::nullopt;
    SocketIOPacket packet = initWithTypeIndex(number);
    packet.pId = std::string((*groups)[1]);
    packet.ack = std::string((*groups)[2]);
    packet.endpoint = std::string((*groups)[3]);
    packet.data = std::string((*groups)[4]);
    return packet;
}

std::optional<SocketIOPacket::AckData> SocketIOPacket::readAckData(std::string_view data) {
    std::size_t at = 0;
    while (at < data.size() && isDigit(data[at])) ++at;
    if (at == 0) return std::nullopt;
    AckData ack{std::string(data.substr(0, at)), {}};
    if (at < data.size() && data[at] == '+') ++at;
    ack.args = std::string(data.substr(at, lineEnd(data, at) - at));
    return ack;
}

std::vector<std::string> SocketIOPacket::decodePayload(std::string_view body) {
    std::vector<std::string> packets;
    if (!utf8::isValid(body)) return packets;
    if (!body.starts_with(kReplacementCharacter)) {
        packets.emplace_back(body);
        return packets;
    }
    std::cerr << "Parsed a payload!" << std::endl;
    if (auto framed = decodeFrames(body)) return std::move(*framed);
    // The lengths do not fit the body: split at every U+FFFD and take every
    // second piece.
    std::string_view rest = body.substr(kReplacementCharacter.size());
    for (std::size_t position = 0;; ++position) {
        const std::size_t end = rest.find(kReplacementCharacter);
        const std::string_view piece = rest.substr(0, end);
        if (position % 2 == 1) packets.emplace_back(piece);
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + kReplacementCharacter.size());
    }
    return packets;
}

}  // namespace vorn
