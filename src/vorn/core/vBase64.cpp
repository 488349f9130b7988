#include "vorn/core/vBase64.h"

namespace vorn {
namespace {

constexpr vBase64::DecodeTable makeDecodeTable(const char* charset) {
    vBase64::DecodeTable table{};
    for (auto& entry : table) entry = vBase64::kInvalidChar;
    for (std::uint8_t value = 0; value < 64; ++value) {
        table[static_cast<unsigned char>(charset[value])] = value;
    }
    return table;
}

constexpr vBase64::DecodeTable kStandardTable = makeDecodeTable(vBase64::kStandardCharset);
constexpr vBase64::DecodeTable kWebSafeTable = makeDecodeTable(vBase64::kWebSafeCharset);

constexpr bool isSpace(unsigned char ch) {
    switch (ch) {
        case 0x09:
        case 0x0A:
        case 0x0B:
        case 0x0C:
        case 0x0D:
        case 0x20:
        case 0xA0:
        case 0xFF:
            return true;
        default:
            return false;
    }
}

std::optional<std::string> asText(std::optional<Bytes> bytes) {
    if (!bytes) return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

// Text arguments must be ASCII.
bool isAscii(const std::string& text) {
    for (unsigned char ch : text) {
        if (ch > 0x7F) return false;
    }
    return true;
}

}  // namespace

const vBase64::DecodeTable& vBase64::standardDecodeTable() {
    return kStandardTable;
}
const vBase64::DecodeTable& vBase64::webSafeDecodeTable() {
    return kWebSafeTable;
}

std::size_t vBase64::encodedLength(std::size_t length, bool padded) {
    return padded ? (length + 2) / 3 * 4 : (length * 8 + 5) / 6;
}

std::size_t vBase64::baseEncode(const char* srcBytes, std::size_t srcLen, char* destBytes, std::size_t destLen,
                                const char* charset, bool padded) {
    if (srcBytes == nullptr || srcLen == 0 || destBytes == nullptr || destLen < encodedLength(srcLen, padded)) {
        return 0;
    }
    const auto* src = reinterpret_cast<const unsigned char*>(srcBytes);
    char* dest = destBytes;
    std::size_t left = srcLen;
    while (left >= 3) {
        const std::uint32_t group = (std::uint32_t{src[0]} << 16) | (std::uint32_t{src[1]} << 8) | src[2];
        dest[0] = charset[(group >> 18) & 0x3F];
        dest[1] = charset[(group >> 12) & 0x3F];
        dest[2] = charset[(group >> 6) & 0x3F];
        dest[3] = charset[group & 0x3F];
        src += 3;
        dest += 4;
        left -= 3;
    }
    if (left == 1) {
        *dest++ = charset[src[0] >> 2];
        *dest++ = charset[(src[0] & 0x03) << 4];
        if (padded) {
            *dest++ = kPaddingChar;
            *dest++ = kPaddingChar;
        }
    } else if (left == 2) {
        *dest++ = charset[src[0] >> 2];
        *dest++ = charset[((src[0] & 0x03) << 4) | (src[1] >> 4)];
        *dest++ = charset[(src[1] & 0x0F) << 2];
        if (padded) *dest++ = kPaddingChar;
    }
    return static_cast<std::size_t>(dest - destBytes);
}

std::size_t vBase64::baseDecode(const char* srcBytes, std::size_t srcLen, char* destBytes, std::size_t destLen,
                                const DecodeTable& charset, bool requirePadding) {
    if (srcBytes == nullptr || srcLen == 0 || destBytes == nullptr || destLen == 0) return 0;
    const auto* src = reinterpret_cast<const unsigned char*>(srcBytes);
    const auto* end = src + srcLen;
    auto* dest = reinterpret_cast<unsigned char*>(destBytes);
    std::size_t written = 0;
    int state = 0;
    unsigned char pending = 0;  // the partly filled next output byte
    bool sawPadding = false;

    while (src < end) {
        // Fast path: four alphabet characters at a group boundary. Anything
        // else (white space, padding, NUL, invalid bytes) maps to the
        // invalid marker, whose high bits send it to the careful path below.
        if (state == 0) {
            while (end - src >= 4 && destLen - written >= 3) {
                const std::uint8_t a = charset[src[0]], b = charset[src[1]], c = charset[src[2]], d = charset[src[3]];
                if (((a | b | c | d) & 0xC0) != 0) break;
                const std::uint32_t group =
                    (std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) | (std::uint32_t{c} << 6) | d;
                dest[written] = static_cast<unsigned char>(group >> 16);
                dest[written + 1] = static_cast<unsigned char>(group >> 8);
                dest[written + 2] = static_cast<unsigned char>(group);
                written += 3;
                src += 4;
            }
            if (src == end) break;
        }
        const unsigned char ch = *src++;
        if (ch == 0) break;
        if (isSpace(ch)) continue;
        if (ch == kPaddingChar) {
            sawPadding = true;
            break;
        }
        const std::uint8_t value = charset[ch];
        if (value == kInvalidChar) return 0;
        switch (state) {
            case 0:
                pending = static_cast<unsigned char>(value << 2);
                state = 1;
                break;
            case 1:
                if (written >= destLen) return 0;
                dest[written++] = static_cast<unsigned char>(pending | (value >> 4));
                pending = static_cast<unsigned char>((value & 0x0F) << 4);
                state = 2;
                break;
            case 2:
                if (written >= destLen) return 0;
                dest[written++] = static_cast<unsigned char>(pending | (value >> 2));
                pending = static_cast<unsigned char>((value & 0x03) << 6);
                state = 3;
                break;
            default:
                if (written >= destLen) return 0;
                dest[written++] = static_cast<unsigned char>(pending | value);
                pending = 0;
                state = 0;
                break;
        }
    }

    if (sawPadding) {
        if (state != 2 && state != 3) return 0;
        if (state == 2) {
            // A second "=" must follow, possibly after white space.
            unsigned char ch = 0;
            while (src < end) {
                ch = *src++;
                if (!isSpace(ch)) break;
            }
            if (ch != kPaddingChar) return 0;
        }
        // After the padding only white space, up to the end or a NUL.
        while (src < end) {
            const unsigned char ch = *src++;
            if (ch == 0) break;
            if (!isSpace(ch)) return 0;
        }
    } else if (requirePadding ? state != 0 : state == 1) {
        return 0;
    }
    // Bits left over in the last, partly filled byte must be zero.
    if (pending != 0) return 0;
    return written;
}

std::optional<Bytes> vBase64::baseEncode(const void* bytes, std::size_t length, const char* charset, bool padded) {
    if (bytes == nullptr || length == 0) return std::nullopt;
    Bytes out(encodedLength(length, padded));
    const std::size_t written = baseEncode(static_cast<const char*>(bytes), length, reinterpret_cast<char*>(out.data()),
                                           out.size(), charset, padded);
    if (written == 0) return std::nullopt;
    out.resize(written);
    return out;
}

std::optional<Bytes> vBase64::baseDecode(const void* bytes, std::size_t length, const DecodeTable& charset,
                                         bool requirePadding) {
    if (bytes == nullptr || length == 0) return std::nullopt;
    Bytes out((length + 3) / 4 * 3);
    const std::size_t written = baseDecode(static_cast<const char*>(bytes), length, reinterpret_cast<char*>(out.data()),
                                           out.size(), charset, requirePadding);
    if (written == 0) return std::nullopt;
    out.resize(written);
    return out;
}

std::optional<Bytes> vBase64::encodeData(const Bytes& data) {
    return encodeBytes(data.data(), data.size());
}

std::optional<Bytes> vBase64::encodeBytes(const void* bytes, std::size_t length) {
    return baseEncode(bytes, length, kStandardCharset, true);
}

std::optional<std::string> vBase64::stringByEncodingData(const Bytes& data) {
    return asText(encodeData(data));
}

std::optional<std::string> vBase64::stringByEncodingBytes(const void* bytes, std::size_t length) {
    return asText(encodeBytes(bytes, length));
}

std::optional<Bytes> vBase64::decodeData(const Bytes& data) {
    return decodeBytes(data.data(), data.size());
}

std::optional<Bytes> vBase64::decodeBytes(const void* bytes, std::size_t length) {
    return baseDecode(bytes, length, kStandardTable, true);
}

std::optional<Bytes> vBase64::decodeString(const std::string& string) {
    if (!isAscii(string)) return std::nullopt;
    return decodeBytes(string.data(), string.size());
}

std::optional<Bytes> vBase64::webSafeEncodeData(const Bytes& data, bool padded) {
    return webSafeEncodeBytes(data.data(), data.size(), padded);
}

std::optional<Bytes> vBase64::webSafeEncodeBytes(const void* bytes, std::size_t length, bool padded) {
    return baseEncode(bytes, length, kWebSafeCharset, padded);
}

std::optional<std::string> vBase64::stringByWebSafeEncodingData(const Bytes& data, bool padded) {
    return asText(webSafeEncodeData(data, padded));
}

std::optional<std::string> vBase64::stringByWebSafeEncodingBytes(const void* bytes, std::size_t length, bool padded) {
    return asText(webSafeEncodeBytes(bytes, length, padded));
}

std::optional<Bytes> vBase64::webSafeDecodeData(const Bytes& data) {
    return webSafeDecodeBytes(data.data(), data.size());
}

std::optional<Bytes> vBase64::webSafeDecodeBytes(const void* bytes, std::size_t length) {
    return baseDecode(bytes, length, kWebSafeTable, false);
}

std::optional<Bytes> vBase64::webSafeDecodeString(const std::string& string) {
    if (!isAscii(string)) return std::nullopt;
    return webSafeDecodeBytes(string.data(), string.size());
}

}  // namespace vorn
