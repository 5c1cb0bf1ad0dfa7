// Least-squares continuation estimates and the exercise decisions built on them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "qmc/exercise.hpp"
#include "ledger/ledger.hpp"
#include "qmc/regression.hpp"

namespace ravlin {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// n points spread over [low, high] in a scrambled order; sequences of
// different steps are unrelated.
Values spread(std::size_t n, double low, double high, double step = 0.6180339887) {
  Values out(n);
  for (std::size_t j = 0; j < n; ++j) {
    out[j] = low + (high - low) * std::fmod(step * static_cast<double>(j), 1.0);
  }
  return out;
}

Values apply(const Values& x, double (*f)(double)) {
  Values out(x.size());
  for (std::size_t j = 0; j < x.size(); ++j) out[j] = f(x[j]);
  return out;
}

std::vector<std::size_t> all_rows(std::size_t n) {
  std::vector<std::size_t> rows(n);
  for (std::size_t j = 0; j < n; ++j) rows[j] = j;
  return rows;
}

TEST(Regression, RecoversAPolynomialOfTheBasisDegree) {
  // Far from the origin and wide in range, where raw powers would be ill-conditioned.
  const Values x = spread(1000, 1000.0, 1400.0);
  const Values y = apply(x, [](double v) { return 3.0 - 0.5 * v + 2e-3 * v * v - 1e-6 * v * v * v; });
  const auto fit = PolynomialRegression::fit({x}, y, all_rows(x.size()), 3);
  ASSERT_EQ(fit.degree(), 3u);
  const Values estimate = fit.estimate({x}, all_rows(x.size()), x.size());
  for (std::size_t j = 0; j < x.size(); ++j) EXPECT_NEAR(estimate[j], y[j], 1e-9 * std::abs(y[j]));
}

TEST(Regression, TwoRegressorsSpanTheirCrossTerms) {
  const Values a = spread(500, -2.0, 3.0);
  const Values b = apply(spread(500, 0.0, 1.0, 0.7548776662), [](double v) { return std::sqrt(v) * 7.0; });
  Values y(a.size());
  for (std::size_t j = 0; j < a.size(); ++j) y[j] = 1.0 + a[j] * b[j] - 0.25 * b[j] * b[j];
  const auto fit = PolynomialRegression::fit({a, b}, y, all_rows(a.size()), 2);
  const Values estimate = fit.estimate({a, b}, all_rows(a.size()), a.size());
  for (std::size_t j = 0; j < a.size(); ++j) EXPECT_NEAR(estimate[j], y[j], 1e-10 * (1.0 + std::abs(y[j])));
}

struct Degenerate {
  const char* name;
  Values regressor;
  Values target;
  std::vector<std::size_t> rows;
  std::size_t degree;
  std::optional<std::size_t> fitted;
  Values expected;  // the estimate on every path
};

class DegenerateSample : public ::testing::TestWithParam<Degenerate> {};

TEST_P(DegenerateSample, FallsBackWithoutNaN) {
  const Degenerate& c = GetParam();
  const auto fit = PolynomialRegression::fit({c.regressor}, c.target, c.rows, c.degree);
  EXPECT_EQ(fit.degree(), c.fitted);
  const Values estimate = fit.estimate({c.regressor}, all_rows(c.target.size()), c.target.size());
  ASSERT_EQ(estimate.size(), c.expected.size());
  for (std::size_t j = 0; j < estimate.size(); ++j) {
    if (std::isnan(c.expected[j])) {
      EXPECT_TRUE(std::isnan(estimate[j])) << j;
    } else {
      EXPECT_NEAR(estimate[j], c.expected[j], 1e-12) << j;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DegenerateSample,
    ::testing::Values(
        // Two distinct values: x^2 repeats the constant, so a line through the two means.
        Degenerate{"two_values", {1, 1, 1, 3, 3, 3, 3, 1}, {0, 1, 2, 4, 5, 6, 5, 1}, all_rows(8), 3, 1,
                   {1, 1, 1, 5, 5, 5, 5, 1}},
        // A constant regressor leaves the mean.
        Degenerate{"constant", {2, 2, 2, 2}, {1, 2, 3, 6}, all_rows(4), 3, 0, {3, 3, 3, 3}},
        // Three paths cannot carry four coefficients: the mean of those fitted.
        Degenerate{"tiny", {1, 2, 3, 4}, {1, 4, 10, 100}, {0, 1, 2}, 3, 0, {5, 5, 5, 5}},
        // Non-finite entries stay out of the fit; their estimate is NaN.
        Degenerate{"non_finite", {0, 1, 2, 3, kNaN, 5}, {0, 2, 4, 6, 8, kNaN}, all_rows(6), 1, 1,
                   {0, 2, 4, 6, kNaN, 10}},
        // No fitting path: no estimate at all.
        Degenerate{"empty", {1, 2}, {1, 2}, {}, 3, std::nullopt, {kNaN, kNaN}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BasisSize, CountsPolynomialsUpToTheCap) {
  EXPECT_EQ(basis_size(1, 3, 64), 4u);
  EXPECT_EQ(basis_size(3, 3, 64), 20u);
  EXPECT_EQ(basis_size(9, 3, 64), std::nullopt);  // 220
  EXPECT_EQ(basis_size(std::size_t{1} << 62, 2, 64), std::nullopt);
}

// A put on paths where the continuation is known, 1 + offer / 2 in money of
// the event's date: exercise where the intrinsic value beats it (above 2),
// never where the offer is zero. Path counts that fill groups of eight and
// leave tails, one discount for all paths or one per path, and the offer or
// a named regressor equal to it decide alike.
struct KnownContinuation {
  std::size_t paths;
  bool per_path_discount;
  bool named_regressor;
};

class ExerciseOnKnownContinuation : public ::testing::TestWithParam<KnownContinuation> {};

TEST_P(ExerciseOnKnownContinuation, TakesTheOfferWhereItBeatsTheContinuation) {
  const auto [n, per_path_discount, named_regressor] = GetParam();
  Values offer(n), discount(n), pv(n), discounted_offer(n);
  ChoiceArray expected(n);
  for (std::size_t j = 0; j < n; ++j) {
    // Two paths out of the money, the others spread over (0, 5], none near 2.
    offer[j] = j < 2 ? 0.0 : 0.25 + 4.75 * static_cast<double>(j % 7) / 6.0;
    discount[j] = per_path_discount ? 0.5 + 0.01 * static_cast<double>(j) : 0.5;
    pv[j] = discount[j] * (1.0 + offer[j] / 2.0);
    discounted_offer[j] = discount[j] * offer[j];
    expected[j] = offer[j] > 2.0;
  }
  ExerciseRegression exercise({ExerciseMethod::Regression, 1, {}, 0}, n);
  exercise.save(7, discount, named_regressor ? std::vector<Values>{offer} : std::vector<Values>{});
  const auto take = exercise.decide(Op::parse(">"), 7, pv, discounted_offer);
  ASSERT_TRUE(take);
  EXPECT_EQ(ChoiceArray(take->begin(), take->end()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    PathsDiscountsRegressors, ExerciseOnKnownContinuation,
    ::testing::Values(KnownContinuation{6, false, false}, KnownContinuation{8, false, false},
                      KnownContinuation{29, false, false}, KnownContinuation{29, true, false},
                      KnownContinuation{16, false, true}, KnownContinuation{29, true, true}));

// An offer that is the same on every path (an issuer's reset): taken on
// every path with a finite offer when it beats every continuation by far,
// on none when the mean continuation beats it.
class OfferAllAlike : public ::testing::TestWithParam<double> {};

TEST_P(OfferAllAlike, IsTakenWhereFiniteOnlyWhenItBeatsTheContinuations) {
  const double offered = GetParam();
  const std::size_t n = 21;
  Values pv(n), offer(n, offered);
  offer[5] = kNaN;
  for (std::size_t j = 0; j < n; ++j) pv[j] = 1.0 + 0.1 * static_cast<double>(j);
  ExerciseRegression exercise({ExerciseMethod::Regression, 3, {}, 0}, n);
  exercise.save(2, Values::scalar(1.0), {});
  const auto take = exercise.decide(Op::parse(">"), 2, pv, offer);
  ASSERT_TRUE(take);
  for (std::size_t j = 0; j < n; ++j) {
    EXPECT_EQ((*take)[j], offered > 100.0 && j != 5 ? 1u : 0u) << "path " << j;
  }
}

INSTANTIATE_TEST_SUITE_P(ResetsAndStrikes, OfferAllAlike, ::testing::Values(1e6, 0.5));

// Named regressors that are not finite on some paths in play: those paths
// never exercise and stay out of the fit; the others decide as before.
class NonFiniteRegressor : public ::testing::TestWithParam<std::size_t> {};

TEST_P(NonFiniteRegressor, KeepsItsPathsFromExercising) {
  const std::size_t n = 8;
  const Values offer{0.0, 1.0, 1.5, 2.0, 3.0, 3.5, 4.0, 5.0};
  const double discount = 0.5;
  Values pv(n), discounted_offer(n);
  for (std::size_t j = 0; j < n; ++j) {
    pv[j] = discount * (1.0 + offer[j] / 2.0);  // exercise pays where the offer exceeds 2
    discounted_offer[j] = discount * offer[j];
  }
  Values regressor = offer;
  regressor[4] = kNaN;
  regressor[7] = std::numeric_limits<double>::infinity();
  ExerciseRegression exercise({ExerciseMethod::Regression, 1, {}, 0}, n);
  exercise.save(3, Values::scalar(discount), std::vector<Values>(GetParam(), regressor));
  const auto take = exercise.decide(Op::parse(">"), 3, pv, discounted_offer);
  ASSERT_TRUE(take);
  EXPECT_EQ(ChoiceArray(take->begin(), take->end()), (ChoiceArray{0, 0, 0, 0, 0, 1, 1, 0}));
}

INSTANTIATE_TEST_SUITE_P(Regressors, NonFiniteRegressor, ::testing::Values(1u, 2u));

TEST(Ledger, ChoiceDecidedElsewhereRecordsItsDecision) {
  Ledger ledger(3);
  const std::uint32_t flags = kFlagChoices | kFlagCashflow;
  ASSERT_TRUE(ledger.one_track_event(Op::parse("+"), 0, Values{5.0, 5.0, 5.0}, 2, flags));
  // Path 1 takes a smaller offer, path 2 declines a larger one.
  ASSERT_TRUE(ledger.one_track_choice(Op::parse(">"), 0, Values{7.0, 4.0, 9.0},
                                      std::vector<std::uint64_t>{1, 1, 0}, 1, flags));
  EXPECT_EQ(ledger.track_entry(0), (Values{7.0, 4.0, 5.0}));
  EXPECT_EQ(ledger.choices().map[1][0], (ChoiceArray{1, 1, 0}));
  EXPECT_EQ(ledger.cashflows()[0][2], (Values{0.0, 0.0, 5.0}));
  EXPECT_EQ(ledger.cashflows()[0][1], (Values{7.0, 4.0, 0.0}));
  EXPECT_FALSE(ledger.one_track_choice(Op::parse(">"), 0, Values{1.0, 2.0}, std::vector<std::uint64_t>(3, 1), 0, 0));
}

}  // namespace
}  // namespace ravlin
