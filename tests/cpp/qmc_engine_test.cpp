// The Monte Carlo engine over a deterministic fake model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/forwardstate.hpp"
#include "qmc/engine.hpp"
#include "support/model_fakes.hpp"

namespace ravlin {
namespace {

using testing::at_years;
using testing::fake_phrase;
using testing::kT0;
using testing::make_timetable;
using testing::PhraseResult;
using testing::Row;

constexpr double kRate = 0.05;
constexpr double kForward = 2.0;

using PathValues = std::function<Values(double years)>;

// Paths as functions of the year fraction; without a discount function the
// model declines and the dataset's discount factor replaces `discount`.
class FakeMC final : public MCModel {
 public:
  explicit FakeMC(std::size_t paths) {
    params_.assets = testing::flat_assets(kRate, {{"X", kForward}});
    params_.paths = paths;
    params_.pricing_ts = kT0;
  }

  const MCParams& params() const override { return params_; }

  std::expected<FwdModelStateGeneric, ModelError> create_state_mc(
      const TimeTable& timetable) override {
    if (fail_create) return std::unexpected(ModelError::message("no state"));
    return create_fwd_state(timetable, params_.paths);
  }

  std::expected<std::optional<Values>, ModelError> get_model_val_mc(
      FwdModelStateGeneric&, std::string_view name) override {
    if (name == "BAD") return std::unexpected(ModelError::message("get_value failed"));
    const auto found = per_path.find(std::string(name));
    if (found == per_path.end()) return std::nullopt;
    return found->second(years_);
  }

  std::expected<void, ModelError> advance(FwdModelStateGeneric& state, std::int64_t t) override {
    advanced.push_back(t);
    if (fail_advance) return std::unexpected(ModelError::message("advance failed"));
    years_ = year_fraction(t, params_.pricing_ts);
    if (discount_at) {
      state.discount = discount_at(years_);
    } else {
      state.discount = Values::scalar(*params_.assets.discount_factor(years_));
    }
    return {};
  }

  PathValues discount_at;
  std::unordered_map<std::string, PathValues> per_path;
  std::vector<std::int64_t> advanced;
  bool fail_create = false;
  bool fail_advance = false;

