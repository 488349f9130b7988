#include "files/Base64.h"

#include <array>
#include <cstdint>

namespace vorn::emulator::files {

namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> makeTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table) entry = kInvalid;
    for (std::size_t i = 0; i < kAlphabet.size(); ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
    return table;
}
constexpr auto kTable = makeTable();

constexpr bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

std::string encodeBase64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16) |
                                (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8) |
                                static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::size_t decodedLength(std::string_view text) {
    std::size_t symbols = 0;
    for (char c : text) {
        if (c == '=') break;
        if (!isSpace(c)) ++symbols;
    }
    return symbols / 4 * 3 + (symbols % 4 == 3 ? 2 : symbols % 4 == 2 ? 1 : 0);
}

std::optional<std::string> decodeBase64(std::string_view text) {
    std::string out;
    out.reserve(decodedLength(text));
    std::uint32_t bits = 0;
    int state = 0;  // characters of the current group of four
    std::size_t i = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (isSpace(c)) continue;
        if (c == '=') break;
        const std::uint8_t value = kTable[static_cast<unsigned char>(c)];
        if (value == kInvalid) return std::nullopt;
        bits = (bits << 6) | value;
        if (++state == 4) {
            out += static_cast<char>((bits >> 16) & 0xFF);
            out += static_cast<char>((bits >> 8) & 0xFF);
            out += static_cast<char>(bits & 0xFF);
            bits = 0;
            state = 0;
        }
    }
    if (state == 1) return std::nullopt;
    if (i < text.size()) {
        // Padding: "=" after three characters, "==" after two; then only white space.
        if (state == 0) return std::nullopt;
        std::size_t pads = 0;
        for (; i < text.size(); ++i) {
            if (isSpace(text[i])) continue;
            if (text[i] != '=') return std::nullopt;
            ++pads;
        }
        if (pads != static_cast<std::size_t>(4 - state)) return std::nullopt;
    }
    if (state == 2) {
        if (bits & 0xF) return std::nullopt;
        out += static_cast<char>((bits >> 4) & 0xFF);
    } else if (state == 3) {
        if (bits & 0x3) return std::nullopt;
        out += static_cast<char>((bits >> 10) & 0xFF);
        out += static_cast<char>((bits >> 2) & 0xFF);
    }
    return out;
}

}  // namespace vorn::emulator::files
