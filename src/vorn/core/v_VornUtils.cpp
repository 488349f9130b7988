#include "vorn/core/v_VornUtils.h"

#include "vorn/core/DeviceContext.h"
#include "vorn/core/LinuxReachabilitySource.h"
#include "vorn/core/SecureRandom.h"
#include "vorn/core/ServiceHost.h"
#include "vorn/core/StoreKeys.h"
#include "vorn/core/Utf8.h"
#include "vorn/core/VornPosition.h"
#include "vorn/core/vReachability.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <unicode/basictz.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/tztrans.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace vorn {
namespace {

constexpr const char* kDatePattern = "yyyy-MM-dd HH:mm:ss";

/// "%f" of the number, whatever the process locale: six decimals after a point.
std::string fixedSixDecimals(double value) {
    char text[400];
    const auto result = std::to_chars(text, text + sizeof(text), value, std::chars_format::fixed, 6);
    return std::string(text, result.ptr);
}

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

std::optional<std::string> utf8Text(const std::optional<Bytes>& bytes) {
    if (!bytes) return std::nullopt;
    std::string text(bytes->begin(), bytes->end());
    if (!utf8::isValid(text)) return std::nullopt;
    return text;
}

// One formatter per thread: building one is expensive, and they are not
// safe to share. Follows the process's default time zone when it changes.
icu::SimpleDateFormat* dateFormatter() {
    thread_local std::unique_ptr<icu::SimpleDateFormat> formatter;
    thread_local std::unique_ptr<icu::TimeZone> zone;
    std::unique_ptr<icu::TimeZone> current(icu::TimeZone::createDefault());
    if (!formatter) {
        UErrorCode status = U_ZERO_ERROR;
        formatter =
            std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString(kDatePattern), icu::Locale::getRoot(), status);
        if (U_FAILURE(status)) {
            formatter.reset();
            return nullptr;
        }
        formatter->setLenient(false);
    }
    if (!zone || *zone != *current) {
        formatter->setTimeZone(*current);
        zone = std::move(current);
    }
    return formatter.get();
}

/// Days from 1970-01-01 to a date of the Gregorian calendar.
constexpr std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

constexpr unsigned daysInMonth(int year, unsigned month) {
    constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

/// The value of `count` ASCII digits at `text`, or -1.
int digits(const char* text, int count) {
    int value = 0;
    for (int i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

/// The date of the exact text form "yyyy-MM-dd HH:mm:ss" with every field
/// in range, read without the formatter, when the time zone keeps one
/// offset for two days either side of that wall time (then there is only one
/// reading, the one the formatter gives). Empty for every other text, which
/// the formatter decides.
std::optional<UDate> quickDate(const std::string& text, const icu::TimeZone& zone) {
    if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':' ||
        text[16] != ':') {
        return std::nullopt;
    }
    const char* p = text.data();
    const int year = digits(p, 4), month = digits(p + 5, 2), day = digits(p + 8, 2);
    const int hour = digits(p + 11, 2), minute = digits(p + 14, 2), second = digits(p + 17, 2);
    // Years well inside the Gregorian calendar and the clock's range.
    if (year < 1700 || year > 2200 || month < 1 || month > 12 || day < 1 ||
        day > static_cast<int>(daysInMonth(year, static_cast<unsigned>(month))) || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 59) {
        return std::nullopt;
    }
    const auto* rules = dynamic_cast<const icu::BasicTimeZone*>(&zone);
    if (rules == nullptr) return std::nullopt;
    constexpr double kMillisPerDay = 86400000.0;
    const double wall =
        static_cast<double>(daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day))) *
            kMillisPerDay +
        ((hour * 60.0 + minute) * 60.0 + second) * 1000.0;
    icu::TimeZoneTransition transition;
    if (rules->getNextTransition(wall - 2 * kMillisPerDay, true, transition) &&
        transition.getTime() <= wall + 2 * kMillisPerDay) {
        return std::nullopt;
    }
    int32_t raw = 0, dst = 0;
    UErrorCode status = U_ZERO_ERROR;
    zone.getOffset(wall, false, raw, dst, status);
    if (U_FAILURE(status)) return std::nullopt;
    return wall - raw - dst;
}