 private:
  MCParams params_;
  double years_ = 0.0;
};

std::expected<double, ModelError> mc_value(FakeMC& model, const TimeTable& timetable) {
  auto ledger = mc_calculate(model, timetable);
  if (!ledger) return std::unexpected(std::move(ledger).error());
  return mc_price(*ledger);
}

double dataset_df(double years) { return std::exp(-kRate * year_fraction(at_years(years), kT0)); }

// Path j discounts at the rate 0.01 * (j + 1).
Values path_discounts(std::size_t paths, double years) {
  Values out(paths);
  for (std::size_t j = 0; j < paths; ++j) out[j] = std::exp(-0.01 * (j + 1.0) * years);
  return out;
}

// Path j holds the asset at 90 + 10 j, whatever the time.
Values path_spots(std::size_t paths) {
  Values out(paths);
  for (std::size_t j = 0; j < paths; ++j) out[j] = 90.0 + 10.0 * j;
  return out;
}

FakeMC per_path_model(std::size_t paths) {
  FakeMC model(paths);
  model.discount_at = [paths](double years) { return path_discounts(paths, years); };
  model.per_path["S"] = [paths](double) { return path_spots(paths); };
  return model;
}

TEST(MCEngine, AdvancesOncePerDistinctLaterTimeAndNeverAtThePricingTime) {
  FakeMC model(3);
  const auto timetable = make_timetable({{0, kT0, 0, 1.0, 0},
                                         {0, kT0, 0, 1.0, 0},
                                         {0, at_years(1), 0, 1.0, 0},
                                         {0, at_years(1), 0, 1.0, 0},
                                         {0, at_years(2.5), 0, 1.0, 0}},
                                        {"A"}, {"+"}, {"USD"});
  ASSERT_TRUE(mc_calculate(model, timetable));
  EXPECT_EQ(model.advanced, (std::vector<std::int64_t>{at_years(1), at_years(2.5)}));
}

TEST(MCEngine, ModelWithoutPathValuesPricesLikeTheDeterministicValuation) {
  FakeMC model(8);
  std::vector<Row> rows;
  double expected = 0.0;
  for (int year = 1; year <= 5; ++year) {
    rows.push_back({0, at_years(year), 0, 5.0, 0});
    expected += 5.0 * dataset_df(year);
  }
  rows.push_back({0, at_years(5), 0, 100.0, 0});
  rows.push_back({0, at_years(5), 0, 3.0, 1});
  expected += 100.0 * dataset_df(5) + 3.0 * kForward * dataset_df(5);
  const auto timetable = make_timetable(rows, {"bond"}, {"+"}, {"USD", "X"});

  auto ledger = mc_calculate(model, timetable);
  ASSERT_TRUE(ledger) << ledger.error().text();
  const Values& pv = **ledger->pv_vec(0);
  ASSERT_EQ(pv.size(), 8u);
  for (double value : pv) EXPECT_NEAR(value, expected, 1e-13 * expected);
  auto price = mc_price(*ledger);
  ASSERT_TRUE(price);
  EXPECT_NEAR(*price, expected, 1e-13 * expected);
}

TEST(MCEngine, ChoiceIsTakenPathByPath) {
  constexpr std::size_t paths = 4;
  FakeMC model = per_path_model(paths);
  const auto timetable =
      make_timetable({{0, at_years(1), 0, 1.0, 0}, {0, at_years(2), 1, 100.0, 1}}, {"A"},
                     {">", "+"}, {"S", "USD"});
  const Values d1 = path_discounts(paths, year_fraction(at_years(1), kT0));
  const Values d2 = path_discounts(paths, year_fraction(at_years(2), kT0));
  const Values spots = path_spots(paths);
  double expected = 0.0;
  int exercised = 0;
  for (std::size_t j = 0; j < paths; ++j) {
    expected += std::max(spots[j] * d1[j], 100.0 * d2[j]) / paths;
    exercised += spots[j] * d1[j] > 100.0 * d2[j];
  }
  ASSERT_GT(exercised, 0);
  ASSERT_LT(exercised, 4);  // the case mixes exercised and continued paths

  auto price = mc_value(model, timetable);
  ASSERT_TRUE(price) << price.error().text();
  EXPECT_NEAR(*price, expected, 1e-13 * expected);
}

TEST(MCEngine, SnapsPhrasesAndConditionsCarryPathValues) {
  constexpr std::size_t paths = 3;
  FakeMC model = per_path_model(paths);
  Expressions expressions;
  expressions.snappers["snp"] =
      Snapper{{"dbl"}, fake_phrase({"S"}, [](const std::vector<Values>& in) -> PhraseResult {
                return std::vector<Values>{scaled(in[0], 2.0)};
              })};
  // "s" pays on the paths where the asset is above 95.
  expressions.phrases["s"] = fake_phrase({"S"}, [](const std::vector<Values>& in) -> PhraseResult {
    Values weight(in[0].size());
    for (std::size_t j = 0; j < weight.size(); ++j) weight[j] = in[0][j] > 95.0 ? 1.0 : 0.0;
    return std::vector<Values>{weight};
  });
  const auto timetable = make_timetable(
      {{0, at_years(1), 0, 1.0, 0}, {0, at_years(1), 1, 0.5, 1}, {0, at_years(2), 0, 7.0, 2}},
      {"A"}, {"+", "s"}, {"snp", "dbl", "USD"}, std::move(expressions));

  const Values d1 = path_discounts(paths, year_fraction(at_years(1), kT0));
  const Values d2 = path_discounts(paths, year_fraction(at_years(2), kT0));
  const Values spots = path_spots(paths);
  double expected = 0.0;
  for (std::size_t j = 0; j < paths; ++j) {
    // Where the condition holds, its payment replaces the later one.
    expected += (spots[j] > 95.0 ? 0.5 * d1[j] * 2.0 * spots[j] : 7.0 * d2[j]) / paths;
  }
  auto price = mc_value(model, timetable);
  ASSERT_TRUE(price) << price.error().text();
  EXPECT_NEAR(*price, expected, 1e-13 * expected);
}

TEST(MCEngine, ZeroPathsGiveAnEmptyPresentValue) {
  FakeMC model(0);
  const auto timetable = make_timetable({{0, at_years(1), 0, 1.0, 0}}, {"A"}, {"+"}, {"USD"});
  auto price = mc_value(model, timetable);
  ASSERT_FALSE(price);
  EXPECT_EQ(price.error().text(), "Empty PV Vector");
}

const std::string kAtYear1 =
    "Error at event:\n  #0: track: \"Track(0)\", time: Single(2024-12-31T00:00:00Z), op: +, "
    "qty: 1, unit: ";

struct MCErrorCase {
  const char* name;
  std::function<void(FakeMC&)> setup;
  std::vector<Row> rows;
  std::vector<std::optional<std::string>> units;
  std::string text;
};

class MCEngineErrors : public ::testing::TestWithParam<MCErrorCase> {};

TEST_P(MCEngineErrors, ReportTheirExactText) {
  const MCErrorCase& c = GetParam();
  FakeMC model = per_path_model(4);
  c.setup(model);
  const auto timetable = make_timetable(c.rows, {"A"}, {"+"}, c.units);
  auto price = mc_value(model, timetable);
  ASSERT_FALSE(price);
  EXPECT_EQ(price.error().text(), c.text);
}

void no_setup(FakeMC&) {}

INSTANTIATE_TEST_SUITE_P(
    Texts, MCEngineErrors,
    ::testing::Values(
        MCErrorCase{"ModelArrayAgainstPathDiscounts",
                    [](FakeMC& m) { m.per_path["S"] = [](double) { return path_spots(3); }; },
                    {{0, at_years(1), 0, 1.0, 0}},
                    {"S"},
                    kAtYear1 + "\"Asset(S)\", caused by \n"
                               "Value arrays of lengths 3 and 4 cannot be combined"},
        MCErrorCase{"ModelArrayAgainstPaths",
                    [](FakeMC& m) {
                      m.discount_at = nullptr;
                      m.per_path["S"] = [](double) { return path_spots(3); };
                    },
                    {{0, at_years(1), 0, 1.0, 0}},
                    {"S"},
                    kAtYear1 + "\"Asset(S)\", caused by \n"
                               "Value arrays of lengths 3 and 4 cannot be combined"},
        MCErrorCase{"ModelValueFails", no_setup, {{0, at_years(1), 0, 1.0, 0}}, {"BAD"},
                    kAtYear1 + "\"Asset(BAD)\", caused by \nget_value failed"},
        MCErrorCase{"UnknownAsset", no_setup, {{0, at_years(1), 0, 1.0, 0}}, {"Y"},
                    kAtYear1 + "\"Asset(Y)\", caused by \n"
                               "Asset 'Y' not found in snaps, expressions, or in dataset[ASSETS]"},
        MCErrorCase{"MissingUnitName", no_setup, {{0, at_years(1), 0, 1.0, std::nullopt}}, {"S"},
                    kAtYear1 + "\"<none>\", caused by \nError in Event Specs: Missing Unit Name"},
        MCErrorCase{"NullUnit", no_setup, {{0, at_years(1), 0, 1.0, 0}}, {std::nullopt},
                    kAtYear1 + "\"<none>\", caused by \nUnknown Unit"},
        MCErrorCase{"EarlierThanCurrent", no_setup,
                    {{0, at_years(1), 0, 1.0, 0}, {0, at_years(0.5), 0, 1.0, 0}}, {"S"},
                    "Error at event:\n  #1: track: \"Track(0)\", time: "
                    "Single(2024-07-01T12:00:00Z), op: +, qty: 1, unit: \"Asset(S)\", caused by "
                    "\nevent time is earlier than the current time 1735603200000"},
        // Not wrapped: state creation, advancing and the backward pass.
        MCErrorCase{"CreateStateFails", [](FakeMC& m) { m.fail_create = true; },
                    {{0, at_years(1), 0, 1.0, 0}}, {"S"}, "no state"},
        MCErrorCase{"AdvanceFails", [](FakeMC& m) { m.fail_advance = true; },
                    {{0, at_years(1), 0, 1.0, 0}}, {"S"}, "advance failed"},
        MCErrorCase{"BackwardPassFails", no_setup, {{0, at_years(1), std::nullopt, 1.0, 0}},
                    {"S"}, "Error in Op, caused by \nUnknown Op ''"},
        MCErrorCase{"NoTrackZero", no_setup, {}, {"S"}, "Track 0 not found"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MCEngine, NullTimeIsAnEventError) {
  FakeMC model(2);
  const auto timetable =
      make_timetable({{0, std::nullopt, 0, 1.0, 0}}, {"A"}, {"+"}, {"USD"});
  auto price = mc_value(model, timetable);
  ASSERT_FALSE(price);
  const std::string text = price.error().text();
  EXPECT_TRUE(text.starts_with("Error at event:\n  #0: track: \"Track(0)\", time: ")) << text;
  EXPECT_TRUE(text.ends_with(", unit: \"Asset(USD)\", caused by \nmissing time")) << text;
  EXPECT_TRUE(model.advanced.empty());
}

TEST(MCEngine, StopsAtTheFirstPollThatAsksItTo) {
  FakeMC model = per_path_model(1000);
  std::vector<Row> rows;
  for (int k = 1; k <= 1000; ++k) rows.push_back({0, at_years(k / 1000.0), 0, 1.0, 0});
  const auto timetable = make_timetable(rows, {"A"}, {"+"}, {"S"});
  testing::StopAtPoll caller{2};
  auto ledger = mc_calculate(model, timetable, caller.hook());
  ASSERT_FALSE(ledger);
  EXPECT_EQ(ledger.error().text(), "Calculation cancelled");
  EXPECT_EQ(caller.polls, 2);
  // Events of 1000 paths count 1064 units: the second poll comes after about
  // 2 * 65536 / 1064 of them.
  EXPECT_LT(model.advanced.size(), 2 * CancelCheck::kPollEvery / 1064 + 3);
}

}  // namespace
}  // namespace ravlin
