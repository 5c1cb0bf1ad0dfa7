// The finite-difference engine: grid, order of steps and events, event
// application and the checks before the walk.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "model/interfaces.hpp"
#include "qfd/black_scholes.hpp"
#include "qfd/engine.hpp"
#include "qfd/hull_white.hpp"
#include "support/grid_fixtures.hpp"

namespace ravlin {
namespace {

using testing::at_years;
using testing::constant_phrase;
using testing::grid_params;
using testing::kT0;
using testing::make_timetable;
using testing::Row;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A grid model whose steps leave every value as it is (S = R = -I), that
// records each step it is asked for, may fail the steps that end before a
// given time, and knows the asset "NODE" as the node's position.
class RecordingGrid final : public FDCN {
 public:
  explicit RecordingGrid(FD1FParams params, std::optional<std::int64_t> fail_before = {})
      : params_(std::move(params)), fail_before_(fail_before) {}

  const FD1FParams& params() const override { return params_; }
  std::expected<FdState, ModelError> create_state_cn(const TimeTable& timetable) override {
    RV_ASSIGN(const std::int64_t start, last_row_time(timetable));
    return FdState::create(params_.n_x, params_.max_x, start);
  }
  std::optional<Values> get_model_val_cn(const FdState& state,
                                         std::string_view name) const override {
    if (name != "NODE") return std::nullopt;
    return Values(std::span<const double>(state.x));
  }
  std::expected<void, ModelError> cn_coefficients(const FdState& state, std::int64_t t_new,
                                                  Tridiagonal& s, Tridiagonal& r) const override {
    steps.emplace_back(state.t, t_new);
    if (fail_before_ && t_new < *fail_before_) {
      return std::unexpected(ModelError::message("no coefficients"));
    }
    for (Tridiagonal* m : {&s, &r}) {
      std::fill(m->lower.begin(), m->lower.end(), 0.0);
      std::fill(m->diag.begin(), m->diag.end(), -1.0);
      std::fill(m->upper.begin(), m->upper.end(), 0.0);
    }
    return {};
  }

  mutable std::vector<std::pair<std::int64_t, std::int64_t>> steps;

