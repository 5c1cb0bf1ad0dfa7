#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "timetable/op.hpp"

namespace ravlin {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Element-wise equality that treats two NaNs as equal.
void expect_same(const Values& actual, const std::vector<double>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (std::isnan(expected[i])) {
      EXPECT_TRUE(std::isnan(actual[i])) << "at " << i << ": " << actual[i];
    } else {
      EXPECT_EQ(actual[i], expected[i]) << "at " << i;
    }
  }
}

struct ApplyCase {
  std::string label;
  std::string code;
  std::vector<double> target;
  std::vector<double> other;
  std::vector<double> expected;
  friend void PrintTo(const ApplyCase& c, std::ostream* os) { *os << c.label; }
};

class OpApply : public ::testing::TestWithParam<ApplyCase> {};

TEST_P(OpApply, CombinesElementByElement) {
  const auto& param = GetParam();
  Values target{std::span<const double>(param.target)};
  const Values other{std::span<const double>(param.other)};
  auto applied = Op::parse(param.code).apply(target, other);
  ASSERT_TRUE(applied) << applied.error().text();
  expect_same(target, param.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Ops, OpApply,
    ::testing::Values(
        ApplyCase{"AddEqualLengths", "+", {1, 2, 3}, {10, 20, 30}, {11, 22, 33}},
        ApplyCase{"AddScalarOther", "+", {1, 2}, {10}, {11, 12}},
        ApplyCase{"AddScalarTarget", "+", {1}, {10, 20}, {11, 21}},
        ApplyCase{"AddScalars", "+", {1}, {0.5}, {1.5}},
        ApplyCase{"MaxEqualLengths", ">", {1, 5}, {3, 3}, {3, 5}},
        ApplyCase{"MinEqualLengths", "<", {1, 5}, {3, 3}, {1, 3}},
        ApplyCase{"MaxScalarOther", ">", {1, 5, -2}, {2}, {2, 5, 2}},
        ApplyCase{"MinScalarOther", "<", {1, 5, -2}, {2}, {1, 2, -2}},
        ApplyCase{"MaxKeepsTheNumberAgainstNaN", ">", {kNaN, 2, kNaN}, {1, kNaN, kNaN},
                  {1, 2, kNaN}},
        ApplyCase{"MinKeepsTheNumberAgainstNaN", "<", {kNaN, 2, kNaN}, {1, kNaN, kNaN},
                  {1, 2, kNaN}},
        ApplyCase{"MaxNaNScalarOther", ">", {1, -3}, {kNaN}, {1, -3}},
        ApplyCase{"MinNaNScalarOther", "<", {1, -3}, {kNaN}, {1, -3}},
        ApplyCase{"AddPropagatesNaN", "+", {1, 2}, {kNaN}, {kNaN, kNaN}}),
    [](const auto& info) { return info.param.label; });

struct FailureCase {
  std::string label;
  Op op;
  std::vector<double> target;
  std::vector<double> other;
  std::string text;
  friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.label; }
};

class OpApplyFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(OpApplyFailure, LeavesTheTargetUnchanged) {
  const auto& param = GetParam();
  Values target{std::span<const double>(param.target)};
  const Values other{std::span<const double>(param.other)};
  auto applied = param.op.apply(target, other);
  ASSERT_FALSE(applied);
  EXPECT_EQ(applied.error().text(), param.text);
  expect_same(target, param.target);
}

INSTANTIATE_TEST_SUITE_P(
    Ops, OpApplyFailure,
    ::testing::Values(
        FailureCase{"Conditional", Op::parse("s"), {1, 2}, {3, 4}, "Unknown Op 's'"},
        FailureCase{"Null", Op::null(), {1, 2}, {3, 4}, "Unknown Op ''"},
        FailureCase{"OtherText", Op::parse("++"), {1}, {3}, "Unknown Op '++'"},
        FailureCase{"AddMismatch", Op::parse("+"), {1, 2}, {1, 2, 3},
                    "Value arrays of lengths 2 and 3 cannot be combined"},
        FailureCase{"MaxMismatch", Op::parse(">"), {1, 2}, {1, 2, 3},
                    "Value arrays of lengths 2 and 3 cannot be combined"},
        // The target keeps its length, so only the other side broadcasts.
        FailureCase{"MinLongerOther", Op::parse("<"), {1}, {1, 2},
                    "Value arrays of lengths 1 and 2 cannot be combined"}),
    [](const auto& info) { return info.param.label; });

}  // namespace
}  // namespace ravlin
