// Discrete dividends of the asset modelled on the Black-Scholes grid: at each
// ex-date its price falls by a cash amount or by a share of itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace ravlin {

struct Dividend {
  std::int64_t time = 0;  // the ex-date: rows at this time see the price after it
  double amount = 0.0;    // cash, or the share of the price when proportional
  bool proportional = false;
};

// Dividends from rows of (ex-date in years from the pricing time, amount),
// in their order. Amounts must be
// finite and not negative, proportional ones below 1, the dates finite;
// otherwise the text of the fault.
std::expected<std::vector<Dividend>, std::string> dividends_from_rows(
    std::span<const double> years, std::span<const double> amounts, bool proportional,
    std::int64_t pricing_ts);

// ln(F before / F after) across the ex-date, for the forward F after it:
// what the forward falls by, in logs, when the price falls by the dividend.
double forward_log_fall(const Dividend& dividend, double forward_after);

// Values just before the ex-date from those just after, on the log-price
// nodes x (descending, spacing dx): v(x) = v_after(x'), with x' the log price
// after the dividend, interpolated linearly between nodes. A price that the
// dividend would take to or below the lowest node takes the lowest node's
// value there: the asset is (as good as) worthless. `scratch` holds a copy.
void value_before_dividend(const Dividend& dividend, std::span<const double> x, double dx,
                           std::span<double> values, std::vector<double>& scratch);

}  // namespace ravlin