 private:
  FD1FParams params_;
  std::optional<std::int64_t> fail_before_;
};

FD1FParams params(double timestep = 0.25, std::size_t n_x = 2, double max_x = 1.0,
                  std::uint32_t flags = 0) {
  return grid_params(testing::flat_assets(0.05, {{"X", 2.0}}), n_x, max_x, timestep, flags);
}

std::expected<double, ModelError> run(FDCN& model, const TimeTable& timetable) {
  RV_ASSIGN(const Ledger ledger, calculate_fd(model, timetable));
  return price_fd(model, ledger);
}

using Steps = std::vector<std::pair<std::int64_t, std::int64_t>>;

// Steps between consecutive times, in years from the pricing time.
Steps steps_through(const std::vector<double>& years) {
  Steps steps;
  for (std::size_t k = 0; k + 1 < years.size(); ++k) {
    steps.emplace_back(at_years(years[k]), at_years(years[k + 1]));
  }
  return steps;
}

// ---------------------------------------------------------------------------
// Grid

TEST(FdGrid, TenNodesEachSideGiveTwentyOneWithTheCentreInTheMiddle) {
  const FdState state = FdState::create(10, 0.5, kT0);
  ASSERT_EQ(state.n, 21u);
  ASSERT_EQ(state.x.size(), 21u);
  EXPECT_EQ(state.ledger.n(), 21u);
  EXPECT_EQ(state.t, kT0);
  EXPECT_DOUBLE_EQ(state.dx, 0.05);
  EXPECT_EQ(state.x[0], 0.5);
  EXPECT_NEAR(state.x[10], 0.0, 1e-16);
  EXPECT_NEAR(state.x[20], -0.5, 1e-16);
  for (std::size_t i = 1; i < 21; ++i) EXPECT_NEAR(state.x[i - 1] - state.x[i], 0.05, 1e-15);
}

TEST(FdGrid, PriceIsTheMiddleNodeOfTrackZero) {
  // "NODE" pays the node's position: the price reads node n_x, the centre.
  RecordingGrid model(params(0.25, 10));
  const auto timetable =
      make_timetable({{0, at_years(1), 0, 3.0, 0}, {0, at_years(1), 0, 1.0, 1}}, {"A"}, {"+"},
                     {"NODE", "USD"});
  auto ledger = calculate_fd(model, timetable);
  ASSERT_TRUE(ledger) << ledger.error().text();
  const Values* pv = *ledger->pv_vec(0);
  ASSERT_EQ(pv->size(), 21u);
  EXPECT_DOUBLE_EQ((*pv)[0], 3.0 * 1.0 + 1.0);
  EXPECT_DOUBLE_EQ((*pv)[20], 3.0 * -1.0 + 1.0);
  auto price = price_fd(model, *ledger);
  ASSERT_TRUE(price) << price.error().text();
  EXPECT_EQ(*price, (*pv)[10]);
  EXPECT_NEAR(*price, 1.0, 1e-15);
}

// ---------------------------------------------------------------------------
// Order of the walk

TEST(FdWalk, LatticeFromTheLastRowThenALastStepToThePricingTime) {
  RecordingGrid model(params(0.3));
  const auto timetable = make_timetable({{0, at_years(1), 0, 1.0, 0}}, {"A"}, {"+"}, {"USD"});
  ASSERT_TRUE(run(model, timetable));
  EXPECT_EQ(model.steps, steps_through({1.0, 0.7, 0.4, 0.1, 0.0}));
}

TEST(FdWalk, ShortStepsToEventTimesAndTheLatticeContinuesBelowThem) {
  RecordingGrid model(params(0.25));
  const auto timetable = make_timetable(
      {{0, at_years(0.4), 0, 1.0, 0}, {0, at_years(0.4), 0, 1.0, 0}, {0, at_years(1), 0, 1.0, 0}},
      {"A"}, {"+"}, {"USD"});
  ASSERT_TRUE(run(model, timetable));
  // Two rows at 0.4 years share one step; the lattice stays anchored at 1.
  EXPECT_EQ(model.steps, steps_through({1.0, 0.75, 0.5, 0.4, 0.25, 0.0}));
}

TEST(FdWalk, NoStepsShorterThanATenBillionthOfAYear) {
  // 2 ms and 3 ms lie under 1e-10 years: those steps are not taken.
  RecordingGrid model(params(0.5));
  const std::int64_t end = at_years(1);
  const auto timetable = make_timetable(
      {{0, kT0 + 2, 0, 1.0, 0}, {0, end - 3, 0, 1.0, 0}, {0, end, 0, 1.0, 0}}, {"A"}, {"+"},
      {"USD"});
  auto price = run(model, timetable);
  ASSERT_TRUE(price) << price.error().text();
  EXPECT_EQ(*price, 3.0);
  const Steps expected{{end, at_years(0.5)}, {at_years(0.5), kT0 + 2}};
  EXPECT_EQ(model.steps, expected);
}

TEST(FdWalk, RowsAtOneTimeApplyTheLaterRowFirst) {
  RecordingGrid model(params());
  // Backward: max(0, 5) = 5, then + 2 gives 7; the other order would give 5.
  const auto timetable = make_timetable(
      {{0, at_years(1), 1, 2.0, 0}, {0, at_years(1), 0, 5.0, 0}}, {"A"}, {">", "+"}, {"USD"});
  auto price = run(model, timetable);
  ASSERT_TRUE(price) << price.error().text();
  EXPECT_EQ(*price, 7.0);
}

TEST(FdWalk, PricingAtTheLastRowTakesNoStep) {
  RecordingGrid model(params());
  const auto timetable = make_timetable({{0, kT0, 0, 4.0, 0}}, {"A"}, {"+"}, {"USD"});
  auto price = run(model, timetable);
  ASSERT_TRUE(price) << price.error().text();
  EXPECT_EQ(*price, 4.0);
  EXPECT_TRUE(model.steps.empty());
}

TEST(FdWalk, ATimestepLongerThanTheContractStepsStraightToEventTimes) {
  RecordingGrid model(params(1e30));
  const auto timetable = make_timetable({{0, at_years(2), 0, 1.0, 0}, {0, at_years(5), 0, 1.0, 0}},
                                        {"A"}, {"+"}, {"USD"});
  ASSERT_TRUE(run(model, timetable));
  EXPECT_EQ(model.steps, steps_through({5.0, 2.0, 0.0}));
}

// ---------------------------------------------------------------------------
// Events

TEST(FdEvents, TrackUnitTakesTheOtherTracksValuesTimesTheQuantity) {
  RecordingGrid model(params());
  // B pays the node position; A receives 3 times B's values at the same time.
  const auto timetable = make_timetable(
      {{0, at_years(1), 0, 3.0, 1}, {1, at_years(1), 0, 1.0, 0}}, {"A", "B"}, {"+"}, {"NODE", "B"});
  auto ledger = calculate_fd(model, timetable);
  ASSERT_TRUE(ledger) << ledger.error().text();
  const Values& a = **ledger->pv_vec(0);
  const Values& b = **ledger->pv_vec(1);
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i], 3.0 * b[i]);
  EXPECT_EQ(a[0], 3.0);
}

