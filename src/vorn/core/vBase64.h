#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

using Bytes = std::vector<std::uint8_t>;

/// Base64 in the standard alphabet (RFC 4648 section 4) and the URL- and
/// file-name-safe alphabet (section 5). Encoding empty input, and every
/// decoding failure, gives an empty optional: never partial output. The
/// decoders skip white space, stop at a NUL byte and reject anything else
/// that is not in their alphabet.
class vBase64 {
public:
    /// The value of each byte in an alphabet, `kInvalidChar` outside it.
    using DecodeTable = std::array<std::uint8_t, 256>;

    /// The standard alphabet.
    static constexpr const char* kStandardCharset = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    /// The web-safe alphabet.
    static constexpr const char* kWebSafeCharset = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    /// The padding character.
    static constexpr char kPaddingChar = '=';
    /// The value of a byte outside the alphabet in a decode table.
    static constexpr std::uint8_t kInvalidChar = 99;

    /// The decode table of the standard alphabet.
    static const DecodeTable& standardDecodeTable();
    /// The decode table of the web-safe alphabet.
    static const DecodeTable& webSafeDecodeTable();

    // Standard alphabet, padding written on encode and required on decode.
    /// Encodes the bytes.
    static std::optional<Bytes> encodeData(const Bytes& data);
    /// The same, from a pointer and length.
    static std::optional<Bytes> encodeBytes(const void* bytes, std::size_t length);
    /// The same, as text.
    static std::optional<std::string> stringByEncodingData(const Bytes& data);
    /// The same, from a pointer and length, as text.
    static std::optional<std::string> stringByEncodingBytes(const void* bytes, std::size_t length);
    /// Decodes the encoded bytes.
    static std::optional<Bytes> decodeData(const Bytes& data);
    /// The same, from a pointer and length.
    static std::optional<Bytes> decodeBytes(const void* bytes, std::size_t length);
    /// The same, from text; text that is not ASCII fails.
    static std::optional<Bytes> decodeString(const std::string& string);

    // Web-safe alphabet, padding as asked on encode and optional on decode.
    /// Encodes the bytes, with padding when `padded`.
    static std::optional<Bytes> webSafeEncodeData(const Bytes& data, bool padded);
    /// The same, from a pointer and length.
    static std::optional<Bytes> webSafeEncodeBytes(const void* bytes, std::size_t length, bool padded);
    /// The same, as text.
    static std::optional<std::string> stringByWebSafeEncodingData(const Bytes& data, bool padded);
    /// The same, from a pointer and length, as text.
    static std::optional<std::string> stringByWebSafeEncodingBytes(const void* bytes, std::size_t length, bool padded);
    /// Decodes the encoded bytes.
    static std::optional<Bytes> webSafeDecodeData(const Bytes& data);
    /// The same, from a pointer and length.
    static std::optional<Bytes> webSafeDecodeBytes(const void* bytes, std::size_t length);
    /// The same, from text; text that is not ASCII fails.
    static std::optional<Bytes> webSafeDecodeString(const std::string& string);

    // Core operations: size the output, run the worker, shrink to fit.
    /// Encodes with the alphabet.
    static std::optional<Bytes> baseEncode(const void* bytes, std::size_t length, const char* charset, bool padded);
    /// Decodes with the decode table.
    static std::optional<Bytes> baseDecode(const void* bytes, std::size_t length, const DecodeTable& charset,
                                           bool requirePadding);

    // Workers: return the number of bytes written to `destBytes`, 0 on failure.
    /// Encodes into `destBytes`.
    static std::size_t baseEncode(const char* srcBytes, std::size_t srcLen, char* destBytes, std::size_t destLen,
                                  const char* charset, bool padded);
    /// Decodes into `destBytes`.
    static std::size_t baseDecode(const char* srcBytes, std::size_t srcLen, char* destBytes, std::size_t destLen,
                                  const DecodeTable& charset, bool requirePadding);

    /// Length of the encoding of `length` bytes.
    static std::size_t encodedLength(std::size_t length, bool padded);
};

}  // namespace vorn
