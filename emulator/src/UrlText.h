#pragma once

// Percent-decoding of URL query values and form bodies.

#include <string>
#include <string_view>

namespace vorn::emulator {

// "%XX" becomes the byte XX; with `plusIsSpace` (form bodies) "+" becomes a
// space. A malformed escape stays as it is.
inline std::string percentDecoded(std::string_view text, bool plusIsSpace) {
    const auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (plusIsSpace && text[i] == '+') {
            decoded += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

}  // namespace vorn::emulator
