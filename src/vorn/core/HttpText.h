#pragma once

#include <string_view>

namespace vorn::httptext {

/// Whether the text is an HTTP token (RFC 9110): one or more of the
/// letters, digits and "!#$%&'*+-.^_`|~". Header names and WebSocket
/// subprotocols must be tokens.
bool isToken(std::string_view text);

/// Whether the text holds CR, LF or NUL, any of which would end a header
/// line early and let the rest of the text stand as lines of its own.
bool hasLineBreakOrNul(std::string_view text);

}  // namespace vorn::httptext
