#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vorn {

/// An absolute URL of the form scheme://[user@]host[:port][/path][?query][\#fragment],
/// as the WebSocket client needs it: the scheme and host as written, the
/// explicit port if any, and the request target (path and query).
/// IPv6 literals are written in brackets and reported without them.
class SRURL {
public:
    /// Parses the text; empty when it is not an absolute URL with a host,
    /// or when its port is not a number up to 65535.
    static std::optional<SRURL> URLWithString(std::string_view text);

    /// The URL text as parsed.
    const std::string& absoluteString() const { return absoluteString_; }
    /// The scheme as written (not lower-cased).
    const std::string& scheme() const { return scheme_; }
    /// The host as written, without the brackets of an IPv6 literal.
    const std::string& host() const { return host_; }
    /// The host as it goes into a header or a URL: IPv6 literals in brackets.
    std::string hostForHeader() const;
    /// The explicit port, if the URL has one (even 0).
    const std::optional<std::uint16_t>& port() const { return port_; }
    /// The path ("/" when empty) followed by "?" and the query when there is one.
    std::string requestTarget() const;
    /// The path as written ("" when there is none).
    const std::string& path() const { return path_; }
    /// The query, without the "?"; empty when there is none.
    const std::optional<std::string>& query() const { return query_; }

    /// URLs are equal when their texts are equal.
    bool operator==(const SRURL& other) const { return absoluteString_ == other.absoluteString_; }

private:
    SRURL() = default;

    std::string absoluteString_;
    std::string scheme_;
    std::string host_;
    std::optional<std::uint16_t> port_;
    std::string path_;
    std::optional<std::string> query_;
};

}  // namespace vorn
