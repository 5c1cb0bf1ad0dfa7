// Rows fitted to the forward: the asset itself is carried exactly, and a call
// at high volatility keeps its value where the plain rows lose it.
#include <gtest/gtest.h>

#include <cmath>

#include "qfd/black_scholes.hpp"
#include "support/grid_fixtures.hpp"

namespace ravlin {
namespace {

using testing::at_years;
using testing::black_scholes;
using testing::black_scholes_market;
using testing::grid_params;
using testing::make_timetable;

constexpr double kSpot = 100.0, kRate = 0.04, kDividend = 0.02;

double priced(const TimeTable& timetable, double vol, double years, bool fit) {
  const double variance = vol * vol * years;
  const double max_x = 8.0 * std::sqrt(variance) + 0.5 * variance + 0.1;
  BlackScholesCN grid(grid_params(black_scholes_market(kRate, kSpot, kDividend), 1000, max_x, 1.0 / 365.0),
                      "S", vol);
  grid.set_fit_forward(fit);
  auto ledger = calculate_fd(grid, timetable);
  if (!ledger) return std::nan("");
  return price_fd(grid, *ledger).value_or(std::nan(""));
}

TEST(FitForward, CarriesTheAssetExactlyAndKeepsAHighVolatilityCall) {
  const double years = 10.0, vol = 3.0;
  const std::int64_t expiry = at_years(years);
  const TimeTable asset = make_timetable({{0, expiry, 0, 1.0, 0}}, {"a"}, {"+"}, {"S"});
  const TimeTable call = make_timetable({{0, expiry, 0, 1.0, 0}, {1, expiry, 1, 1.0, 1}, {1, expiry, 1, -100.0, 2}},
                                        {"option", "ex"}, {">", "+"}, {"ex", "S", "USD"});
  const double forward = kSpot * std::exp(-kDividend * years);
  EXPECT_NEAR(priced(asset, vol, years, true), forward, 1e-10 * forward);
  EXPECT_LT(priced(asset, vol, years, false), 0.97 * forward);  // the plain rows lose the drift

  const double exact = black_scholes(true, kSpot, 100.0, kRate, kDividend, vol, years);
  EXPECT_NEAR(priced(call, vol, years, true), exact, 1e-4 * exact);
  EXPECT_LT(priced(call, vol, years, false), 0.97 * exact);
}

}  // namespace
}  // namespace ravlin
