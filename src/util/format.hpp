// The two formatters of message texts: numbers and event times.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ravlin {

// Shortest text that reads back to the same double, in fixed notation without
// exponent and without a fractional part when whole: 2.0 -> "2",
// 1e-7 -> "0.0000001". NaN, inf, -inf and -0 are spelled out as such.
std::string format_double(double value);

// "Single(2024-01-31T12:00:00.250Z)" for milliseconds since the epoch; the
// milliseconds appear only when not zero; "None" outside the calendar range.
std::string format_event_time(std::int64_t millis);

// Double-quoted string, with a backslash before any '"' or '\'.
std::string quote(std::string_view text);

}  // namespace ravlin