TEST(FdEvents, DatasetAssetIsTheSameOnEveryNode) {
  RecordingGrid model(params());
  // X has the flat forward 2; the grid holds its value where it is paid.
  const auto timetable = make_timetable({{0, at_years(1), 0, 1.5, 0}}, {"A"}, {"+"}, {"X"});
  auto ledger = calculate_fd(model, timetable);
  ASSERT_TRUE(ledger) << ledger.error().text();
  const Values& pv = **ledger->pv_vec(0);
  ASSERT_EQ(pv.size(), 5u);
  for (double value : pv) EXPECT_DOUBLE_EQ(value, 3.0);
}

TEST(FdEvents, CashflowsAreRecordedPerNodeWhenAsked) {
  RecordingGrid model(params(0.25, 2, 1.0, kFlagCashflow));
  const auto timetable = make_timetable({{0, at_years(1), 0, 2.0, 0}}, {"A"}, {"+"}, {"NODE"});
  auto ledger = calculate_fd(model, timetable);
  ASSERT_TRUE(ledger) << ledger.error().text();
  const Values& flow = ledger->cashflows().at(0).at(0);
  EXPECT_EQ(flow, (Values{2.0, 1.0, 0.0, -1.0, -2.0}));
}

struct EventErrorCase {
  const char* name;
  std::vector<Row> rows;
  std::vector<std::optional<std::string>> tracks;
  std::vector<std::optional<std::string>> units;
  std::size_t row;
  const char* cause;
};

class FdEventErrors : public ::testing::TestWithParam<EventErrorCase> {};

Expressions snapper_and_phrase() {
  Expressions expressions;
  expressions.snappers.emplace("snapper", Snapper{{"snapped"}, constant_phrase({Values{1.0}})});
  expressions.phrases.emplace("phrase", constant_phrase({Values{1.0}}));
  return expressions;
}

TEST_P(FdEventErrors, AreWrappedWithTheEventDescription) {
  const EventErrorCase& c = GetParam();
  RecordingGrid model(params());
  const auto timetable = make_timetable(c.rows, c.tracks, {"+"}, c.units, snapper_and_phrase());
  auto price = run(model, timetable);
  ASSERT_FALSE(price);
  EXPECT_EQ(price.error().text(),
            "Error at event:\n  " + timetable.event_desc(c.row) + ", caused by \n" + c.cause);
}

