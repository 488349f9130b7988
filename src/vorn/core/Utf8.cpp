#include "vorn/core/Utf8.h"

#include <unicode/utf8.h>

#include <cstdint>

namespace vorn::utf8 {

bool isValid(std::string_view bytes) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const auto length = static_cast<std::int32_t>(bytes.size());
    std::int32_t i = 0;
    while (i < length) {
        if (s[i] < 0x80) {
            ++i;
            continue;
        }
        UChar32 c = 0;
        U8_NEXT(s, i, length, c);
        if (c < 0) return false;
    }
    return true;
}

}  // namespace vorn::utf8
