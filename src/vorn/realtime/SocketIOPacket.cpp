#include "vorn/realtime/SocketIOPacket.h"

#include "vorn/core/Utf8.h"
#include "vorn/realtime/SocketIOJSONSerialization.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <cctype>
#include <climits>
#include <iostream>
#include <memory>

namespace vorn {
namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

/// A compiled pattern, shared by every thread (matchers are made per use).
class Pattern {
public:
    explicit Pattern(const char* text) {
        UErrorCode status = U_ZERO_ERROR;
        pattern_.reset(icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(text), 0, status));
        if (U_FAILURE(status)) pattern_.reset();
    }

    /// The groups of the match (empty text for a group that took no part),
    /// or none when the text does not match.
    std::optional<std::vector<std::string>> match(std::string_view text, bool whole, int groups) const {
        if (!pattern_) return std::nullopt;
        UErrorCode status = U_ZERO_ERROR;
        const icu::UnicodeString input =
            icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
        std::unique_ptr<icu::RegexMatcher> matcher(pattern_->matcher(input, status));
        if (U_FAILURE(status) || !matcher) return std::nullopt;
        const bool found = whole ? matcher->find(status) : matcher->lookingAt(status);
        if (U_FAILURE(status) || !found) return std::nullopt;
        std::vector<std::string> result;
        result.reserve(static_cast<std::size_t>(groups));
        for (int group = 1; group <= groups; ++group) {
            std::string piece;
            if (matcher->start(group, status) >= 0 && U_SUCCESS(status)) {
                matcher->group(group, status).toUTF8String(piece);
            }
            status = U_ZERO_ERROR;
            result.push_back(std::move(piece));
        }
        return result;
    }

private:
    std::unique_ptr<icu::RegexPattern> pattern_;
};

const Pattern& packetPattern() {
    static const Pattern pattern(R"(^([^:]+):([0-9]+)?(\+)?:([^:]+)?:?(.*)?$)");
    return pattern;
}

const Pattern& ackPattern() {
    static const Pattern pattern(R"(^([0-9]+)(\+)?(.*))");
    return pattern;
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
    if (number != 0 && number != 2 && number != 6) text += sessionEndpoint;
    if (data) {
        text += ':';
        if (number == 6) {
            text += ':';
            if (pId) text += *pId;
            text += '+';
        }
        text += *data;
    }
    return text;
}

std::optional<SocketIOPacket> SocketIOPacket::fromString(std::string_view text) {
    if (!utf8::isValid(text)) return std::nullopt;
    auto groups = packetPattern().match(text, true, 5);
    if (!groups) return std::nullopt;
    const long number = readInteger((*groups)[0]);
    if (number < 0 || number > 8) return std::nullopt;
    SocketIOPacket packet = initWithTypeIndex(number);
    packet.pId = std::move((*groups)[1]);
    packet.ack = std::move((*groups)[2]);
    packet.endpoint = std::move((*groups)[3]);
    packet.data = std::move((*groups)[4]);
    return packet;
}

std::optional<SocketIOPacket::AckData> SocketIOPacket::readAckData(std::string_view data) {
    auto groups = ackPattern().match(data, false, 3);
    if (!groups) return std::nullopt;
    return AckData{std::move((*groups)[0]), std::move((*groups)[2])};
}

std::vector<std::string> SocketIOPacket::decodePayload(std::string_view body) {
    std::vector<std::string> packets;
    if (!utf8::isValid(body)) return packets;
    if (!body.starts_with(kReplacementCharacter)) {
        packets.emplace_back(body);
        return packets;
    }
    std::cerr << "Parsed a payload!" << std::endl;
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
