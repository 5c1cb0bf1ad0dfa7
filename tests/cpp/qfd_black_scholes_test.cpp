// Black-Scholes on the log-price grid against closed forms and a binomial tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <unordered_map>
#include <vector>

#include "qfd/black_scholes.hpp"
#include "support/grid_fixtures.hpp"

namespace ravlin {
namespace {

using testing::at_years;
using testing::black_scholes;
using testing::black_scholes_market;
using testing::grid_params;
using testing::kT0;
using testing::make_timetable;
using testing::Row;

constexpr double kSpot = 100.0;
constexpr double kRate = 0.05;
constexpr double kDividend = 0.02;
constexpr double kVol = 0.2;
constexpr double kDay = 1.0 / 365.0;

BlackScholesCN model(std::size_t n_x, double timestep, double years = 1.0, double spot = kSpot,
                     double rate = kRate, double dividend = kDividend) {
  const double max_x = 5.0 * kVol * std::sqrt(years);
  return BlackScholesCN(
      grid_params(black_scholes_market(rate, spot, dividend), n_x, max_x, timestep), "S", kVol);
}

std::expected<double, ModelError> grid_price(BlackScholesCN& grid, const TimeTable& timetable) {
  RV_ASSIGN(const Ledger ledger, calculate_fd(grid, timetable));
  return price_fd(grid, ledger);
}

double checked_price(BlackScholesCN& grid, const TimeTable& timetable) {
  auto price = grid_price(grid, timetable);
  if (!price) ADD_FAILURE() << price.error().text();
  return price.value_or(std::nan(""));
}

// max(S - K, 0) (call) or max(K - S, 0) (put) at `years`: the exercise value
// on track "ex", which the option's track takes when it is larger than 0.
TimeTable european(bool call, double strike, double years) {
  const double sign = call ? 1.0 : -1.0;
  const std::int64_t expiry = at_years(years);
  return make_timetable({{0, expiry, 0, 1.0, 0},
                         {1, expiry, 1, sign, 1},
                         {1, expiry, 1, -sign * strike, 2}},
                        {"option", "ex"}, {">", "+"}, {"ex", "S", "USD"});
}

// A put that may be exercised at the end of every day of the year: each day
// has its own exercise track.
TimeTable daily_american_put(double strike, int days) {
  std::vector<Row> rows;
  std::vector<std::optional<std::string>> tracks{"put"}, units;
  for (int day = 1; day <= days; ++day) {
    const std::int64_t time = at_years(day * kDay);
    rows.push_back({0, time, 0, 1.0, day - 1});
    rows.push_back({day, time, 1, strike, days});
    rows.push_back({day, time, 1, -1.0, days + 1});
    tracks.push_back("ex" + std::to_string(day));
    units.push_back("ex" + std::to_string(day));
  }
  units.push_back("USD");
  units.push_back("S");
  return make_timetable(rows, tracks, {">", "+"}, units);
}

// A put with exercise after every `per_day`-th of `days * per_day` steps of
// a Cox-Ross-Rubinstein tree.
double bermudan_put_tree(double strike, int days, int per_day) {
  const int steps = days * per_day;
  const double dt = days * kDay / steps;
  const double up = std::exp(kVol * std::sqrt(dt));
  const double down = 1.0 / up;
  const double p = (std::exp((kRate - kDividend) * dt) - down) / (up - down);
  const double discount = std::exp(-kRate * dt);
  std::vector<double> values(steps + 1);
  const auto spot_at = [&](int step, int ups) {
    return kSpot * std::pow(up, ups) * std::pow(down, step - ups);
  };
  for (int j = 0; j <= steps; ++j) values[j] = std::max(strike - spot_at(steps, j), 0.0);
  for (int step = steps - 1; step >= 0; --step) {
    const bool exercise = step > 0 && step % per_day == 0;
    for (int j = 0; j <= step; ++j) {
      values[j] = discount * (p * values[j + 1] + (1.0 - p) * values[j]);
      if (exercise) values[j] = std::max(values[j], strike - spot_at(step, j));
    }
  }
  return values[0];
}

// ---------------------------------------------------------------------------

struct EuropeanCase {
  bool call;
  double strike;
};

class BlackScholesEuropean : public ::testing::TestWithParam<EuropeanCase> {};

TEST_P(BlackScholesEuropean, MatchesTheClosedForm) {
  const auto [call, strike] = GetParam();
  BlackScholesCN grid = model(400, kDay);
  const double price = checked_price(grid, european(call, strike, 1.0));
  const double exact = black_scholes(call, kSpot, strike, kRate, kDividend, kVol, 1.0);
  EXPECT_NEAR(price, exact, 1e-3 * exact) << "grid " << price << " closed form " << exact;
}

INSTANTIATE_TEST_SUITE_P(CallsAndPuts, BlackScholesEuropean,
                         ::testing::Values(EuropeanCase{true, 90.0}, EuropeanCase{true, 100.0},
                                           EuropeanCase{true, 115.0}, EuropeanCase{false, 85.0},
                                           EuropeanCase{false, 100.0},
                                           EuropeanCase{false, 110.0}));

// With the strike on the middle node for every grid, halving both spacings
// divides the error by about four: the scheme is of second order.
TEST(BlackScholes, ErrorFallsAsTheGridIsRefined) {
  const double exact = black_scholes(true, kSpot, 100.0, kRate, kDividend, kVol, 1.0);
  std::vector<double> errors;
  for (const auto& [n_x, steps_per_year] :
       {std::pair{25, 12}, {50, 24}, {100, 48}, {200, 96}, {400, 192}}) {
    BlackScholesCN grid = model(n_x, 1.0 / steps_per_year);
    errors.push_back(std::fabs(checked_price(grid, european(true, 100.0, 1.0)) - exact));
  }
  for (std::size_t k = 1; k < errors.size(); ++k) {
    EXPECT_LT(errors[k], 0.3 * errors[k - 1]) << "refinement " << k;
  }
}

TEST(BlackScholes, AmericanPutIsWorthMoreThanItsEuropeanTwinAndMatchesATree) {
  constexpr double kStrike = 100.0;
  constexpr int kDays = 365;
  BlackScholesCN grid = model(400, kDay);
  const double american = checked_price(grid, daily_american_put(kStrike, kDays));
  BlackScholesCN european_grid = model(400, kDay);
  const double twin = checked_price(european_grid, european(false, kStrike, kDays * kDay));
  // Two tree sizes straddle the tree's odd-even oscillation.
  const double tree =
      0.5 * (bermudan_put_tree(kStrike, kDays, 20) + bermudan_put_tree(kStrike, kDays, 21));
  EXPECT_GT(american, twin + 0.05) << "american " << american << " european " << twin;
  EXPECT_NEAR(american, tree, 1e-3 * tree) << "grid " << american << " tree " << tree;
}

TEST(BlackScholes, TheModelledAssetIsPricedOnEachNode) {
  // One unit of S paid in a year is worth its discounted forward,
  // S0 e^(-q T), read at the middle node, which starts at S0.
  BlackScholesCN grid = model(200, kDay);
  const auto timetable = make_timetable({{0, at_years(1), 0, 2.0, 0}}, {"A"}, {"+"}, {"S"});
  auto ledger = calculate_fd(grid, timetable);
  ASSERT_TRUE(ledger) << ledger.error().text();
  auto price = price_fd(grid, *ledger);
  ASSERT_TRUE(price) << price.error().text();
  EXPECT_NEAR(*price, 2.0 * kSpot * std::exp(-kDividend), 1e-4 * kSpot);

  auto state = grid.create_state_cn(timetable);
  ASSERT_TRUE(state) << state.error().text();
  const std::optional<Values> nodes = grid.get_model_val_cn(*state, "S");
  ASSERT_TRUE(nodes);
  EXPECT_NEAR((*nodes)[200], kSpot, 1e-12 * kSpot);
  EXPECT_NEAR((*nodes)[0], kSpot * std::exp(5.0 * kVol), 1e-9 * kSpot);
  EXPECT_FALSE(grid.get_model_val_cn(*state, "USD"));
  EXPECT_FALSE(grid.get_model_val_cn(*state, "s"));
}

TEST(BlackScholes, ZeroVolatilityCarriesOnlyDriftAndDiscount) {
  BlackScholesCN grid(grid_params(black_scholes_market(kRate, kSpot, kDividend), 4, 1.0, kDay),
                      "S", 0.0);
  const auto timetable = make_timetable({{0, at_years(1), 0, 1.0, 0}}, {"A"}, {"+"}, {"S"});
  auto state = grid.create_state_cn(timetable);
  ASSERT_TRUE(state);
  Tridiagonal s(9), r(9);
  ASSERT_TRUE(grid.cn_coefficients(*state, at_years(0.5), s, r));
  const double dt = 0.5, dx = 0.25;
  const double u = (dt * 0.25) * (kRate - kDividend) / dx;
  // The curves' rates carry rounding of their own.
  for (std::size_t i = 1; i + 1 < 9; ++i) {
    EXPECT_NEAR(r.lower[i], -u, 1e-13);
    EXPECT_NEAR(r.upper[i], u, 1e-13);
    EXPECT_NEAR(r.diag[i], -1.0 + dt * 0.5 * kRate, 1e-13);
    EXPECT_EQ(s.lower[i], -r.lower[i]);
    EXPECT_EQ(s.diag[i], -2.0 - r.diag[i]);
    EXPECT_EQ(s.upper[i], -r.upper[i]);
  }
  EXPECT_NEAR(r.upper[0], 2.0 * u, 1e-13);
  EXPECT_NEAR(r.diag[0], -1.0 - 2.0 * u + dt * 0.5 * kRate, 1e-13);
  EXPECT_NEAR(r.lower[8], -2.0 * u, 1e-13);
  EXPECT_NEAR(r.diag[8], -1.0 + 2.0 * u + dt * 0.5 * kRate, 1e-13);
}

TEST(BlackScholes, SpotMustBePositive) {
  // exp(-800) is 0 in doubles; a NaN log gives a NaN value.
  for (const double log_spot : {-800.0, std::nan("")}) {
    std::unordered_map<std::string, AssetLogFwd> curves;
    curves.emplace("USD", testing::zero_curve({{1.0, kRate}, {10.0, kRate}}));
    curves.emplace("S", testing::checked_curve({0.0, 10.0}, {log_spot, log_spot},
                                               AssetKind::Quoted));
    BlackScholesCN grid(grid_params(Assets(std::move(curves), "USD"), 10, 1.0, kDay), "S", kVol);
    auto price = grid_price(grid, european(true, 100.0, 1.0));
    ASSERT_FALSE(price);
    EXPECT_EQ(price.error().text(),
              "Asset 'S' value at the pricing time must be positive, got " +
                  std::string(std::isnan(log_spot) ? "NaN" : "0"));
  }
}

// The market of `model` with the forward of "S" falling across each dividend
// (at its ex-date, from the millisecond before), growing at r - q otherwise.
BlackScholesCN paying_model(const std::vector<Dividend>& dividends, std::size_t n_x,
                            double years) {
  const double growth = kRate - kDividend;
  std::vector<double> times{0.0}, logs{std::log(kSpot)};
  double log_forward = std::log(kSpot);
  for (const Dividend& dividend : dividends) {
    const double at = static_cast<double>(dividend.time - kT0) / 31536000000.0;
    const double just_before = at - 1.0 / 31536000000.0;
    log_forward += growth * (just_before - times.back());
    times.push_back(just_before);
    logs.push_back(log_forward);
    const double forward = std::exp(log_forward);
    log_forward = std::log(dividend.proportional ? forward * (1.0 - dividend.amount)
                                                 : forward - dividend.amount);
    times.push_back(at);
    logs.push_back(log_forward);
  }
  logs.push_back(log_forward + growth * (10.0 - times.back()));
  times.push_back(10.0);
  std::unordered_map<std::string, AssetLogFwd> curves;
  curves.emplace("USD", testing::zero_curve({{1.0, kRate}, {10.0, kRate}}));
  curves.emplace("S", testing::checked_curve(times, logs, AssetKind::Quoted));
  BlackScholesCN grid(grid_params(Assets(std::move(curves), "USD"), n_x,
                                  5.0 * kVol * std::sqrt(years), kDay),
                      "S", kVol);
  grid.set_dividends(dividends);
  return grid;
}

// A cash dividend: the price falls by it at the ex-date. The reference
// integrates the closed form after the ex-date over the lognormal price
// just before it.
TEST(BlackScholes, CashDividendMatchesTheLognormalBeforeAndAfterTheExDate) {
  constexpr double kCash = 5.0, kExDate = 0.5, kYears = 1.0;
  const double before = kSpot * std::exp((kRate - kDividend) * kExDate);
  const double sd = kVol * std::sqrt(kExDate);
  for (const auto& [call, strike] : {std::pair{true, 95.0}, {false, 95.0}, {true, 110.0}}) {
    BlackScholesCN grid = paying_model({Dividend{at_years(kExDate), kCash, false}}, 800, kYears);
    const double price = checked_price(grid, european(call, strike, kYears));
    // Simpson's rule over the normal variable of the price before the ex-date.
    constexpr int kIntervals = 4000;
    constexpr double kReach = 10.0;
    double sum = 0.0;
    for (int k = 0; k <= kIntervals; ++k) {
      const double z = -kReach + 2.0 * kReach * k / kIntervals;
      const double after = before * std::exp(-0.5 * sd * sd + sd * z) - kCash;
      const double tail = kYears - kExDate;
      const double value = after > 0.0
                               ? black_scholes(call, after, strike, kRate, kDividend, kVol, tail)
                               : (call ? 0.0 : strike * std::exp(-kRate * tail));
      const double weight = (k == 0 || k == kIntervals) ? 1.0 : (k % 2 ? 4.0 : 2.0);
      sum += weight * value * std::exp(-0.5 * z * z);
    }
    const double exact =
        std::exp(-kRate * kExDate) * sum * (2.0 * kReach / kIntervals / 3.0) / std::sqrt(2.0 * std::numbers::pi);
    EXPECT_NEAR(price, exact, 2e-4 * exact) << (call ? "call " : "put ") << strike;
  }
}

// Rows at the ex-date see the price after the dividend, rows a day before it
// the price with the dividend: one unit of the asset paid at each is worth
// the curve's forward there, discounted.
TEST(BlackScholes, RowsAtTheExDateSeeThePriceAfterTheDividend) {
  constexpr double kCash = 5.0;
  const std::int64_t ex_date = at_years(0.5);
  const double growth = kRate - kDividend;
  for (const auto& [time, forward] :
       {std::pair{ex_date, kSpot * std::exp(growth * 0.5) - kCash},
        {ex_date - 86400000, kSpot * std::exp(growth * (0.5 - kDay))}}) {
    BlackScholesCN grid = paying_model({Dividend{ex_date, kCash, false}}, 400, 1.0);
    const auto timetable = make_timetable({{0, time, 0, 1.0, 0}}, {"A"}, {"+"}, {"S"});
    const double years = static_cast<double>(time - kT0) / 31536000000.0;
    EXPECT_NEAR(checked_price(grid, timetable), forward * std::exp(-kRate * years), 1e-4 * kSpot);
  }
}

// Proportional dividends keep the price lognormal: Black's formula on the
// forward at expiry.
TEST(BlackScholes, ProportionalDividendsKeepThePriceLognormal) {
  const std::vector<Dividend> dividends{{at_years(0.3), 0.04, true}, {at_years(0.7), 0.02, true}};
  BlackScholesCN grid = paying_model(dividends, 400, 1.0);
  const double yield = kDividend - std::log(0.96 * 0.98);  // the dividends as a yield over the year
  const double exact = black_scholes(true, kSpot, 100.0, kRate, yield, kVol, 1.0);
  EXPECT_NEAR(checked_price(grid, european(true, 100.0, 1.0)), exact, 2e-4 * exact);
}

// Pieces of volatility in time: each step takes the mean variance over it,
// so the price is Black-Scholes with the total variance.
TEST(BlackScholes, VolatilityPiecesPriceWithTheTotalVariance) {
  auto pieces = ShortRateVolatility::piecewise({0.0, 0.3, 0.55}, {0.15, 0.3, 0.22});
  ASSERT_TRUE(pieces);
  const double total = 0.15 * 0.15 * 0.3 + 0.3 * 0.3 * 0.25 + 0.22 * 0.22 * 0.45;
  for (const auto& [call, strike] : {std::pair{true, 100.0}, {false, 90.0}, {true, 120.0}}) {
    BlackScholesCN grid = model(400, kDay);
    grid.set_volatility_pieces(*pieces);
    const double exact = black_scholes(call, kSpot, strike, kRate, kDividend, std::sqrt(total), 1.0);
    EXPECT_NEAR(checked_price(grid, european(call, strike, 1.0)), exact, 1e-4 * exact) << strike;
  }
}

// A local volatility table that is the same at every price and time prices
// as that one volatility, through the rows formed node by node.
TEST(BlackScholes, FlatLocalVolatilityIsTheConstantOne) {
  auto table = LocalVolTable::create({0.0, 0.5, 2.0}, {50.0, 100.0, 200.0},
                                     std::vector<double>(9, kVol));
  ASSERT_TRUE(table);
  BlackScholesCN local = model(200, kDay);
  local.set_local_volatility(*table);
  BlackScholesCN constant = model(200, kDay);
  const TimeTable put = european(false, 105.0, 1.0);
  EXPECT_NEAR(checked_price(local, put), checked_price(constant, put), 1e-12);
}

TEST(BlackScholes, LocalVolatilityTablesAreChecked) {
  EXPECT_FALSE(LocalVolTable::create({0.0, 1.0}, {100.0}, {0.2}));
  EXPECT_FALSE(LocalVolTable::create({1.0, 0.5}, {100.0}, {0.2, 0.2}));
  EXPECT_FALSE(LocalVolTable::create({1.0}, {-1.0, 100.0}, {0.2, 0.2}));
  EXPECT_FALSE(LocalVolTable::create({1.0}, {100.0}, {std::nan("")}));
  EXPECT_TRUE(LocalVolTable::create({1.0}, {100.0}, {0.2}));
}

// A cash digital call, a phrase of the price, valued on the nodes: averaged
// over each node's cell it matches the closed form; without phrase points the
// grid refuses it as ever.
TEST(BlackScholes, PhraseOfThePriceIsValuedOnTheNodes) {
  constexpr double kStrike = 104.0;
  auto digital = [] {
    Expressions expressions;
    expressions.phrases["digital"] =
        testing::fake_phrase({"S", "USD"}, [](const std::vector<Values>& in) -> testing::PhraseResult {
          Values paid(in[0].size());
          for (std::size_t j = 0; j < paid.size(); ++j) paid[j] = in[0][j] > kStrike ? in[1][0] : 0.0;
          return std::vector<Values>{paid};
        });
    return make_timetable({{0, at_years(1), 0, 1.0, 0}}, {"A"}, {"+"}, {"digital"},
                          std::move(expressions));
  };
  const double d2 = (std::log(kSpot / kStrike) + (kRate - kDividend - 0.5 * kVol * kVol)) / kVol;
  const double exact = std::exp(-kRate) * testing::normal_cdf(d2);
  BlackScholesCN grid = model(400, kDay);
  grid.set_phrase_points(16);
  EXPECT_NEAR(checked_price(grid, digital()), exact, 1e-3 * exact);

  BlackScholesCN refusing = model(400, kDay);
  auto price = grid_price(refusing, digital());
  ASSERT_FALSE(price);
  EXPECT_NE(price.error().text().find("Phrase in FD: digital"), std::string::npos) << price.error().text();
}

TEST(BlackScholes, DividendRowsAreChecked) {
  const std::vector<double> years{0.5, 1.0};
  EXPECT_FALSE(dividends_from_rows(years, std::vector<double>{1.0, -1.0}, false, kT0));
  EXPECT_FALSE(dividends_from_rows(years, std::vector<double>{0.1, 1.0}, true, kT0));
  EXPECT_FALSE(dividends_from_rows(std::vector<double>{0.5, std::nan("")},
                                   std::vector<double>{1.0, 1.0}, false, kT0));
  const auto rows = dividends_from_rows(years, std::vector<double>{1.0, 2.0}, false, kT0);
  ASSERT_TRUE(rows);
  EXPECT_EQ((*rows)[1].time, kT0 + 31536000000);
}

TEST(BlackScholes, MarketDataErrorsReachTheCaller) {
  // No curve for "S": the state cannot be centred.
  BlackScholesCN missing(grid_params(testing::curve_market({{1.0, kRate}}), 10, 1.0, kDay), "S",
                         kVol);
  auto price = grid_price(missing, european(true, 100.0, 1.0));
  ASSERT_FALSE(price);
  EXPECT_EQ(price.error().text(),
            "Asset 'S' not found in snaps, expressions, or in dataset[ASSETS]");

  // A discount curve that ends at half a year cannot give the first step's rate.
  std::unordered_map<std::string, AssetLogFwd> curves;
  curves.emplace("USD", testing::zero_curve({{0.25, kRate}, {0.5, kRate}}));
  curves.emplace("S", testing::checked_curve({0.0, 10.0}, {std::log(kSpot), std::log(kSpot)},
                                             AssetKind::Quoted));
  BlackScholesCN short_curve(grid_params(Assets(std::move(curves), "USD"), 10, 1.0, 0.25), "S",
                             kVol);
  price = grid_price(short_curve, european(true, 100.0, 1.0));
  ASSERT_FALSE(price);
  const AssetError expected = AssetError::rate_error(
      "discount", AssetError::Kind{AssetError::OutOfRange{1.0}}, 1.0, 0.75);
  EXPECT_EQ(price.error().text(), expected.text());
}

}  // namespace
}  // namespace ravlin