std::optional<VornError> makeError(int code, const char* message) {
    return VornError{kVornErrorDomain, code, {{"error", message}}};
}

}  // namespace

std::optional<std::string> v_VornUtils::encodeBase64String(const std::string& string) {
    auto encoded = vBase64::stringByEncodingBytes(string.data(), string.size());
    if (!encoded) return std::nullopt;
    replaceAll(*encoded, "+", "%2B");
    return encoded;
}

std::optional<std::string> v_VornUtils::decodeBase64String(const std::string& string) {
    std::string text = string;
    replaceAll(text, "%2B", "+");
    return utf8Text(vBase64::decodeBytes(text.data(), text.size()));
}

std::optional<std::string> v_VornUtils::encodeBase64Data(const Bytes& data) {
    return vBase64::stringByEncodingData(data);
}

std::optional<std::string> v_VornUtils::decodeBase64Data(const Bytes& data) {
    return utf8Text(vBase64::decodeData(data));
}

std::string v_VornUtils::uuid() {
    unsigned char bytes[16] = {};
    secureRandomBytes(bytes, sizeof(bytes));
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof(text), "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

std::string v_VornUtils::filePath() {
    return DeviceContext::shared().documentsDirectory().string();
}

std::string v_VornUtils::md5WithString(const std::string& string) {
    unsigned char digest[EVP_MAX_MD_SIZE] = {};
    unsigned int length = 0;
    if (EVP_Digest(string.data(), std::strlen(string.c_str()), digest, &length, EVP_md5(), nullptr) != 1 ||
        length != 16) {
        throw std::runtime_error("MD5 is not available");
    }
    return hexStringFromData(std::string_view(reinterpret_cast<const char*>(digest), length));
}

std::string v_VornUtils::vornAppkeyWithLongitude(double longitude, double latitude, const std::string&) {
    const auto key = appKey().value_or("");
    const auto package = DeviceContext::shared().identity().bundleIdentifier;
    const auto device = md5WithString(DeviceContext::shared().deviceIdentifier().value_or(""));
    return key + "-" + fixedSixDecimals(longitude) + "-" + fixedSixDecimals(latitude) + "-" + package + "-" + device +
           "-1";
}

std::optional<std::string> v_VornUtils::stringOfJson(const nlohmann::json& value) {
    if (!value.is_object() && !value.is_array()) return std::nullopt;
    return value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<v_VornUtils::Date> v_VornUtils::dateOfString(const std::string& string) {
    auto* formatter = dateFormatter();
    if (formatter == nullptr) return std::nullopt;
    UDate date = 0;
    if (const auto quick = quickDate(string, formatter->getTimeZone())) {
        date = *quick;
    } else {
        const auto text = icu::UnicodeString::fromUTF8(string);
        icu::ParsePosition position(0);
        date = formatter->parse(text, position);
        if (position.getErrorIndex() >= 0 || position.getIndex() != text.length()) return std::nullopt;
    }
    // The clock holds nanoseconds in 64 bits (the years 1678 to 2261 whole);
    // a date outside that is no date here rather than an overflow.
    constexpr double kLimitMillis = 9.2e12;
    if (!(date > -kLimitMillis && date < kLimitMillis)) return std::nullopt;
    return Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double, std::milli>(date)));
}

std::string v_VornUtils::stringOfDate(Date date) {
    auto* formatter = dateFormatter();
    if (formatter == nullptr) return "";
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    icu::UnicodeString text;
    formatter->format(static_cast<UDate>(millis), text);
    std::string result;
    text.toUTF8String(result);
    return result;
}

std::string v_VornUtils::hexStringFromData(std::string_view data) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(data.size() * 2);
    for (unsigned char byte : data) {
        hex.push_back(kDigits[byte >> 4]);
        hex.push_back(kDigits[byte & 0x0F]);
    }
    return hex;
}

