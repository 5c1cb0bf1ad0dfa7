#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "util/format.hpp"
#include "util/values.hpp"

namespace ravlin {
namespace {

struct DoubleCase {
  double value;
  const char* text;
};

class FormatDouble : public ::testing::TestWithParam<DoubleCase> {};

TEST_P(FormatDouble, ShortestFixedNotation) {
  EXPECT_EQ(format_double(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, FormatDouble,
    ::testing::Values(DoubleCase{2.0, "2"}, DoubleCase{0.5, "0.5"}, DoubleCase{1e-7, "0.0000001"},
                      DoubleCase{100.0, "100"}, DoubleCase{-0.0, "-0"}, DoubleCase{0.1, "0.1"},
                      DoubleCase{1e21, "1000000000000000000000"}, DoubleCase{-2.5, "-2.5"},
                      DoubleCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      DoubleCase{std::numeric_limits<double>::infinity(), "inf"},
                      DoubleCase{-std::numeric_limits<double>::infinity(), "-inf"}));

TEST(FormatDouble, RoundTripsExtremes) {
  for (double v : {std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min(),
                   1.0 / 3.0, 123456.789e-300}) {
    EXPECT_EQ(std::strtod(format_double(v).c_str(), nullptr), v) << format_double(v);
  }
}

struct TimeCase {
  std::int64_t ms;
  const char* text;
};

class FormatTime : public ::testing::TestWithParam<TimeCase> {};

TEST_P(FormatTime, UtcCalendarWithFloorDivision) {
  EXPECT_EQ(format_event_time(GetParam().ms), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Times, FormatTime,
    ::testing::Values(TimeCase{0, "Single(1970-01-01T00:00:00Z)"},
                      TimeCase{-1, "Single(1969-12-31T23:59:59.999Z)"},
                      TimeCase{1719532800000, "Single(2024-06-28T00:00:00Z)"},
                      TimeCase{1706702400250, "Single(2024-01-31T12:00:00.250Z)"},
                      TimeCase{-86400000, "Single(1969-12-31T00:00:00Z)"},
                      TimeCase{std::numeric_limits<std::int64_t>::max(), "None"},
                      TimeCase{std::numeric_limits<std::int64_t>::min(), "None"}));

TEST(Quote, EscapesQuotesAndBackslashes) {
  EXPECT_EQ(quote("Track(0)"), "\"Track(0)\"");
  EXPECT_EQ(quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
}

TEST(Values, BroadcastRule) {
  const Values one{10.0};
  const Values two{1.0, 2.0};
  const Values three{1.0, 2.0, 3.0};
  EXPECT_EQ(*add(two, one), (Values{11.0, 12.0}));
  EXPECT_EQ(*add(one, two), (Values{11.0, 12.0}));
  EXPECT_EQ(*multiply(two, two), (Values{1.0, 4.0}));
  auto mismatch = multiply(two, three);
  ASSERT_FALSE(mismatch);
  EXPECT_EQ(mismatch.error().text(), "Value arrays of lengths 2 and 3 cannot be combined");
  Values grow = one;
  ASSERT_TRUE(multiply_in_place(grow, two));
  EXPECT_EQ(grow, (Values{10.0, 20.0}));
  // A length-1 array stands for any length, including zero.
  EXPECT_EQ(add(one, Values(0))->size(), 0u);
}

TEST(Values, MoveKeepsInlineAndHeapStorage) {
  Values small = Values::scalar(4.0);
  Values moved = std::move(small);
  EXPECT_EQ(moved[0], 4.0);
  EXPECT_EQ(moved.data(), &moved[0]);
  Values big(1000, 2.0);
  const double* buffer = big.data();
  Values taken = std::move(big);
  EXPECT_EQ(taken.data(), buffer);
  EXPECT_TRUE(big.empty());
}

}  // namespace
}  // namespace ravlin
