#include "support/TestDevice.h"

#include "vorn/core/FixedPositionSource.h"
#include "vorn/core/StoreKeys.h"
#include "vorn/core/VornPosition.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/core/vkOpenUDID.h"
#include "vorn/service/Vorn.h"

#include <gtest/gtest.h>
#include <unicode/basictz.h>
#include <unicode/locid.h>
#include <unicode/simpletz.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/tztrans.h>

#include <clocale>
#include <cstdio>
#include <regex>

using namespace vorn;

namespace {

std::string decodedStoredKey(test::TestDevice& device) {
    return v_VornUtils::decodeBase64String(device.store().stringForKey(storekeys::kAppKey).value()).value_or("<none>");
}

}  // namespace

TEST(VornUtils, AppKeyTextEscapesPlusAndDecodesBack) {
    // "\xFB\xEF" encodes with a "+" in standard base64.
    const std::string key = "k\xC3\xBB\xEF\xBF\xBE!";
    const auto encoded = v_VornUtils::encodeBase64String(key);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(encoded->find('+'), std::string::npos);
    EXPECT_NE(encoded->find("%2B"), std::string::npos);
    EXPECT_EQ(v_VornUtils::decodeBase64String(*encoded), key);
    EXPECT_EQ(v_VornUtils::encodeBase64String("abc"), "YWJj");
    EXPECT_FALSE(v_VornUtils::encodeBase64String(""));
    // Bytes that are not UTF-8 give no text.
    EXPECT_FALSE(v_VornUtils::decodeBase64String("/w=="));
    EXPECT_FALSE(v_VornUtils::decodeBase64String("not base64!"));
    EXPECT_EQ(v_VornUtils::encodeBase64Data(Bytes{0xFB, 0xFF}), "+/8=");
    EXPECT_EQ(v_VornUtils::decodeBase64Data(Bytes{'Y', 'W', 'J', 'j'}), "abc");
}