std::string v_VornUtils::hexStringFromData(const Bytes& data) {
    return hexStringFromData(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

bool v_VornUtils::isValid(const nlohmann::json* value) {
    return value != nullptr && !value->is_null();
}

std::string v_VornUtils::serverHostAddress() {
    const auto hosts = DeviceContext::shared().hosts();
    const ServiceHost api = ServiceHost::parse(hosts.api);
    // A service on this machine's loopback needs no outside route.
    const bool loopback = LinuxReachabilitySource::isLoopbackHost(api.authority);
    if (!loopback && vReachability::reachabilityForInternetConnection()->currentReachabilityStatus() == kNotReachable) {
        return "";
    }
    auto primary = vReachability::reachabilityWithHostName(api.authority);
    if (primary && primary->isReachable()) return api.origin() + "/7";
    return ServiceHost::parse(hosts.fallback).origin() + "/7";
}

std::string v_VornUtils::cloudServerHostAddress() {
    return ServiceHost::parse(DeviceContext::shared().hosts().cloud).origin() + "/1";
}

std::string v_VornUtils::fileHostAddress() {
    return ServiceHost::parse(DeviceContext::shared().hosts().file).origin() + "/7";
}

std::string v_VornUtils::fileDownloadAddress() {
    return ServiceHost::parse(DeviceContext::shared().hosts().file).origin();
}

std::string v_VornUtils::storedFileDownloadAddress() {
    if (auto stored = DeviceContext::shared().store()->stringForKey(storekeys::kFileUrl)) return *stored;
    return fileDownloadAddress();
}

nlohmann::json v_VornUtils::exRequestDictionary() {
    auto& position = VornPosition::sharePosition();
    position.startUpdateLocation();
    const auto location = position.currentLocation();
    nlohmann::json ex = nlohmann::json::object();
    ex["latitude"] = location.latitude;
    ex["longitude"] = location.longitude;
    if (auto device = DeviceContext::shared().deviceIdentifier()) ex["uuid"] = *device;
    ex["package"] = DeviceContext::shared().identity().bundleIdentifier;
    return ex;
}

nlohmann::json v_VornUtils::clientDic() {
    // Filled member by member: a braced list would copy "ex" whole.
    nlohmann::json dic = nlohmann::json::object();
    dic["caller"] = "iOS";
    dic["ex"] = exRequestDictionary();
    return dic;
}

std::optional<VornError> v_VornUtils::vornErrorWithType(int code) {
    switch (code) {
        case kVornErrorNilPassword:
            return makeError(code, "nil password!");
        case kVornErrorNilUsername:
            return makeError(code, "nil username!");
        case kVornErrorConnectFailed:
            return makeError(code, "connect failed");
        case kVornErrorNoneObjectId:
            return makeError(code, "none objectid");
        case kVornErrorNoneObject:
            return makeError(code, "none object");
        case kVornErrorExpired:
            return makeError(code, "expired");
        case kVornErrorCloudFunctionFailed:
            return makeError(code, "cloud function failed");
        case kVornErrorNoneFilename:
            return makeError(code, "none filename");
        case kVornErrorNoneFile:
            return makeError(code, "none file");
        case kVornErrorUnknown:
            return makeError(code, "unknow error");
        case kVornErrorNoneFileData:
            return makeError(code, "none filendata");
        case kVornErrorUpdateContentNil:
            return makeError(code, "update content is nil");
        case kVornErrorFunctionNameNil:
            return makeError(code, "fuction name is nil");
        case kVornErrorArrayTooBig:
            return makeError(code, "array is too big");
        case kVornErrorNilArray:
            return makeError(code, "nil array");
        case kVornErrorNilPushContent:
            return makeError(code, "nil push content");
        case kVornErrorFileTooBig:
            return makeError(code, "File size beyond the limit.");
        case kVornErrorCannotDeleteNow:
            return makeError(code, "can't delete now");
        case kVornErrorNilPhoneNumber:
            return makeError(code, "phone number is nil");
        case kVornErrorLackOfInformation:
            return makeError(code, "lack of required infomation");
        case kVornErrorWrongType:
            return makeError(code, "error type");
        case kVornErrorEventuallyJournalFull:
            return makeError(code, "the journal of eventual writes is full");
        case kVornErrorEventuallyUnreadable:
            return makeError(code, "a journal record could not be read");
        case kVornErrorEventuallyCleared:
            return makeError(code, "the eventual write was cleared");
        default:
            return std::nullopt;
    }
}

std::optional<std::string> v_VornUtils::appKey() {
    auto stored = DeviceContext::shared().store()->stringForKey(storekeys::kAppKey);
    if (!stored) return std::nullopt;
    return decodeBase64String(*stored);
}

}  // namespace vorn
