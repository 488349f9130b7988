#pragma once

#include "vorn/websocket/SRURL.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vorn {

/// A certificate in its DER encoding.
using SRCertificateData = std::vector<std::uint8_t>;

/// The request from which a WebSocket is opened: the URL, extra HTTP header
/// fields for the opening handshake (names compared without regard to case,
/// kept in the order in which they were first set) and the pinned
/// certificates.
class SRURLRequest {
public:
    /// Header fields as (name, value) pairs.
    using HeaderFields = std::vector<std::pair<std::string, std::string>>;

    SRURLRequest() = default;
    /// A request for the URL.
    explicit SRURLRequest(SRURL url) : URL_(std::move(url)) {}

    /// The same as the constructor.
    static SRURLRequest requestWithURL(SRURL url) { return SRURLRequest(std::move(url)); }

    /// The URL; empty for a default request.
    const std::optional<SRURL>& URL() const { return URL_; }
    /// Sets the URL.
    void setURL(SRURL url) { URL_ = std::move(url); }

    /// Sets a header field, replacing any value under the same name.
    void setValue(std::string value, const std::string& field);
    /// Adds a value to a header field, after a comma when it already has one.
    void addValue(const std::string& value, const std::string& field);
    /// The value of a header field (name compared without regard to case), or empty.
    std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;
    /// Every header field, in order.
    const HeaderFields& allHTTPHeaderFields() const { return headerFields_; }

    /// The pinned certificates (DER). Empty optional: no pinning. A list,
    /// even an empty one, puts the pin test in force; a list with at least one
    /// certificate also switches off the usual validation of the chain.
    const std::optional<std::vector<SRCertificateData>>& SR_SSLPinnedCertificates() const {
        return pinnedCertificates_;
    }
    /// Sets the pinned certificates.
    void setSR_SSLPinnedCertificates(std::optional<std::vector<SRCertificateData>> certificates) {
        pinnedCertificates_ = std::move(certificates);
    }

private:
    HeaderFields::iterator findField(const std::string& field);
    HeaderFields::const_iterator findField(const std::string& field) const;

    std::optional<SRURL> URL_;
    HeaderFields headerFields_;
    std::optional<std::vector<SRCertificateData>> pinnedCertificates_;
};

}  // namespace vorn
