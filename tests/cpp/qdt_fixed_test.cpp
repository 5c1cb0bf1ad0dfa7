// The fixed model: one path, discounting with the base curve.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "qdt/fixed.hpp"
#include "support/model_fakes.hpp"

namespace ravlin {
namespace {

using testing::at_years;
using testing::constant_phrase;
using testing::fake_phrase;
using testing::kT0;
using testing::make_timetable;
using testing::PhraseResult;
using testing::Row;

constexpr double kRate = 0.05;
constexpr double kForward = 2.0;  // the flat forward of asset "X"

double df(double years) { return std::exp(-kRate * year_fraction(at_years(years), kT0)); }

std::expected<double, ModelError> fixed_price(const TimeTable& timetable) {
  Fixed model(testing::flat_assets(kRate, {{"X", kForward}}), kT0, 0);
  auto ledger = model.calculate(timetable);
  if (!ledger) return std::unexpected(std::move(ledger).error());
  return model.price(*ledger);
}

void expect_price(const TimeTable& timetable, double expected) {
  auto price = fixed_price(timetable);
  ASSERT_TRUE(price) << price.error().text();
  EXPECT_NEAR(*price, expected, 1e-13 * std::abs(expected));
}

TEST(Fixed, BondIsTheSumOfDiscountedPayments) {
  std::vector<Row> rows;
  double expected = 0.0;
  for (int year = 1; year <= 5; ++year) {
    rows.push_back({0, at_years(year), 0, 5.0, 0});
    expected += 5.0 * df(year);
  }
  rows.push_back({0, at_years(5), 0, 100.0, 0});
  rows.push_back({0, at_years(5), 0, 3.0, 1});  // three units of X at its forward
  expected += 100.0 * df(5) + 3.0 * kForward * df(5);
  expect_price(make_timetable(rows, {"bond"}, {"+"}, {"USD", "X"}), expected);
}

class FixedChoice : public ::testing::TestWithParam<std::tuple<const char*, double>> {};

TEST_P(FixedChoice, KeepsTheLargerOrSmallerOfExerciseAndContinuation) {
  const auto [op, exercise] = GetParam();
  const auto timetable = make_timetable(
      {{0, at_years(1), 0, exercise, 0}, {0, at_years(2), 1, 100.0, 0}}, {"A"}, {op, "+"}, {"USD"});
  const double now = exercise * df(1), later = 100.0 * df(2);
  expect_price(timetable, std::string(op) == ">" ? std::max(now, later) : std::min(now, later));
}

INSTANTIATE_TEST_SUITE_P(OpsAndStrikes, FixedChoice,
                         ::testing::Combine(::testing::Values(">", "<"),
                                            ::testing::Values(80.0, 99.0)));

class FixedTrackRef : public ::testing::TestWithParam<double> {};

TEST_P(FixedTrackRef, TakesTheLaterValueOfTheReferencedTrackWithoutItsQuantity) {
  const double own = GetParam();
  // Track A may switch at year 1 to what track B pays later; quantity 7 is not applied.
  const auto timetable = make_timetable({{0, at_years(1), 0, 7.0, 0},
                                         {1, at_years(2), 1, 100.0, 1},
                                         {0, at_years(3), 1, own, 1}},
                                        {"A", "B"}, {">", "+"}, {"B", "USD"});
  expect_price(timetable, std::max(own * df(3), 100.0 * df(2)));
}

INSTANTIATE_TEST_SUITE_P(OwnPayments, FixedTrackRef, ::testing::Values(50.0, 150.0));

class FixedConditional : public ::testing::TestWithParam<double> {};

TEST_P(FixedConditional, BlendsPaymentAndContinuationByTheWeightOfS) {
  const double weight = GetParam();
  Expressions expressions;
  expressions.phrases["s"] = constant_phrase({Values{weight}});
  const auto timetable =
      make_timetable({{0, at_years(1), 0, 80.0, 0}, {0, at_years(2), 1, 100.0, 0}}, {"A"},
                     {"s", "+"}, {"USD"}, std::move(expressions));
  expect_price(timetable, weight * 80.0 * df(1) + (1.0 - weight) * 100.0 * df(2));
}

INSTANTIATE_TEST_SUITE_P(Weights, FixedConditional, ::testing::Values(0.0, 1.0, 0.5));

TEST(Fixed, SnapperStoresValuesThatSnapsAndPhrasesRead) {
  Expressions expressions;
  auto snapper = fake_phrase({"X"}, [](const std::vector<Values>& in) -> PhraseResult {
    return std::vector<Values>{scaled(in[0], 0.5), scaled(in[0], 2.0)};
  });
  const auto& snapper_calls = snapper->calls;
  expressions.snappers["snp"] = Snapper{{"half", "dbl"}, std::move(snapper)};
  expressions.phrases["ph"] =
      fake_phrase({"half"}, [](const std::vector<Values>& in) -> PhraseResult {
        return std::vector<Values>{scaled(in[0], 3.0)};
      });
  const auto timetable = make_timetable(
      {{0, at_years(1), 0, 1.0, 0}, {0, at_years(2), 0, 10.0, 1}, {0, at_years(3), 0, 2.0, 2}},
      {"A"}, {"+"}, {"snp", "dbl", "ph"}, std::move(expressions));

  // The snapper event pays nothing; the snap and the phrase pay weighted values.
  expect_price(timetable, 10.0 * df(2) * 2.0 * kForward + 2.0 * df(3) * 3.0 * 0.5 * kForward);
  ASSERT_EQ(snapper_calls.size(), 1u);
  EXPECT_EQ(snapper_calls[0], std::vector<Values>{Values{kForward}});
}

const std::string kAt0 =
    "Error at event:\n  #0: track: \"Track(0)\", time: Single(2024-01-01T00:00:00Z)";

struct ErrorCase {
  const char* name;
  std::vector<Row> rows;
  std::vector<std::optional<std::string>> ops;
  std::vector<std::optional<std::string>> units;
  std::function<Expressions()> expressions;
  std::string text;
};

Expressions no_expressions() { return {}; }

class FixedErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(FixedErrors, ReportTheirExactText) {
  const ErrorCase& c = GetParam();
  const auto timetable = make_timetable(c.rows, {"A", "B"}, c.ops, c.units, c.expressions());
  auto price = fixed_price(timetable);
  ASSERT_FALSE(price);
  EXPECT_EQ(price.error().text(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FixedErrors,
    ::testing::Values(
        ErrorCase{"MissingUnitName", {{0, kT0, 0, 1.0, std::nullopt}}, {"+"}, {"X"}, no_expressions,
                  kAt0 + ", op: +, qty: 1, unit: \"<none>\", caused by \n"
                         "Error in Event Specs: Missing Unit Name"},
        ErrorCase{"NullUnit", {{0, kT0, 0, 1.0, 0}}, {"+"}, {std::nullopt}, no_expressions,
                  kAt0 + ", op: +, qty: 1, unit: \"<none>\", caused by \nUnknown Unit"},
        ErrorCase{"UnknownAsset", {{0, kT0, 0, 0.5, 0}}, {"+"}, {"Y"}, no_expressions,
                  kAt0 + ", op: +, qty: 0.5, unit: \"Asset(Y)\", caused by \n"
                         "Asset 'Y' not found in snaps, expressions, or in dataset[ASSETS]"},
        ErrorCase{"SnapBeforeSnapper",
                  {{0, kT0, 0, 1.0, 0}, {0, kT0, 0, 1.0, 1}},
                  {"+"},
                  {"dbl", "snp"},
                  [] {
                    Expressions e;
                    e.snappers["snp"] = Snapper{{"dbl"}, constant_phrase({Values{1.0}})};
                    return e;
                  },
                  kAt0 + ", op: +, qty: 1, unit: \"Snap(dbl)\", caused by \nUnknown Snap 'dbl'"},
        ErrorCase{"PhraseFails",
                  {{0, kT0, 0, 1.0, 0}},
                  {"+"},
                  {"ph"},
                  [] {
                    Expressions e;
                    e.phrases["ph"] = testing::failing_phrase("boom");
                    return e;
                  },
                  kAt0 + ", op: +, qty: 1, unit: \"Phrase(ph)\", caused by \n"
                         "Error in Phrase Evaluation, caused by \nboom"},
        ErrorCase{"EarlierThanPrevious",
                  {{0, kT0 + 1000, 0, 1.0, 0}, {1, kT0 + 999, 0, 2.0, 0}},
                  {"+"},
                  {"X"},
                  no_expressions,
                  "Error at event:\n  #1: track: \"Track(1)\", time: "
                  "Single(2024-01-01T00:00:00.999Z), op: +, qty: 2, unit: \"Asset(X)\", caused by "
                  "\nevent time is earlier than the current time 1704067201000"},
        ErrorCase{"BeforePricingTime", {{0, kT0 - 1, 0, 1.0, 0}}, {"+"}, {"X"}, no_expressions,
                  "Error at event:\n  #0: track: \"Track(0)\", time: "
                  "Single(2023-12-31T23:59:59.999Z), op: +, qty: 1, unit: \"Asset(X)\", caused by "
                  "\nevent time is earlier than the current time 1704067200000"},
        // Not wrapped: the discount factor, the backward pass and the price.
        ErrorCase{"DiscountFactorOutOfRange", {{0, at_years(20), 0, 1.0, 0}}, {"+"}, {"X"},
                  no_expressions,
                  "Error in 'discount factor' value at 20, caused by \n'Error: Interpolation out "
                  "of range at time 20.\n Perhaps the time range in forwards/discount data is too "
                  "short.'"},
        ErrorCase{"TrackRefWithoutLaterEvents", {{0, kT0, 0, 1.0, 0}}, {"+"}, {"B"},
                  no_expressions, "Track 1 not found"},
        ErrorCase{"NullOpPayment", {{0, kT0, std::nullopt, 1.0, 0}}, {"+"}, {"X"}, no_expressions,
                  "Error in Op, caused by \nUnknown Op ''"},
        ErrorCase{"EmptyTimetable", {}, {"+"}, {"X"}, no_expressions, "Track 0 not found"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Fixed, NullTimeIsAnEventError) {
  const auto timetable = make_timetable({{0, std::nullopt, 0, 1.0, 0}}, {"A"}, {"+"}, {"X"});
  auto price = fixed_price(timetable);
  ASSERT_FALSE(price);
  const std::string text = price.error().text();
  EXPECT_TRUE(text.starts_with("Error at event:\n  #0: track: \"Track(0)\", time: ")) << text;
  EXPECT_TRUE(text.ends_with(", unit: \"Asset(X)\", caused by \nNo event time")) << text;
}

// Curve failures of asset units: a quoted curve that ends at one year, and
// a base asset that the curves lack.
TEST(Fixed, AssetCurveFailuresAreReportedAtTheirEvent) {
  auto short_curve = AssetLogFwd::create({0.0, 1.0}, {0.0, 0.0}, AssetKind::Quoted);
  auto base_curve = AssetLogFwd::create({1.0, 10.0}, {0.05, 0.5}, AssetKind::Base);
  ASSERT_TRUE(short_curve && base_curve);
  const auto timetable = make_timetable(
      {{0, at_years(0.5), 0, 1.0, 0}, {0, at_years(2), 0, 1.0, 0}}, {"A"}, {"+"}, {"S"});

  Fixed with_base(Assets({{"S", *short_curve}, {"USD", *base_curve}}, "USD"), kT0, 0);
  auto beyond = with_base.calculate(timetable);
  ASSERT_FALSE(beyond);
  EXPECT_EQ(beyond.error().text(),
            "Error at event:\n  #1: track: \"Track(0)\", time: Single(2025-12-31T00:00:00Z), "
            "op: +, qty: 1, unit: \"Asset(S)\", caused by \nError: Interpolation out of range "
            "at time 2.\n Perhaps the time range in forwards/discount data is too short.");

  Fixed without_base(Assets({{"S", *short_curve}}, "USD"), kT0, 0);
  auto no_base = without_base.calculate(timetable);
  ASSERT_FALSE(no_base);
  EXPECT_EQ(no_base.error().text(),
            "Asset 'USD' not found in snaps, expressions, or in dataset[ASSETS]");
}

TEST(Fixed, EventsAtOneTimeAreAccepted) {
  const auto timetable = make_timetable({{0, kT0, 0, 1.0, 0}, {0, kT0, 0, 2.0, 1}}, {"A"}, {"+"},
                                        {"X", "USD"});
  expect_price(timetable, kForward + 2.0);
}

TEST(Fixed, StopsAtTheFirstPollThatAsksItTo) {
  std::vector<Row> rows(20'000, Row{0, at_years(1), 0, 1.0, 0});
  const auto timetable = make_timetable(rows, {"A"}, {"+"}, {"USD"});
  Fixed model(testing::flat_assets(kRate, {}), kT0, 0);
  testing::StopAtPoll caller{2};
  auto ledger = model.calculate(timetable, caller.hook());
  ASSERT_FALSE(ledger);
  EXPECT_EQ(ledger.error().text(), "Calculation cancelled");
  EXPECT_EQ(caller.polls, 2);
  testing::StopAtPoll patient{1'000'000};
  ASSERT_TRUE(model.calculate(timetable, patient.hook()));
  // Forward and backward, each event counts 65 units: a poll every 1009 events.
  EXPECT_EQ(patient.polls, 2 * (20'000 / 1009));
}

}  // namespace
}  // namespace ravlin
