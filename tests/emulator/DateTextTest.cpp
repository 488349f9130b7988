// "yyyy-MM-dd HH:mm:ss" local date text.

#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <optional>
#include <string>

#include "vorn_emulator/DateText.h"
#include "vorn_emulator/ServiceError.h"

namespace vorn::emulator {
namespace {

// Sets TZ for one test and puts the previous value back.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = ::getenv("TZ")) previous_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (previous_) {
            ::setenv("TZ", previous_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

private:
    std::optional<std::string> previous_;
};

TEST(EmulatorDateTextTest, FormatAndParseRoundTrip) {
    const auto now = Clock::now();
    const std::string text = formatDateText(now);
    ASSERT_EQ(text.size(), 19u);
    const auto parsed = parseDateText(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(*parsed, std::chrono::floor<std::chrono::seconds>(now));
    EXPECT_EQ(formatDateText(*parsed), text);
}

TEST(EmulatorDateTextTest, KnownInstantsInUtc) {
    ScopedTimeZone utc("UTC0");
    EXPECT_EQ(epochMillis(*parseDateText("1970-01-01 00:00:00")), 0);
    EXPECT_EQ(epochMillis(*parseDateText("1969-12-31 23:59:59")), -1000);
    EXPECT_EQ(epochMillis(*parseDateText("2024-02-29 12:34:56")), 1709210096000);
    EXPECT_EQ(formatDateText(fromEpochMillis(1709210096999)), "2024-02-29 12:34:56");
}

TEST(EmulatorDateTextTest, UsesTheLocalZone) {
    ScopedTimeZone zone("XST-5");  // five hours east of UTC, no DST
    EXPECT_EQ(epochMillis(*parseDateText("1970-01-01 05:00:00")), 0);
    EXPECT_EQ(formatDateText(fromEpochMillis(0)), "1970-01-01 05:00:00");
}

TEST(EmulatorDateTextTest, RejectsAnythingButTheExactForm) {
    for (const char* text : {"", "2024-01-01", "2024-01-01 00:00", "2024-01-01 00:00:00 ", " 2024-01-01 00:00:00",
                             "2024-01-01T00:00:00", "2024/01/01 00:00:00", "2024-1-01 00:00:00", "2024-01-1 00:00:00",
                             "2024-01-01 0:00:00", "24-01-01 00:00:00.0", "2024-01-01 00:00:00.000",
                             "2024-0a-01 00:00:00", "+024-01-01 00:00:00", "2024-01-01 00:00:-1"}) {
        EXPECT_FALSE(parseDateText(text)) << '"' << text << '"';
    }
}

TEST(EmulatorDateTextTest, RejectsImpossibleDatesAndTimes) {
    ScopedTimeZone utc("UTC0");
    for (const char* text : {"2024-00-10 00:00:00", "2024-13-10 00:00:00", "2024-01-00 00:00:00", "2024-01-32 00:00:00",
                             "2023-02-29 00:00:00", "1900-02-29 00:00:00", "2024-04-31 00:00:00", "2024-01-01 24:00:00",
                             "2024-01-01 23:60:00", "2024-01-01 23:59:60", "0000-01-01 00:00:00"}) {
        EXPECT_FALSE(parseDateText(text)) << text;
    }
    EXPECT_TRUE(parseDateText("2000-02-29 23:59:59"));
    EXPECT_TRUE(parseDateText("2024-12-31 00:00:00"));
}

TEST(EmulatorDateTextTest, RejectsLocalTimesSkippedByDaylightSaving) {
    ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");  // clocks jump 02:00 -> 03:00 on 2024-03-31
    EXPECT_FALSE(parseDateText("2024-03-31 02:30:00"));
    EXPECT_TRUE(parseDateText("2024-03-31 01:59:59"));
    EXPECT_TRUE(parseDateText("2024-03-31 03:00:00"));
    EXPECT_EQ(formatDateText(*parseDateText("2024-07-01 12:00:00")), "2024-07-01 12:00:00");
}

TEST(EmulatorDateTextTest, OrThrowGivesInvalidDate) {
    try {
        parseDateTextOrThrow("yesterday", "since");
        FAIL() << "no exception";
    } catch (const ServiceError& e) {
        EXPECT_EQ(e.code(), 107);
        EXPECT_NE(e.message().find("since"), std::string::npos);
    }
}

TEST(EmulatorDateTextTest, MillisCoverEveryYear) {
    ScopedTimeZone utc("UTC");
    EXPECT_EQ(parseDateTextMillis("1970-01-01 00:00:01"), 1000);
    EXPECT_EQ(parseDateTextMillis("2024-07-01 12:00:00"), epochMillis(*parseDateText("2024-07-01 12:00:00")));
    // Past the end of nanosecond time points (2262).
    EXPECT_EQ(parseDateTextMillis("2999-12-31 23:59:59"), 32503679999000);
    EXPECT_EQ(parseDateTextMillis("9999-12-31 23:59:59"), 253402300799000);
    EXPECT_FALSE(parseDateTextMillis("2024-02-30 00:00:00"));
}

}  // namespace
}  // namespace vorn::emulator
