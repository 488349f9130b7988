#pragma once

// Base64 of file bodies in upload requests and image replies: the standard
// alphabet; the decoder skips white space and takes the padding as optional.

#include <optional>
#include <string>
#include <string_view>

namespace vorn::emulator::files {

std::string encodeBase64(std::string_view bytes);
// nullopt for a character outside the alphabet, misplaced padding, a single
// leftover character or non-zero leftover bits.
std::optional<std::string> decodeBase64(std::string_view text);
// The number of bytes `text` decodes to when it is valid base64, counted
// without decoding (white space and padding do not count).
std::size_t decodedLength(std::string_view text);

}  // namespace vorn::emulator::files