TEST(VornUtils, DigestsHexAndIdentifiers) {
    EXPECT_EQ(v_VornUtils::md5WithString(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(v_VornUtils::md5WithString("abc"), "900150983cd24fb0d6963f7d28e17f72");
    // The digest stops at the first NUL.
    EXPECT_EQ(v_VornUtils::md5WithString(std::string("abc\0def", 7)), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(v_VornUtils::hexStringFromData(Bytes{0x0A, 0xFF}), "0aff");
    EXPECT_EQ(v_VornUtils::hexStringFromData(Bytes{}), "");
    const std::regex uuidForm("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    const auto first = v_VornUtils::uuid();
    EXPECT_TRUE(std::regex_match(first, uuidForm)) << first;
    EXPECT_NE(first, v_VornUtils::uuid());
}

TEST(VornUtils, JsonTextOnlyForContainers) {
    EXPECT_EQ(v_VornUtils::stringOfJson(nlohmann::json{{"a", 1}}), "{\n  \"a\": 1\n}");
    EXPECT_TRUE(v_VornUtils::stringOfJson(nlohmann::json::array()));
    EXPECT_FALSE(v_VornUtils::stringOfJson(nlohmann::json("text")));
    EXPECT_FALSE(v_VornUtils::stringOfJson(nlohmann::json()));
    nlohmann::json value = nullptr;
    EXPECT_FALSE(v_VornUtils::isValid(&value));
    EXPECT_FALSE(v_VornUtils::isValid(nullptr));
    value = 0;
    EXPECT_TRUE(v_VornUtils::isValid(&value));
}

TEST(VornUtils, DateTextRoundTripsAndRejectsOtherForms) {
    const auto date = v_VornUtils::dateOfString("2024-02-29 13:05:09");
    ASSERT_TRUE(date);
    EXPECT_EQ(v_VornUtils::stringOfDate(*date), "2024-02-29 13:05:09");
    const auto now = std::chrono::system_clock::now();
    const auto text = v_VornUtils::stringOfDate(now);
    const auto back = v_VornUtils::dateOfString(text);
    ASSERT_TRUE(back);
    EXPECT_LT(std::chrono::abs(now - *back), std::chrono::seconds(1));
    for (const char* bad : {"", "2024-02-30 10:00:00", "2024-02-29", "2024-02-29 13:05:09 extra", "2024/02/29 13:05:09",
                            "2024-13-01 00:00:00", "4040-01-01 00:00:00", "1000-01-01 00:00:00"}) {
        EXPECT_FALSE(v_VornUtils::dateOfString(bad)) << bad;
    }
}

/// ICU's own reading of a date text in a zone, the reference for the
/// library's.
class ReferenceDates {
public:
    explicit ReferenceDates(const icu::TimeZone& zone)
        : format_(icu::UnicodeString("yyyy-MM-dd HH:mm:ss"), icu::Locale::getRoot(), status_) {
        format_.setLenient(false);
        format_.setTimeZone(zone);
    }
    std::optional<v_VornUtils::Date> parse(const std::string& string) const {
        const auto text = icu::UnicodeString::fromUTF8(string);
        icu::ParsePosition position(0);
        const UDate date = format_.parse(text, position);
        if (position.getErrorIndex() >= 0 || position.getIndex() != text.length()) return std::nullopt;
        if (!(date > -9.2e12 && date < 9.2e12)) return std::nullopt;
        return v_VornUtils::Date(
            std::chrono::duration_cast<v_VornUtils::Date::duration>(std::chrono::duration<double, std::milli>(date)));
    }
    /// The wall-clock text of an instant at a fixed offset from UTC.
    std::string wallText(UDate instant, int32_t offsetMillis) {
        wall_.adoptTimeZone(new icu::SimpleTimeZone(offsetMillis, icu::UnicodeString("fixed")));
        icu::UnicodeString text;
        wall_.format(instant, text);
        std::string result;
        return text.toUTF8String(result);
    }
    bool ok() const { return U_SUCCESS(status_); }

private:
    UErrorCode status_ = U_ZERO_ERROR;
    icu::SimpleDateFormat format_;
    icu::SimpleDateFormat wall_{icu::UnicodeString("yyyy-MM-dd HH:mm:ss"), icu::Locale::getRoot(), status_};
};

/// Makes a zone the process's default for a scope.
class DefaultZone {
public:
    explicit DefaultZone(const char* id) : previous_(icu::TimeZone::createDefault()) {
        icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone(icu::UnicodeString(id)));
    }
    ~DefaultZone() { icu::TimeZone::adoptDefault(previous_.release()); }
    DefaultZone(const DefaultZone&) = delete;
    DefaultZone& operator=(const DefaultZone&) = delete;

private:
    std::unique_ptr<icu::TimeZone> previous_;
};

TEST(VornUtils, DateTextReadsAsIcuReadsItInEveryZone) {
    for (const char* id : {"UTC", "America/New_York", "Europe/Berlin", "Europe/Dublin", "Australia/Lord_Howe",
                           "Asia/Kolkata", "Asia/Kathmandu", "Pacific/Apia", "America/Sao_Paulo", "America/Sitka"}) {
        SCOPED_TRACE(id);
        DefaultZone scoped(id);
        std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createDefault());
        ReferenceDates reference(*zone);
        ASSERT_TRUE(reference.ok());
        std::vector<std::string> texts = {
            "2021-01-01 00:00:00",    "1700-01-01 00:00:00",  "1699-12-31 23:59:59",  "2200-12-31 23:59:59",
            "2201-01-01 00:00:00",    "2261-01-01 00:00:00",  "1678-01-01 00:00:00",  "2000-02-29 12:00:00",
            "1900-02-29 12:00:00",    "2023-02-29 12:00:00",  "2024-04-31 00:00:00",  "2024-00-10 00:00:00",
            "2024-01-00 00:00:00",    "2024-01-01 24:00:00",  "2024-01-01 23:60:00",  "2024-01-01 23:59:60",
            "2024-1-01 00:00:00",     "+024-01-01 00:00:00",  " 2024-01-01 00:00:00", "2024-01-01 00:00:0",
            "2024-01-01T00:00:00",    "2024-01-01 00:00:00Z", "0000-01-01 00:00:00",  "9999-12-31 23:59:59",
            "２０２４-01-01 00:00:00"};
        // Every quarter hour of wall time from three hours before to three
        // hours after each change of offset, read by the offset before and
        // the one after (so skipped and repeated wall times too), and the
        // same wall times two days on either side.
        const auto* rules = dynamic_cast<const icu::BasicTimeZone*>(zone.get());
        ASSERT_NE(rules, nullptr);
        constexpr double kHour = 3600000.0;
        icu::TimeZoneTransition transition;
        UDate from = -2208988800000.0;  // 1900
        int changes = 0;
        while (from < 4102444800000.0 && rules->getNextTransition(from, false, transition)) {  // to 2100
            from = transition.getTime();
            const int32_t before = transition.getFrom()->getRawOffset() + transition.getFrom()->getDSTSavings();
            const int32_t after = transition.getTo()->getRawOffset() + transition.getTo()->getDSTSavings();
            for (int quarter = -12; quarter <= 12; ++quarter) {
                const UDate instant = from + quarter * kHour / 4;
                texts.push_back(reference.wallText(instant, before));
                texts.push_back(reference.wallText(instant, after));
            }
            for (double days : {-2.0, 2.0}) {
                for (double hours : {-1.0, 0.0, 1.0}) {
                    texts.push_back(reference.wallText(from + (days * 24 + hours) * kHour, before));
                }
            }
            ++changes;
        }
        EXPECT_EQ(changes > 0, std::string(id) != "UTC");
        for (const auto& text : texts) {
            EXPECT_EQ(v_VornUtils::dateOfString(text), reference.parse(text)) << text;
        }
    }
}

TEST(VornUtils, ErrorTable) {
    const auto connect = v_VornUtils::vornErrorWithType(20002);
    ASSERT_TRUE(connect);
    EXPECT_EQ(connect->domain, kVornErrorDomain);
    EXPECT_EQ(connect->userInfo, (std::map<std::string, std::string>{{"error", "connect failed"}}));
    EXPECT_EQ(v_VornUtils::vornErrorWithType(20010)->message(), "unknow error");
    EXPECT_EQ(v_VornUtils::vornErrorWithType(20017)->message(), "File size beyond the limit.");
    EXPECT_EQ(v_VornUtils::vornErrorWithType(20021)->message(), "error type");
    EXPECT_EQ(v_VornUtils::vornErrorWithType(20021)->code, 20021);
    int defined = 0;
    for (int code = 19990; code < 20030; ++code) {
        if (v_VornUtils::vornErrorWithType(code)) ++defined;
    }
    EXPECT_EQ(defined, 21);  // 20000..20021 without 20007
    EXPECT_FALSE(v_VornUtils::vornErrorWithType(20007));
    EXPECT_FALSE(v_VornUtils::vornErrorWithType(101));
    EXPECT_FALSE(v_VornUtils::vornErrorWithType(20022));
}

TEST(Registration, WritesTheStoreAndKeepsTheApplicationsSwitch) {
    test::TestDevice device("files.example:9000");
    EXPECT_FALSE(VornPosition::sharePosition().gpsIsOpen());
    Vorn::registerWithAppKey("first+key");
    EXPECT_EQ(device.store().stringForKey(storekeys::kFileUrl), "http://files.example:9000");
    EXPECT_EQ(decodedStoredKey(device), "first+key");
    EXPECT_EQ(v_VornUtils::appKey(), "first+key");
    EXPECT_TRUE(VornPosition::sharePosition().gpsIsOpen());

    VornGPSSwitch::gpsSwitch(false);
    Vorn::registerWithAppKey("second");
    EXPECT_EQ(v_VornUtils::appKey(), "second");
    EXPECT_EQ(device.store().objectForKey(storekeys::kGPSOpen), nlohmann::json(false));
}

TEST(ClientBlock, CarriesPositionDeviceAndPackage) {
    test::TestDevice device;
    DeviceContext::shared().setIdentity(AppIdentity{"com.example.app", "Example", "2.0"});
    const auto client = v_VornUtils::clientDic();
    EXPECT_EQ(client["caller"], "iOS");
    EXPECT_EQ(client["ex"]["latitude"], 0.0);
    EXPECT_EQ(client["ex"]["longitude"], 0.0);
    EXPECT_EQ(client["ex"]["package"], "com.example.app");
    const auto device_id = DeviceContext::shared().deviceIdentifier();
    ASSERT_TRUE(device_id);
    EXPECT_TRUE(std::regex_match(*device_id, std::regex("[0-9a-f]{40}")));
    EXPECT_EQ(client["ex"]["uuid"], *device_id);
    // The identifier is kept in the application's record.
    EXPECT_EQ(device.store().objectForKey(storekeys::kOpenUDID)->at("OpenUDID"), *device_id);
}

TEST(ClientBlock, LeavesOutAnUnknownDeviceIdentifier) {
    test::TestDevice device;
    struct NoIdentifier : DeviceIdSource {
        std::optional<std::string> deviceIdentifier() override { return std::nullopt; }
    };
    DeviceContext::shared().setDeviceIdSource(std::make_shared<NoIdentifier>());
    EXPECT_FALSE(v_VornUtils::exRequestDictionary().contains("uuid"));
}

TEST(CloudKey, JoinsKeyPositionPackageAndDeviceDigest) {
    test::TestDevice device;
    DeviceContext::shared().setIdentity(AppIdentity{"com.example.app", "Example", "1.0"});
    Vorn::registerWithAppKey("app-key");
    const auto digest = v_VornUtils::md5WithString(vkOpenUDID::value());
    EXPECT_EQ(v_VornUtils::vornAppkeyWithLongitude(0, 0, "ignored"),
              "app-key-0.000000-0.000000-com.example.app-" + digest + "-1");
    EXPECT_EQ(v_VornUtils::vornAppkeyWithLongitude(121.5, -31.25, ""),
              "app-key-121.500000--31.250000-com.example.app-" + digest + "-1");
}

// Numbers the library writes or reads never follow the process locale.
TEST(CloudKey, NumbersIgnoreTheProcessLocale) {
    struct GermanNumbers {
        std::string previous = std::setlocale(LC_NUMERIC, nullptr);
        bool active = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
        ~GermanNumbers() { std::setlocale(LC_NUMERIC, previous.c_str()); }
    } german;
    if (!german.active) GTEST_SKIP() << "the de_DE.UTF-8 locale is not installed (./dev generates it)";
    char probe[16];
    std::snprintf(probe, sizeof(probe), "%.1f", 1.5);
    ASSERT_STREQ(probe, "1,5");  // the locale is really in force

    test::TestDevice device;
    DeviceContext::shared().setIdentity(AppIdentity{"com.example.app", "Example", "1.0"});
    Vorn::registerWithAppKey("app-key");
    const auto digest = v_VornUtils::md5WithString(vkOpenUDID::value());
    EXPECT_EQ(v_VornUtils::vornAppkeyWithLongitude(-1.5, -2.5, ""),
              "app-key--1.500000--2.500000-com.example.app-" + digest + "-1");
    EXPECT_EQ(v_VornUtils::vornAppkeyWithLongitude(1.5, 2.5, ""),
              "app-key-1.500000-2.500000-com.example.app-" + digest + "-1");
    EXPECT_EQ(nlohmann::json(1.5).dump(), "1.5");
    const auto position = FixedPositionSource::parse("1.5,-2.25");
    ASSERT_TRUE(position);
    EXPECT_EQ(position->latitude, 1.5);
    EXPECT_EQ(position->longitude, -2.25);
}