INSTANTIATE_TEST_SUITE_P(
    Units, FdEventErrors,
    ::testing::Values(
        EventErrorCase{"NullKey", {{0, at_years(1), 0, 1.0, std::nullopt}}, {"A"}, {"USD"}, 0,
                       "Error in Event Specs: Missing Unit Name"},
        EventErrorCase{"NullUnit", {{0, at_years(1), 0, 1.0, 0}}, {"A"}, {std::nullopt}, 0,
                       "Error in Event Specs: Unknown Unit"},
        EventErrorCase{"Snapper", {{0, at_years(1), 0, 1.0, 0}}, {"A"}, {"snapper"}, 0,
                       "Feature Not Implemented: `Snapper in FD: snapper`"},
        EventErrorCase{"Snap", {{0, at_years(1), 0, 1.0, 0}}, {"A"}, {"snapped"}, 0,
                       "Feature Not Implemented: `Snap in FD: snapped`"},
        EventErrorCase{"Phrase", {{0, at_years(1), 0, 1.0, 0}}, {"A"}, {"phrase"}, 0,
                       "Feature Not Implemented: `Phrase in FD: phrase`"},
        // B pays only before A refers to it: backward, A comes first.
        EventErrorCase{"TrackWithoutValues",
                       {{1, at_years(1), 0, 1.0, 1}, {0, at_years(2), 0, 1.0, 0}},
                       {"A", "B"},
                       {"B", "USD"},
                       1,
                       "Track 1 not found"},
        EventErrorCase{"UnknownAsset", {{0, at_years(1), 0, 1.0, 0}}, {"A"}, {"GBP"}, 0,
                       "Asset 'GBP' not found in snaps, expressions, or in dataset[ASSETS]"},
        EventErrorCase{"NoTrack", {{std::nullopt, at_years(1), 0, 1.0, 0}}, {"A"}, {"USD"}, 0,
                       "No track specified at event#0"}),
    [](const auto& info) { return info.param.name; });

TEST(FdEvents, TrackZeroWithoutValuesHasNoPrice) {
  RecordingGrid model(params());
  const auto timetable = make_timetable({{1, at_years(1), 0, 1.0, 0}}, {"A", "B"}, {"+"}, {"USD"});
  auto ledger = calculate_fd(model, timetable);
  ASSERT_TRUE(ledger) << ledger.error().text();
  auto price = price_fd(model, *ledger);
  ASSERT_FALSE(price);
  EXPECT_EQ(price.error().text(), "Track 0 not found");
}

// ---------------------------------------------------------------------------
// Failures of the coefficients

TEST(FdSteps, CoefficientErrorsComeWithoutEventContext) {
  RecordingGrid model(params(), at_years(0.6));
  const auto timetable = make_timetable({{0, at_years(1), 0, 1.0, 0}}, {"A"}, {"+"}, {"USD"});
  auto price = run(model, timetable);
  ASSERT_FALSE(price);
  EXPECT_EQ(price.error().text(), "no coefficients");
}

TEST(FdSteps, AnEventBeforeAFailingStepReportsItsOwnErrorFirst) {
  // The step below 0.5 years fails, but the row at 0.5 years comes first.
  RecordingGrid model(params(), at_years(0.5));
  const auto failing_row =
      make_timetable({{0, at_years(0.5), 0, 1.0, 1}, {0, at_years(1), 0, 1.0, 0}}, {"A"}, {"+"},
                     {"USD", std::nullopt});
  auto price = run(model, failing_row);
  ASSERT_FALSE(price);
  EXPECT_EQ(price.error().text(), "Error at event:\n  " + failing_row.event_desc(0) +
                                      ", caused by \nError in Event Specs: Unknown Unit");

  const auto good_row = make_timetable(
      {{0, at_years(0.5), 0, 1.0, 0}, {0, at_years(1), 0, 1.0, 0}}, {"A"}, {"+"}, {"USD"});
  price = run(model, good_row);
  ASSERT_FALSE(price);
  EXPECT_EQ(price.error().text(), "no coefficients");
}

// ---------------------------------------------------------------------------
// Checks before the walk

struct SettingsCase {
  const char* name;
  std::size_t n_x;
  double max_x;
  double timestep;
  const char* message;
};

