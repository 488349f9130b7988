#pragma once

#include <string>
#include <string_view>

namespace vorn {

/// A host as configured: "name[:port]", optionally with a scheme in front.
/// "https://" (or "wss://") asks for TLS; "http://", "ws://" or no scheme
/// keep plain HTTP. A trailing "/" is dropped.
struct ServiceHost {
    /// Whether the host is reached over TLS.
    bool secure = false;
    /// "name[:port]", without the scheme.
    std::string authority;

    /// Reads a configured host; the scheme is matched without regard to case.
    static ServiceHost parse(std::string_view text);
    /// "https://" or "http://", then the authority: the base of the host's URLs.
    std::string origin() const;
};

}  // namespace vorn
