#include "util/format.hpp"

#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace ravlin {

std::string format_double(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // The longest fixed-notation shortest form is about 330 characters (1e-308
  // has 308 leading zeros, DBL_MAX has 309 digits).
  std::array<char, 400> buffer{};
  auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                 std::chars_format::fixed);
  if (ec != std::errc{}) return "NaN";  // unreachable with this buffer size
  return std::string(buffer.data(), end);
}

std::string format_event_time(std::int64_t millis) {
  using namespace std::chrono;
  // Days from the epoch by floor division, so negative times land on the
  // previous day; year_month_day covers years -32767 to 32767.
  constexpr std::int64_t kMsPerDay = 86'400'000;
  std::int64_t days = millis / kMsPerDay;
  std::int64_t rem = millis % kMsPerDay;
  if (rem < 0) {
    rem += kMsPerDay;
    days -= 1;
  }
  constexpr std::int64_t kDayLimit = 11'000'000;  // inside year_month_day's range
  if (days > kDayLimit || days < -kDayLimit) return "None";
  const year_month_day date{sys_days{std::chrono::days{days}}};
  if (!date.ok()) return "None";
  const int year = static_cast<int>(date.year());
  const unsigned month = static_cast<unsigned>(date.month());
  const unsigned day = static_cast<unsigned>(date.day());
  const auto ms = static_cast<unsigned>(rem % 1000);
  const auto secs = static_cast<unsigned>(rem / 1000);
  std::array<char, 64> buffer{};
  int length = 0;
  if (ms == 0) {
    length = std::snprintf(buffer.data(), buffer.size(), "Single(%04d-%02u-%02uT%02u:%02u:%02uZ)",
                           year, month, day, secs / 3600, secs / 60 % 60, secs % 60);
  } else {
    length = std::snprintf(buffer.data(), buffer.size(),
                           "Single(%04d-%02u-%02uT%02u:%02u:%02u.%03uZ)", year, month, day,
                           secs / 3600, secs / 60 % 60, secs % 60, ms);
  }
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}

std::string quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

}  // namespace ravlin
