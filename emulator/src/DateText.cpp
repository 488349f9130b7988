#include "vorn_emulator/DateText.h"

#include <ctime>

#include "vorn_emulator/ServiceError.h"

namespace vorn::emulator {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads `count` digits at `pos`; false when any is not a digit.
bool readNumber(std::string_view text, std::size_t pos, std::size_t count, int& out) {
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[pos + i];
        if (!isDigit(c)) return false;
        value = value * 10 + (c - '0');
    }
    out = value;
    return true;
}

bool isLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && isLeapYear(year)) return 29;
    return kDays[month - 1];
}

// Seconds since the epoch of a local "yyyy-MM-dd HH:mm:ss".
std::optional<std::time_t> parseSeconds(std::string_view text) {
    // yyyy-MM-dd HH:mm:ss
    // 0123456789012345678
    if (text.size() != 19) return std::nullopt;
    if (text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':' || text[16] != ':') {
        return std::nullopt;
    }
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!readNumber(text, 0, 4, year) || !readNumber(text, 5, 2, month) || !readNumber(text, 8, 2, day) ||
        !readNumber(text, 11, 2, hour) || !readNumber(text, 14, 2, minute) || !readNumber(text, 17, 2, second)) {
        return std::nullopt;
    }
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month)) return std::nullopt;
    if (hour > 23 || minute > 59 || second > 59) return std::nullopt;

    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    local.tm_wday = -1;  // mktime sets it on success; -1 is also a valid time_t
    const std::tm wanted = local;
    const std::time_t seconds = std::mktime(&local);
    if (local.tm_wday == -1) return std::nullopt;
    // mktime normalises a local time skipped by a DST change into another hour.
    if (local.tm_year != wanted.tm_year || local.tm_mon != wanted.tm_mon || local.tm_mday != wanted.tm_mday ||
        local.tm_hour != wanted.tm_hour || local.tm_min != wanted.tm_min || local.tm_sec != wanted.tm_sec) {
        return std::nullopt;
    }
    return seconds;
}

// The instant of `seconds` since the epoch; outside what the clock can hold
// (nanoseconds in 64 bits: before 1677 or after 2262), the nearest end.
Clock::time_point fromSecondsSaturated(std::time_t seconds) {
    using Seconds = std::chrono::duration<std::int64_t>;
    const auto limit = std::chrono::duration_cast<Seconds>(Clock::duration::max()).count();
    const std::int64_t value = static_cast<std::int64_t>(seconds);
    if (value >= limit) return Clock::time_point::max();
    if (value <= -limit) return Clock::time_point::min();
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(Seconds(value)));
}

}  // namespace

std::string formatDateText(Clock::time_point time) {
    const std::time_t seconds = Clock::to_time_t(std::chrono::floor<std::chrono::seconds>(time));
    std::tm local{};
    localtime_r(&seconds, &local);
    char buffer[32];
    const std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(buffer, n);
}

std::optional<Clock::time_point> parseDateText(std::string_view text) {
    auto seconds = parseSeconds(text);
    if (!seconds) return std::nullopt;
    return fromSecondsSaturated(*seconds);
}

std::optional<std::int64_t> parseDateTextMillis(std::string_view text) {
    auto seconds = parseSeconds(text);
    if (!seconds) return std::nullopt;
    return static_cast<std::int64_t>(*seconds) * 1000;
}

Clock::time_point parseDateTextOrThrow(std::string_view text, std::string_view field) {
    if (auto parsed = parseDateText(text)) return *parsed;
    throw ServiceError(ErrorCode::InvalidDate, "invalid date text in \"" + std::string(field) + "\": \"" +
                                                   std::string(text) + "\", expected yyyy-MM-dd HH:mm:ss");
}

std::int64_t epochMillis(Clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

Clock::time_point fromEpochMillis(std::int64_t millis) {
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(millis)));
}

}  // namespace vorn::emulator
