#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "asset/assets.hpp"

namespace ravlin {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const std::string kRangeHint = ".\n Perhaps the time range in forwards/discount data is too short.";

AssetLogFwd curve(std::vector<double> times, std::vector<double> values,
                  AssetKind kind = AssetKind::Quoted) {
  auto made = AssetLogFwd::create(std::move(times), std::move(values), kind);
  if (!made) throw std::runtime_error(made.error().text());
  return std::move(*made);
}

// USD: ZERO_RATES base with knots (1, 5%) and (2, 5%); EQ: FORWARDS 100 at
// 0.5 and 121 at 1; FLAT: FORWARDS starting at time 0; ONE: a single knot.
Assets market() {
  std::unordered_map<std::string, AssetLogFwd> curves;
  curves.emplace("USD", curve({1.0, 2.0}, {0.05, 0.10}, AssetKind::Base));
  curves.emplace("EQ", curve({0.5, 1.0}, {std::log(100.0), std::log(121.0)}));
  curves.emplace("FLAT", curve({0.0, 1.0}, {std::log(50.0), std::log(60.0)}));
  curves.emplace("ONE", curve({1.0}, {std::log(4.0)}));
  curves.emplace("ZERO", curve({0.0}, {std::log(4.0)}));
  return Assets(std::move(curves), "USD");
}

struct ValueCase {
  const char* name;
  double t;
  double expected;
};

class AssetValue : public ::testing::TestWithParam<ValueCase> {};

TEST_P(AssetValue, LineToFirstKnotThenInterpolation) {
  const auto value = market().asset_value(GetParam().name, GetParam().t);
  ASSERT_TRUE(value) << value.error().text();
  EXPECT_NEAR(*value, GetParam().expected, 1e-12 * std::abs(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Curves, AssetValue,
    ::testing::Values(ValueCase{"EQ", 0.0, 1.0}, ValueCase{"EQ", 0.25, 10.0},
                      ValueCase{"EQ", -0.5, 0.01}, ValueCase{"EQ", 0.5, 100.0},
                      ValueCase{"EQ", 0.75, 110.0}, ValueCase{"EQ", 1.0, 121.0},
                      ValueCase{"FLAT", 0.0, 50.0}, ValueCase{"ONE", 0.5, 2.0},
                      ValueCase{"ONE", 1.0, 4.0}, ValueCase{"USD", 1e9, 1.0},
                      ValueCase{"USD", kNaN, 1.0}));

TEST(DiscountFactor, FlatZeroRateBackToTimeZero) {
  const Assets assets = market();
  for (const auto& [t, log_df] : {std::pair{0.5, 0.025}, {1.0, 0.05}, {1.5, 0.075}, {2.0, 0.1},
                                 {-1.0, -0.05}}) {
    const auto df = assets.discount_factor(t);
    ASSERT_TRUE(df) << df.error().text();
    EXPECT_NEAR(*df, std::exp(-log_df), 1e-15) << "t = " << t;
  }
}

struct FailureCase {
  const char* label;
  std::function<std::expected<double, AssetError>(const Assets&)> query;
  std::string text;
};

class CurveFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(CurveFailure, ReportsTheWholeChain) {
  const auto result = GetParam().query(market());
  ASSERT_FALSE(result) << *result;
  EXPECT_EQ(result.error().text(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, CurveFailure,
    ::testing::Values(
        FailureCase{"DiscountAfterLastKnot", [](const Assets& a) { return a.discount_factor(2.5); },
                    "Error in 'discount factor' value at 2.5, caused by \n'Error: Interpolation "
                    "out of range at time 2.5" + kRangeHint + "'"},
        FailureCase{"ValueOutOfRangeUnwrapped",
                    [](const Assets& a) { return a.asset_value("EQ", 1.5); },
                    "Error: Interpolation out of range at time 1.5" + kRangeHint},
        FailureCase{"NaNTime", [](const Assets& a) { return a.asset_value("EQ", kNaN); },
                    "Error: Interpolation out of range at time NaN" + kRangeHint},
        FailureCase{"BeforeKnotAtZero", [](const Assets& a) { return a.asset_value("FLAT", -0.1); },
                    "Error: Interpolation out of range at time -0.1" + kRangeHint},
        FailureCase{"AfterSingleKnot", [](const Assets& a) { return a.asset_value("ONE", 1.5); },
                    "Error: Interpolation out of range at time 1.5" + kRangeHint},
        FailureCase{"SingleKnotAtZero", [](const Assets& a) { return a.asset_value("ZERO", 0.0); },
                    "Error: Interpolation out of range at time 0" + kRangeHint},
        // t_b is named first; L(t_a) is computed, and fails, first.
        FailureCase{"RateNamesSecondTimeFirst",
                    [](const Assets& a) { return a.asset_rate("EQ", 3.0, 4.0); },
                    "Error in 'EQ' rate from time 4 to 3, caused by \n'Error: Interpolation out "
                    "of range at time 3" + kRangeHint + "'"},
        FailureCase{"RateEqualTimes", [](const Assets& a) { return a.asset_rate("USD", 1.0, 1.0); },
                    "Error in 'USD' rate from time 1 to 1, caused by \n'Error: Divide by zero'"},
        FailureCase{"UnknownAsset", [](const Assets& a) { return a.asset_rate("JPY", 1.0, 2.0); },
                    "Asset 'JPY' not found in snaps, expressions, or in dataset[ASSETS]"},
        FailureCase{"MissingBase",
                    [](const Assets&) { return Assets({}, "EUR").discount_factor(1.0); },
                    "Asset 'EUR' not found in snaps, expressions, or in dataset[ASSETS]"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(AssetRate, SameWhicheverTimeComesFirst) {
  const Assets assets = market();
  const auto forward = assets.asset_rate("EQ", 0.5, 1.0);
  const auto backward = assets.asset_rate("EQ", 1.0, 0.5);
  ASSERT_TRUE(forward && backward);
  EXPECT_DOUBLE_EQ(*forward, (std::log(121.0) - std::log(100.0)) / 0.5);
  EXPECT_EQ(*forward, *backward);
}

TEST(LogValue, BinarySearchMatchesLinearScan) {
  std::vector<double> times, values;
  for (int i = 0; i < 50; ++i) {
    times.push_back(0.1 + 0.37 * i + 0.01 * (i % 3));
    values.push_back(std::sin(i));
  }
  const AssetLogFwd fwd = curve(times, values);
  for (double t = times.front(); t <= times.back(); t += 0.0731) {
    std::size_t i = 0;
    while (i + 2 < times.size() && times[i + 1] <= t) ++i;
    const double expected =
        values[i] + (values[i + 1] - values[i]) / (times[i + 1] - times[i]) * (t - times[i]);
    EXPECT_DOUBLE_EQ(*fwd.log_value(t), expected) << "t = " << t;
  }
  EXPECT_DOUBLE_EQ(*fwd.log_value(times.back()), values.back());
  for (std::size_t i = 0; i + 1 < times.size(); ++i) {
    EXPECT_EQ(*fwd.log_value(times[i]), values[i]);
  }
}

struct BuilderCase {
  std::vector<double> times;
  std::vector<double> values;
  std::string text;
};

class CurveBuilder : public ::testing::TestWithParam<BuilderCase> {};

TEST_P(CurveBuilder, RefusesBadKnots) {
  const auto made = AssetLogFwd::create(GetParam().times, GetParam().values, AssetKind::Quoted);
  ASSERT_FALSE(made);
  EXPECT_EQ(made.error().text(), "BuilderError " + GetParam().text);
}

const std::string kRising = "Values in the x axis need to be strictly monotonic rising";

INSTANTIATE_TEST_SUITE_P(
    Knots, CurveBuilder,
    ::testing::Values(
        BuilderCase{{}, {}, "The chosen Interpolation strategy needs at least 2 data points"},
        BuilderCase{{1.0, 1.0}, {0.0, 0.0}, kRising},
        BuilderCase{{1.0, 2.0, 1.5}, {0.0, 0.0, 0.0}, kRising},
        BuilderCase{{0.0, kNaN, 2.0}, {0.0, 0.0, 0.0}, kRising},
        BuilderCase{{kNaN, 1.0}, {0.0, 0.0}, kRising},
        // Times are checked before lengths.
        BuilderCase{{2.0, 1.0}, {0.0}, kRising},
        BuilderCase{{1.0, 2.0, 3.0}, {0.0, 0.0},
                    "Lengths of x and data axis need to match. Got x: 3, data: 2"},
        BuilderCase{{1.0}, {}, "Lengths of x and data axis need to match. Got x: 1, data: 0"}));

// The remembered segment moves with the times; wherever it starts, the value
// is the searched one to the last bit, and the errors are the same.
TEST(AssetLogFwd, RememberedSegmentGivesTheSearchedValues) {
  std::vector<double> times, logs;
  for (int k = 0; k < 40; ++k) {
    times.push_back(0.25 + 0.5 * k + 0.01 * (k % 3));
    logs.push_back(0.03 * times.back() + 0.001 * std::sin(k));
  }
  auto curve = AssetLogFwd::create(times, logs, AssetKind::Base);
  ASSERT_TRUE(curve);
  std::vector<double> probes;
  for (int k = 0; k < 400; ++k) probes.push_back(0.05 * k);                  // rising
  for (int k = 0; k < 50; ++k) probes.push_back(20.0 - 0.37 * k);           // falling
  for (int k = 0; k < 50; ++k) probes.push_back(std::fmod(k * 7.31, 21.0));  // scattered, some beyond
  probes.insert(probes.end(), times.begin(), times.end());
  probes.push_back(std::nan(""));
  std::size_t segment = AssetLogFwd::kNoSegment;
  for (const double t : probes) {
    const auto searched = curve->log_value(t);
    const auto walked = curve->log_value(t, segment);
    ASSERT_EQ(searched.has_value(), walked.has_value()) << "t = " << t;
    if (searched) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(*searched), std::bit_cast<std::uint64_t>(*walked))
          << "t = " << t;
    } else {
      EXPECT_EQ(searched.error().text(), walked.error().text());
    }
  }
}

}  // namespace
}  // namespace ravlin
