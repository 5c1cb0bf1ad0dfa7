#include "qfd/dividends.hpp"

#include <algorithm>
#include <cmath>

#include "util/format.hpp"

namespace ravlin {

namespace {

constexpr double kYearMilliseconds = 31536000000.0;
// Ex-dates further than this from the pricing time do not fit in int64 ms.
constexpr double kMaxYears = 2.9e8;

}  // namespace

std::expected<std::vector<Dividend>, std::string> dividends_from_rows(
    std::span<const double> years, std::span<const double> amounts, bool proportional,
    std::int64_t pricing_ts) {
  std::vector<Dividend> out;
  out.reserve(years.size());
  for (std::size_t k = 0; k < years.size(); ++k) {
    const double y = years[k], amount = amounts[k];
    if (!(std::fabs(y) < kMaxYears)) {
      return std::unexpected("ex-date " + format_double(y) + " years is not a finite time");
    }
    if (!(amount >= 0.0) || !std::isfinite(amount) || (proportional && !(amount < 1.0))) {
      return std::unexpected("the dividend at " + format_double(y) + " years must be " +
                             (proportional ? "at least 0 and below 1" : "finite and not negative") +
                             ", got " + format_double(amount));
    }
    const auto offset = static_cast<std::int64_t>(std::llround(y * kYearMilliseconds));
    out.push_back({pricing_ts + offset, amount, proportional});
  }
  return out;
}

double forward_log_fall(const Dividend& dividend, double forward_after) {
  if (dividend.proportional) return -std::log1p(-dividend.amount);
  return std::log1p(dividend.amount / forward_after);
}

void value_before_dividend(const Dividend& dividend, std::span<const double> x, double dx,
                           std::span<double> values, std::vector<double>& scratch) {
  const std::size_t n = x.size();
  scratch.assign(values.begin(), values.end());
  const double top = x[0];
  const double lowest = static_cast<double>(n - 1);
  const double shift = dividend.proportional ? std::log1p(-dividend.amount) : 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    double place = lowest;
    if (dividend.proportional) {
      place = (top - (x[i] + shift)) / dx;
    } else {
      const double after = std::exp(x[i]) - dividend.amount;
      if (after > 0.0) place = (top - std::log(after)) / dx;
    }
    place = std::clamp(place, 0.0, lowest);
    const auto j = std::min(static_cast<std::size_t>(place), n - 2);
    const double w = place - static_cast<double>(j);
    values[i] = scratch[j] * (1.0 - w) + scratch[j + 1] * w;
  }
}

}  // namespace ravlin
