#pragma once

#include <string_view>

namespace vorn::utf8 {

/// Whether the bytes are well-formed UTF-8 (no surrogates, no overlong
/// forms, nothing above U+10FFFF).
bool isValid(std::string_view bytes);

}  // namespace vorn::utf8
