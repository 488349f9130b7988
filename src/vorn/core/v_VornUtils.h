#pragma once

#include "vorn/core/VornError.h"
#include "vorn/core/vBase64.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>

namespace vorn {

/// Stateless helpers of the service core: base64 text, identifiers,
/// digests, JSON and date text, the service's addresses, the client block
/// of every request and the error factory.
class v_VornUtils {
public:
    /// A time stamp.
    using Date = std::chrono::system_clock::time_point;

    /// Standard base64 of the UTF-8 bytes, with every "+" written "%2B".
    static std::optional<std::string> encodeBase64String(const std::string& string);
    /// The reverse of `encodeBase64String`; empty when the text does not
    /// decode or the bytes are not UTF-8.
    static std::optional<std::string> decodeBase64String(const std::string& string);
    /// Standard base64 text of the bytes.
    static std::optional<std::string> encodeBase64Data(const Bytes& data);
    /// The UTF-8 text that the base64 bytes decode to; empty when they do not decode or are not UTF-8.
    static std::optional<std::string> decodeBase64Data(const Bytes& data);

    /// A new random UUID, upper-case 8-4-4-4-12.
    static std::string uuid();
    /// The application's documents directory.
    static std::string filePath();
    /// MD5 of the bytes up to the first NUL, 32 lower-case hexadecimal digits.
    static std::string md5WithString(const std::string& string);
    /// The key of cloud-function calls:
    /// "<app key>-<longitude>-<latitude>-<bundle id>-<md5 of device id>-1".
    static std::string vornAppkeyWithLongitude(double longitude, double latitude, const std::string& uuid);
    /// Pretty-printed JSON text of an object or array; empty for anything else.
    static std::optional<std::string> stringOfJson(const nlohmann::json& value);
    /// Parses "yyyy-MM-dd HH:mm:ss" in local time; empty when it does not match
    /// or names a time the clock cannot hold (before 1678 or after 2261).
    static std::optional<Date> dateOfString(const std::string& string);
    /// Formats "yyyy-MM-dd HH:mm:ss" in local time.
    static std::string stringOfDate(Date date);
    /// Lower-case hexadecimal digits of the bytes.
    static std::string hexStringFromData(const Bytes& data);
    /// The same, from a view.
    static std::string hexStringFromData(std::string_view data);
    /// Present and not JSON null.
    static bool isValid(const nlohmann::json* value);
    /// The same, for an optional.
    static bool isValid(const std::optional<nlohmann::json>& value) { return value && isValid(&*value); }

    /// The API base to use now: the primary host when it is reachable, the
    /// fallback host otherwise, "" when the device has no connection.
    static std::string serverHostAddress();
    /// "http://" + the cloud host + "/1": the base of cloud-function calls.
    /// Here and in the other bases, a host configured as "https://name"
    /// gives "https://" instead (see ServiceHost).
    static std::string cloudServerHostAddress();
    /// "http://" + the file host + "/7": the base of uploads.
    static std::string fileHostAddress();
    /// "http://" + the file host: the base of download addresses.
    static std::string fileDownloadAddress();
    /// The file download base as registration stored it ("v_vornFileUrl"),
    /// or `fileDownloadAddress` before any registration.
    static std::string storedFileDownloadAddress();

    /// {"latitude", "longitude", "uuid", "package"}; starts the position service.
    static nlohmann::json exRequestDictionary();
    /// {"caller": "iOS", "ex": exRequestDictionary()}.
    static nlohmann::json clientDic();

    /// The library's error for a code, or empty for an unknown code.
    static std::optional<VornError> vornErrorWithType(int code);

    /// The registered application key, read from the store and decoded.
    static std::optional<std::string> appKey();
};

}  // namespace vorn
