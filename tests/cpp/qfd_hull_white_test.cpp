// Hull-White on the short-rate grid against the curve and closed forms.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "qfd/hull_white.hpp"
#include "support/grid_fixtures.hpp"

namespace ravlin {
namespace {

using testing::at_years;
using testing::curve_market;
using testing::grid_params;
using testing::make_timetable;
using testing::normal_cdf;

constexpr double kMeanrev = 0.1;
constexpr double kVol = 0.01;
constexpr double kDay = 1.0 / 365.0;

// Zero rates rising from 2% to 4%: the fit to the curve is not trivial.
Assets market() { return curve_market({{0.5, 0.02}, {2.0, 0.03}, {5.0, 0.035}, {10.0, 0.04}}); }

double discount(double years) { return *market().discount_factor(years); }

HullWhiteCN model(double meanrev, std::size_t n_x = 400, double max_x = 0.1,
                  double timestep = kDay) {
  return HullWhiteCN(grid_params(market(), n_x, max_x, timestep), meanrev, kVol);
}

double grid_price(HullWhiteCN& grid, const TimeTable& timetable) {
  auto ledger = calculate_fd(grid, timetable);
  if (!ledger) {
    ADD_FAILURE() << ledger.error().text();
    return std::nan("");
  }
  auto price = price_fd(grid, *ledger);
  if (!price) ADD_FAILURE() << price.error().text();
  return price.value_or(std::nan(""));
}

// The option at `expiry` to receive, for `strike`, a zero-coupon bond that
// pays 1 at `maturity` (call), or to deliver it (put).
TimeTable bond_option(bool call, double strike, double expiry, double maturity) {
  const double sign = call ? 1.0 : -1.0;
  return make_timetable({{0, at_years(expiry), 0, 1.0, 0},
                         {1, at_years(expiry), 1, -sign * strike, 1},
                         {1, at_years(maturity), 1, sign, 1}},
                        {"option", "bond"}, {">", "+"}, {"bond", "USD"});
}

// The closed form of a European option on a zero-coupon bond; with
// meanrev 0 the Ho-Lee limit.
double bond_option_closed_form(bool call, double strike, double expiry, double maturity,
                               double meanrev) {
  const double tau = maturity - expiry;
  const double b = meanrev == 0.0 ? tau : (1.0 - std::exp(-meanrev * tau)) / meanrev;
  const double spread = meanrev == 0.0
                            ? expiry
                            : (1.0 - std::exp(-2.0 * meanrev * expiry)) / (2.0 * meanrev);
  const double sigma_p = kVol * b * std::sqrt(spread);
  const double p_expiry = discount(expiry), p_maturity = discount(maturity);
  const double h = std::log(p_maturity / (strike * p_expiry)) / sigma_p + 0.5 * sigma_p;
  return call ? p_maturity * normal_cdf(h) - strike * p_expiry * normal_cdf(h - sigma_p)
              : strike * p_expiry * normal_cdf(sigma_p - h) - p_maturity * normal_cdf(-h);
}

// (1 - e^(-z)) / z by its series, in long double: a reference for small z.
long double ratio_series(long double z) {
  long double term = 1.0L, sum = 0.0L;
  for (int k = 1; k <= 30; ++k) {
    sum += term;
    term *= -z / (k + 1);
  }
  return sum;
}

// ---------------------------------------------------------------------------

TEST(HullWhite, ZeroCouponBondsGiveBackTheCurve) {
  for (const double maturity : {0.25, 1.0, 3.5, 7.0}) {
    HullWhiteCN grid = model(kMeanrev, 200);
    const double price = grid_price(
        grid, make_timetable({{0, at_years(maturity), 0, 1.0, 0}}, {"bond"}, {"+"}, {"USD"}));
    EXPECT_NEAR(price, discount(maturity), 1e-4 * discount(maturity)) << maturity << " years";
  }
}

struct OptionCase {
  bool call;
  double moneyness;  // strike over the forward bond price
  double meanrev;
};

class HullWhiteBondOption : public ::testing::TestWithParam<OptionCase> {};

TEST_P(HullWhiteBondOption, MatchesTheClosedForm) {
  const auto [call, moneyness, meanrev] = GetParam();
  const double expiry = 1.0, maturity = 3.0;
  const double strike = moneyness * discount(maturity) / discount(expiry);
  HullWhiteCN grid = model(meanrev);
  const double price = grid_price(grid, bond_option(call, strike, expiry, maturity));
  const double exact = bond_option_closed_form(call, strike, expiry, maturity, meanrev);
  EXPECT_NEAR(price, exact, 1e-3 * exact) << "grid " << price << " closed form " << exact;
}

INSTANTIATE_TEST_SUITE_P(
    CallsAndPuts, HullWhiteBondOption,
    ::testing::Values(OptionCase{true, 1.0, kMeanrev}, OptionCase{true, 0.99, kMeanrev},
                      OptionCase{false, 1.0, kMeanrev}, OptionCase{false, 1.01, 0.5},
                      OptionCase{true, 1.0, 0.0}, OptionCase{false, 1.005, 0.0}));

TEST(HullWhite, NoMeanReversionIsTheLimitOfSmallMeanReversion) {
  const double strike = discount(3.0) / discount(1.0);
  HullWhiteCN without = model(0.0);
  const double limit = grid_price(without, bond_option(true, strike, 1.0, 3.0));
  for (const double meanrev : {1e-9, -1e-9, 1e-6}) {
    HullWhiteCN grid = model(meanrev);
    const double price = grid_price(grid, bond_option(true, strike, 1.0, 3.0));
    EXPECT_NEAR(price, limit, 10.0 * std::fabs(meanrev) * limit) << meanrev;
  }
}

TEST(HullWhiteShift, AgreesWithTheConvexityFormulaWhereItIsAccurate) {
  for (const double a : {0.1, 0.5, 1.0, 3.0}) {
    for (const double y : {1.0, 5.0, 30.0}) {
      const double e = std::exp(-a * y);
      const double formula = (1.0 - e) * (kVol * kVol / (a * 2.0 * a)) * (1.0 - e);
      EXPECT_NEAR(hull_white_shift(0.0, a, kVol, y), formula, 1e-14 * formula) << a << " " << y;
    }
  }
  EXPECT_EQ(hull_white_shift(0.03, 0.2, kVol, 0.0), 0.03);
}

TEST(HullWhiteShift, StaysAccurateAsTheMeanReversionVanishes) {
  const double y = 2.0;
  EXPECT_EQ(hull_white_shift(0.0, 0.0, kVol, y), kVol * kVol * y * y / 2.0);
  for (double a = 1e-1; a > 1e-13; a /= 3.7) {
    for (const double signed_a : {a, -a}) {
      const long double ratio = ratio_series(static_cast<long double>(signed_a) * y);
      const long double g = y * ratio;
      const double reference = static_cast<double>(kVol * kVol * g * g / 2.0L);
      EXPECT_NEAR(hull_white_shift(0.0, signed_a, kVol, y), reference, 1e-15 * reference)
          << signed_a;
    }
  }
}

TEST(HullWhite, CoefficientsUseTheShiftAtTheEarlierEndOfTheStep) {
  HullWhiteCN grid = model(kMeanrev, 4, 0.02);
  const auto timetable = make_timetable({{0, at_years(3), 0, 1.0, 0}}, {"A"}, {"+"}, {"USD"});
  auto state = grid.create_state_cn(timetable);
  ASSERT_TRUE(state) << state.error().text();
  EXPECT_EQ(state->x[4], 0.0);  // centred on the fitted mean path
  Tridiagonal s(9), r(9);
  ASSERT_TRUE(grid.cn_coefficients(*state, at_years(2), s, r));
  const double f = *(*market().base_asset())->rate(3.0, 2.0);
  const double dt = 1.0, dx = 0.005;
  const double v = kVol * kVol * (dt * 0.25) / (dx * dx);
  const double at_earlier = hull_white_shift(f, kMeanrev, kVol, 2.0);
  const double at_later = hull_white_shift(f, kMeanrev, kVol, 3.0);
  ASSERT_GT(std::fabs(at_later - at_earlier) * dt * 0.5, 1e-9);
  for (std::size_t i = 1; i + 1 < 9; ++i) {
    const double x = state->x[i];
    const double d = x * (dt * 0.25 * kMeanrev) / dx;
    EXPECT_NEAR(r.lower[i], d - v, 1e-15);
    EXPECT_NEAR(r.upper[i], -v - d, 1e-15);
    EXPECT_NEAR(r.diag[i], (x + at_earlier) * dt * 0.5 + 2.0 * v - 1.0, 1e-15);
    EXPECT_EQ(s.diag[i], -2.0 - r.diag[i]);
  }
  // On the edges: no diffusion, a one-sided drift toward the inside.
  const double d_top = state->x[0] * (dt * 0.25 * kMeanrev) / dx;
  EXPECT_NEAR(r.upper[0], -2.0 * d_top, 1e-15);
  EXPECT_NEAR(r.diag[0], 2.0 * d_top - 1.0 + (state->x[0] + at_earlier) * dt * 0.5, 1e-15);
  EXPECT_NEAR(r.lower[8], -2.0 * d_top, 1e-15);
  EXPECT_EQ(s.lower[8], -r.lower[8]);
}

TEST(HullWhite, AssetsComeFromTheDatasetOnEveryNode) {
  HullWhiteCN grid = model(kMeanrev, 10);
  const auto timetable = make_timetable({{0, at_years(1), 0, 1.0, 0}}, {"A"}, {"+"}, {"USD"});
  auto state = grid.create_state_cn(timetable);
  ASSERT_TRUE(state);
  EXPECT_FALSE(grid.get_model_val_cn(*state, "USD"));
  auto ledger = calculate_fd(grid, timetable);
  ASSERT_TRUE(ledger) << ledger.error().text();
  // Discounted on each node with its own short rate: higher rates, lower values.
  const Values& pv = **ledger->pv_vec(0);
  for (std::size_t i = 1; i < pv.size(); ++i) EXPECT_LT(pv[i - 1], pv[i]);
}

TEST(HullWhite, AMissingBaseCurveFailsTheFirstStep) {
  // The payment in EUR needs no discount curve; the step before it does.
  std::unordered_map<std::string, AssetLogFwd> curves;
  curves.emplace("EUR", testing::checked_curve({0.0, 10.0}, {0.1, 0.1}, AssetKind::Quoted));
  HullWhiteCN grid(grid_params(Assets(std::move(curves), "USD"), 10, 0.1, kDay), kMeanrev, kVol);
  const auto timetable = make_timetable({{0, at_years(1), 0, 1.0, 0}}, {"A"}, {"+"}, {"EUR"});
  auto ledger = calculate_fd(grid, timetable);
  ASSERT_FALSE(ledger);
  EXPECT_EQ(ledger.error().text(),
            "Asset 'USD' not found in snaps, expressions, or in dataset[ASSETS]");
}

// ---------------------------------------------------------------------------
// The curve fit and piecewise volatility

// The integral of f over [a, b] by composite Simpson in long double.
template <typename F>
long double simpson(F f, long double a, long double b, int intervals = 20000) {
  const long double h = (b - a) / intervals;
  long double sum = f(a) + f(b);
  for (int k = 1; k < intervals; ++k) sum += f(a + k * h) * (k % 2 ? 4.0L : 2.0L);
  return sum * h / 3.0L;
}

TEST(SquaredDecayIntegral, IsTheIntegralOfTheSquaredDecayFactor) {
  // Mean reversions on both sides of the switch between series and closed
  // form (a y = 1), vanishing ones and a negative one.
  for (const double a : {0.0, 1e-12, 1e-6, 0.01, 0.3, 0.0999, 0.1001, 2.0, -0.5}) {
    for (const double y : {0.5, 10.0}) {
      const long double reference = simpson(
          [a](long double s) {
            const long double g = a == 0.0 ? s : -std::expm1(-a * s) / a;
            return g * g;
          },
          0.0L, y);
      const double integral = squared_decay_integral(a, y);
      EXPECT_NEAR(integral, static_cast<double>(reference), 2e-15 * std::fabs(integral)) << a << " " << y;
    }
  }
  EXPECT_EQ(squared_decay_integral(0.1, 0.0), 0.0);
}

ShortRateVolatility steps() {
  return *ShortRateVolatility::piecewise({0.0, 1.0, 2.5}, {0.008, 0.012, 0.01});
}

TEST(ShortRateVolatility, MeanVarianceIsTheSquareInsideAPieceAndTheMeanAcross) {
  const ShortRateVolatility vol = steps();
  EXPECT_EQ(vol.mean_variance(1.0, 1.5), 0.012 * 0.012);
  EXPECT_EQ(vol.mean_variance(3.0, 40.0), 0.01 * 0.01);
  EXPECT_NEAR(vol.mean_variance(0.5, 2.0),
              (0.5 * 0.008 * 0.008 + 1.0 * 0.012 * 0.012) / 1.5, 1e-20);
}

TEST(ShortRateVolatility, TheMeanConvexityIsTheStepsAverageOfTheConvexity) {
  const ShortRateVolatility vol = steps();
  for (const auto& [y2, y1] : {std::pair{0.2, 0.7}, {0.9, 2.6}, {2.4, 2.5}, {4.0, 4.0 + 1.0 / 365}}) {
    const long double average =
        simpson([&](long double y) { return vol.convexity(kMeanrev, static_cast<double>(y)); }, y2, y1) /
        (y1 - y2);
    EXPECT_NEAR(vol.mean_convexity(kMeanrev, y2, y1), static_cast<double>(average), 1e-9 * average)
        << y2 << " " << y1;
  }
  // One piece: the convexity of the shift at the earlier end of a step.
  const ShortRateVolatility one(kVol);
  EXPECT_NEAR(one.convexity(kMeanrev, 3.0), hull_white_shift(0.0, kMeanrev, kVol, 3.0), 1e-20);
}

TEST(HullWhite, TheCurveFitAveragesTheConvexityAndTheVarianceOverTheStep) {
  // A step from 3 years back to 2 that crosses the volatility's step at 2.5.
  const ShortRateVolatility vol = *ShortRateVolatility::piecewise({0.0, 2.5}, {0.008, 0.012});
  HullWhiteCN grid(grid_params(market(), 4, 0.02, kDay), kMeanrev, vol, true);
  const auto timetable = make_timetable({{0, at_years(3), 0, 1.0, 0}}, {"A"}, {"+"}, {"USD"});
  auto state = grid.create_state_cn(timetable);
  ASSERT_TRUE(state) << state.error().text();
  Tridiagonal s(9), r(9);
  ASSERT_TRUE(grid.cn_coefficients(*state, at_years(2), s, r));
  const double f = *(*market().base_asset())->rate(3.0, 2.0);
  const double shift = f + vol.mean_convexity(kMeanrev, 2.0, 3.0);
  const double dt = 1.0, dx = 0.005;
  const double v = (0.5 * 0.008 * 0.008 + 0.5 * 0.012 * 0.012) * (dt * 0.25) / (dx * dx);
  for (std::size_t i = 1; i + 1 < 9; ++i) {
    const double x = state->x[i];
    const double d = x * (dt * 0.25 * kMeanrev) / dx;
    EXPECT_NEAR(r.lower[i], d - v, 1e-15);
    EXPECT_NEAR(r.diag[i], (x + shift) * dt * 0.5 + 2.0 * v - 1.0, 1e-15);
  }
}

TEST(HullWhite, TheCurveFitRepricesAZeroCouponBondToSecondOrderInTheStep) {
  // A 10-year bond on 2-, 1- and half-weekly steps: the relative error falls by about 4 for
  // each halving with the fit, by 2 without it.
  const auto bond = make_timetable({{0, at_years(10.0), 0, 1.0, 0}}, {"bond"}, {"+"}, {"USD"});
  for (const bool fit : {true, false}) {
    std::vector<double> errors;
    for (const double steps : {26.0, 52.0, 104.0}) {
      HullWhiteCN grid(grid_params(market(), 400, 0.12, 1.0 / steps), kMeanrev,
                       ShortRateVolatility(kVol), fit);
      errors.push_back(std::fabs(grid_price(grid, bond) / discount(10.0) - 1.0));
    }
    const double order = fit ? 3.5 : 1.9;
    EXPECT_GT(errors[0] / errors[1], order) << "fit " << fit;
    EXPECT_GT(errors[1] / errors[2], order) << "fit " << fit;
    if (fit) {
      EXPECT_LT(errors[1], 1e-6);  // weekly steps
    }
  }
}

TEST(HullWhite, NodeCoordinatesAreTheShortRateAtThePricingTime) {
  // Steps of one day back to the pricing time: each node's short rate is the node plus the
  // curve's rate over the last day (the convexity is 0 there), with or without the fit.
  const std::size_t n_x = 50;
  const double max_x = 0.1;
  const auto bond = make_timetable({{0, at_years(1.0), 0, 1.0, 0}}, {"bond"}, {"+"}, {"USD"});
  const double rate = *(*market().base_asset())->rate(kDay, 0.0);
  for (const bool fit : {true, false}) {
    HullWhiteCN grid(grid_params(market(), n_x, max_x, kDay), kMeanrev, ShortRateVolatility(kVol),
                     fit);
    Values nodes;
    ASSERT_TRUE(calculate_fd(grid, bond, {}, &nodes));
    ASSERT_EQ(nodes.size(), 2 * n_x + 1);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      const double x = max_x - static_cast<double>(i) * max_x / static_cast<double>(n_x);
      EXPECT_NEAR(nodes[i], x + rate, 1e-15) << i;
    }
  }
}

}  // namespace
}  // namespace ravlin
