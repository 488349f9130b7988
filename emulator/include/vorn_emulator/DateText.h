#pragma once

// Date text as the service writes and reads it: "yyyy-MM-dd HH:mm:ss" in the
// emulator's local time zone, whole seconds.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::emulator {

using Clock = std::chrono::system_clock;

// Formats a time point as local "yyyy-MM-dd HH:mm:ss" (sub-second part dropped).
std::string formatDateText(Clock::time_point time);

// Parses local "yyyy-MM-dd HH:mm:ss" strictly: exactly 19 characters, two-digit
// fields with leading zeros, valid calendar date, hours 00-23, minutes and
// seconds 00-59, and a local time that exists (not skipped by a DST change).
// Years past 2262 (or before 1677) give the clock's last (first) instant.
std::optional<Clock::time_point> parseDateText(std::string_view text);

// The same date as epoch milliseconds. Unlike a Clock::time_point (whose
// nanoseconds end in 2262), this covers every year up to 9999.
std::optional<std::int64_t> parseDateTextMillis(std::string_view text);

// Like parseDateText, but throws ServiceError(ErrorCode::InvalidDate) naming
// `field` when the text does not parse.
Clock::time_point parseDateTextOrThrow(std::string_view text, std::string_view field = "date");

// Milliseconds since the Unix epoch.
std::int64_t epochMillis(Clock::time_point time);
Clock::time_point fromEpochMillis(std::int64_t millis);

}  // namespace vorn::emulator
