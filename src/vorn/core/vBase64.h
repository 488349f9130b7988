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
    using DecodeTable = std::array<std::uint8_t, 256>;

    static constexpr const char* kStandardCharset = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    static constexpr const char* kWebSafeCharset = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    static constexpr char kPaddingChar = '=';
    /// The value of a byte outside the alphabet in a decode table.
    static constexpr std::uint8_t kInvalidChar = 99;

    static const DecodeTable& standardDecodeTable();
    static const DecodeTable& webSafeDecodeTable();

    // Standard alphabet, padding written on encode and required on decode.
    static std::optional<Bytes> encodeData(const Bytes& data);
    static std::optional<Bytes> encodeBytes(const void* bytes, std::size_t length);
    static std::optional<std::string> stringByEncodingData(const Bytes& data);
    static std::optional<std::string> stringByEncodingBytes(const void* bytes, std::size_t length);
    static std::optional<Bytes> decodeData(const Bytes& data);
    static std::optional<Bytes> decodeBytes(const void* bytes, std::size_t length);
    static std::optional<Bytes> decodeString(const std::string& string);

    // Web-safe alphabet, padding as asked on encode and optional on decode.
    static std::optional<Bytes> webSafeEncodeData(const Bytes& data, bool padded);
    static std::optional<Bytes> webSafeEncodeBytes(const void* bytes, std::size_t length, bool padded);
    static std::optional<std::string> stringByWebSafeEncodingData(const Bytes& data, bool padded);
    static std::optional<std::string> stringByWebSafeEncodingBytes(const void* bytes, std::size_t length, bool padded);
    static std::optional<Bytes> webSafeDecodeData(const Bytes& data);
    static std::optional<Bytes> webSafeDecodeBytes(const void* bytes, std::size_t length);
    static std::optional<Bytes> webSafeDecodeString(const std::string& string);

    // Core operations: size the output, run the worker, shrink to fit.
    static std::optional<Bytes> baseEncode(const void* bytes, std::size_t length, const char* charset, bool padded);
    static std::optional<Bytes> baseDecode(const void* bytes, std::size_t length, const DecodeTable& charset,
                                           bool requirePadding);

    // Workers: return the number of bytes written to `destBytes`, 0 on failure.
    static std::size_t baseEncode(const char* srcBytes, std::size_t srcLen, char* destBytes, std::size_t destLen,
                                  const char* charset, bool padded);
    static std::size_t baseDecode(const char* srcBytes, std::size_t srcLen, char* destBytes, std::size_t destLen,
                                  const DecodeTable& charset, bool requirePadding);

    /// Length of the encoding of `length` bytes.
    static std::size_t encodedLength(std::size_t length, bool padded);
};

}  // namespace vorn
