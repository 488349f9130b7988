#include "vorn/core/HttpText.h"

#include <algorithm>
#include <cctype>

namespace vorn::httptext {

bool isToken(std::string_view text) {
    constexpr std::string_view kMarks = "!#$%&'*+-.^_`|~";
    return !text.empty() && std::all_of(text.begin(), text.end(), [&](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || kMarks.find(c) != std::string_view::npos;
    });
}

bool hasLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

}  // namespace vorn::httptext