class FdSettings : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(FdSettings, AreRejectedBeforeTheGridIsBuilt) {
  const SettingsCase& c = GetParam();
  RecordingGrid model(params(c.timestep, c.n_x, c.max_x));
  const auto timetable = make_timetable({{0, at_years(1), 0, 1.0, 0}}, {"A"}, {"+"}, {"USD"});
  auto ledger = calculate_fd(model, timetable);
  ASSERT_FALSE(ledger);
  EXPECT_EQ(ledger.error().text(), c.message);
  EXPECT_TRUE(model.steps.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Values, FdSettings,
    ::testing::Values(
        SettingsCase{"NoNodes", 0, 1.0, 0.1, "N_X must be at least 1"},
        SettingsCase{"TooManyNodes", std::numeric_limits<std::size_t>::max() / 2, 1.0, 0.1,
                     "N_X must be at most 144115188075855871, got 9223372036854775807"},
        SettingsCase{"ZeroWidth", 2, 0.0, 0.1, "MAX_X must be positive, got 0"},
        SettingsCase{"InfiniteWidth", 2, std::numeric_limits<double>::infinity(), 0.1,
                     "MAX_X must be finite, got inf"},
        SettingsCase{"NegativeWidth", 2, -1.5, 0.1, "MAX_X must be positive, got -1.5"},
        SettingsCase{"NaNWidth", 2, kNaN, 0.1, "MAX_X must be positive, got NaN"},
        SettingsCase{"ZeroStep", 2, 1.0, 0.0, "TIMESTEP must be at least one millisecond, got 0"},
        SettingsCase{"NegativeStep", 2, 1.0, -0.25,
                     "TIMESTEP must be at least one millisecond, got -0.25"},
        SettingsCase{"SubMillisecondStep", 2, 1.0, 1e-12,
                     "TIMESTEP must be at least one millisecond, got 0.000000000001"},
        SettingsCase{"NaNStep", 2, 1.0, kNaN,
                     "TIMESTEP must be at least one millisecond, got NaN"}),
    [](const auto& info) { return info.param.name; });

TEST(FdChecks, OneMillisecondIsTheShortestTimestep) {
  RecordingGrid model(params(1.0 / 31536000000.0));
  const auto timetable = make_timetable({{0, kT0 + 8, 0, 1.0, 0}}, {"A"}, {"+"}, {"USD"});
  ASSERT_TRUE(run(model, timetable));
  // 1 ms to 3 ms are under the shortest step taken; 4 ms is not.
  const Steps expected{{kT0 + 8, kT0 + 4}, {kT0 + 4, kT0}};
  EXPECT_EQ(model.steps, expected);
}

TEST(FdChecks, AnEmptyTimetableHasNoStartingTime) {
  RecordingGrid model(params());
  const auto timetable = make_timetable({}, {"A"}, {"+"}, {"USD"});
  auto ledger = calculate_fd(model, timetable);
  ASSERT_FALSE(ledger);
  EXPECT_EQ(ledger.error().text(),
            "Timetable has no events: the grid needs the time of the last event");
}

struct TimesCase {
  const char* name;
  std::vector<std::optional<std::int64_t>> times;
  std::size_t row;
  const char* cause;
};

class FdEventTimes : public ::testing::TestWithParam<TimesCase> {};

TEST_P(FdEventTimes, MustBeInOrderFromThePricingTime) {
  const TimesCase& c = GetParam();
  std::vector<Row> rows;
  for (const auto& time : c.times) rows.push_back({0, time, 0, 1.0, 0});
  RecordingGrid model(params());
  const auto timetable = make_timetable(rows, {"A"}, {"+"}, {"USD"});
  auto ledger = calculate_fd(model, timetable);
  ASSERT_FALSE(ledger);
  EXPECT_EQ(ledger.error().text(),
            "Error at event:\n  " + timetable.event_desc(c.row) + ", caused by \n" + c.cause);
  EXPECT_TRUE(model.steps.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FdEventTimes,
    ::testing::Values(
        TimesCase{"Null", {at_years(1), std::nullopt, at_years(2)}, 1, "missing time"},
        TimesCase{"BeforePricing", {kT0 - 1, at_years(1)}, 0,
                  "event time is earlier than the current time 1704067200000"},
        TimesCase{"Unsorted", {at_years(1), at_years(3), at_years(2)}, 2,
                  "event time is earlier than the current time 1798675200000"}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Rows kept from one step to the next

// The inner model with all n rows of its matrices formed afresh at every step.
class FormedEveryStep final : public FDCN {
 public:
  explicit FormedEveryStep(FDCN& inner) : inner_(inner) {}
  const FD1FParams& params() const override { return inner_.params(); }
  std::expected<FdState, ModelError> create_state_cn(const TimeTable& timetable) override {
    return inner_.create_state_cn(timetable);
  }
  std::optional<Values> get_model_val_cn(const FdState& state,
                                         std::string_view name) const override {
    return inner_.get_model_val_cn(state, name);
  }
  std::expected<void, ModelError> cn_coefficients(const FdState& state, std::int64_t t_new,
                                                  Tridiagonal& s, Tridiagonal& r) const override {
    return inner_.cn_coefficients(state, t_new, s, r);
  }

 private:
  FDCN& inner_;
};

// Zero rates and a constant forward: every regular step has the same rows.
Assets still_market() {
  std::unordered_map<std::string, AssetLogFwd> curves;
  curves.emplace("USD", testing::zero_curve({{1.0, 0.0}, {10.0, 0.0}}));
  curves.emplace("S", testing::checked_curve({0.0, 10.0}, {std::log(100.0), std::log(100.0)},
                                             AssetKind::Quoted));
  return Assets(std::move(curves), "USD");
}

// `tracks` puts on S exercised into their strikes at times off the regular
// steps; track 0 is the first.
TimeTable exercised_puts(int tracks) {
  std::vector<Row> rows;
  std::vector<std::optional<std::string>> names;
  for (int k = 0; k < tracks; ++k) names.push_back("put" + std::to_string(k));
  for (int date = 1; date <= 6; ++date) {
    for (int k = 0; k < tracks; ++k) rows.push_back({k, at_years(date * 0.13), 1, 95.0 + k, 0});
  }
  for (int k = 0; k < tracks; ++k) rows.push_back({k, at_years(0.78), 0, -1.0, 1});
  return make_timetable(rows, names, {"+", ">"}, {"USD", "S"});
}

struct KeptRowsCase {
  std::string name;
  bool hull_white;
  int tracks;
};

class KeptRows : public ::testing::TestWithParam<KeptRowsCase> {};

TEST_P(KeptRows, GiveTheBitsOfRowsFormedAtEveryStep) {
  const auto& param = GetParam();
  const FD1FParams settings = grid_params(still_market(), 20, 1.0, 0.02);
  BlackScholesCN black_scholes(settings, "S", 0.3);
  HullWhiteCN hull_white(settings, 0.1, 0.0);
  FDCN& model = param.hull_white ? static_cast<FDCN&>(hull_white) : black_scholes;
  const TimeTable timetable = exercised_puts(param.tracks);

  // The rows are indeed kept: a second step of the same length forms nothing.
  auto state = model.create_state_cn(timetable);
  ASSERT_TRUE(state);
  CnMatrices m;
  ASSERT_EQ(model.refresh_cn(*state, state->t - 1000, m), true);
  ASSERT_EQ(model.refresh_cn(*state, state->t - 1000, m), false);
  ASSERT_EQ(model.refresh_cn(*state, state->t - 2000, m), true);

  FormedEveryStep reference(model);
  auto kept = run(model, timetable);
  auto formed = run(reference, timetable);
  ASSERT_TRUE(kept && formed);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(*kept), std::bit_cast<std::uint64_t>(*formed))
      << *kept << " vs " << *formed;
}

INSTANTIATE_TEST_SUITE_P(
    Models, KeptRows,
    ::testing::Values(KeptRowsCase{"BlackScholesOneTrack", false, 1},
                      KeptRowsCase{"BlackScholesSixTracks", false, 6},
                      KeptRowsCase{"HullWhiteThreeTracks", true, 3}),
    [](const auto& info) { return info.param.name; });

TEST(FdChecks, SteppingStopsAtTheFirstPollThatAsksItTo) {
  RecordingGrid model(params(0.001, 1000));
  const auto timetable = make_timetable({{0, at_years(1), 0, 1.0, 0}}, {"A"}, {"+"}, {"USD"});
  testing::StopAtPoll caller{2};
  auto ledger = calculate_fd(model, timetable, caller.hook());
  ASSERT_FALSE(ledger);
  EXPECT_EQ(ledger.error().text(), "Calculation cancelled");
  EXPECT_EQ(caller.polls, 2);
  // 2001 nodes of one track: each step counts 4002 units.
  EXPECT_LT(model.steps.size(), 2 * CancelCheck::kPollEvery / 4002 + 3);
}

}  // namespace
}  // namespace ravlin
