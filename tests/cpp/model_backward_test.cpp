#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "model/forwardstate.hpp"
#include "support/timetable_builder.hpp"

namespace ravlin {
namespace {

using testing::Row;

// Tracks A (key 0) and B (key 1); ops "+", ">", "s" and a null op value;
// units B (the track) and USD (an asset).
constexpr std::int64_t kA = 0, kB = 1;
constexpr std::int64_t kPlus = 0, kMax = 1, kCond = 2, kNullOp = 3;
constexpr std::int64_t kUnitB = 0, kUsd = 1;

TimeTable table(const std::vector<Row>& rows, Expressions expressions = {}) {
  return testing::make_timetable(rows, {"A", "B"}, {"+", ">", "s", std::nullopt},
                                 {"B", "USD"}, std::move(expressions));
}

Row row(std::optional<std::int64_t> track, std::optional<std::int64_t> op,
        std::optional<std::int64_t> unit) {
  return Row{track, 0, op, 1.0, unit};
}

const Values& pv(const Ledger& ledger, std::uint64_t track) { return *ledger.pv_vec(track).value(); }

std::map<std::uint64_t, Values> flows_of(Ledger& ledger, std::uint64_t track) {
  const auto& flows = ledger.cashflows()[track];
  return {flows.begin(), flows.end()};
}

void evolve(FwdModelStateGeneric& state, const TimeTable& timetable, std::uint32_t flags) {
  const auto done = evolve_pvs_backward(state, timetable, flags);
  ASSERT_TRUE(done) << done.error().text();
}

TEST(ForwardState, EmptyTimetableGivesEmptyLedger) {
  const TimeTable timetable = table({});
  FwdModelStateGeneric state = create_fwd_state(timetable, 3);
  EXPECT_EQ(state.paths(), 3u);
  EXPECT_EQ(state.discount, Values{1.0});
  evolve(state, timetable, kFlagCashflow | kFlagChoices);
  const Ledger ledger = std::move(state).into_ledger();
  EXPECT_TRUE(ledger.pvs().empty());
  EXPECT_EQ(ledger.pv_vec(0).error().text(), "Track 0 not found");
}

TEST(Backward, TrackReferenceSeesOnlyLaterEventsOfThatTrack) {
  const TimeTable timetable = table(
      {row(kB, kPlus, kUsd), row(kA, kMax, kUnitB), row(kB, kPlus, kUsd), row(kA, kPlus, kUsd)});
  FwdModelStateGeneric state = create_fwd_state(timetable, 2);
  state.graph.save_pay(0, Values{100.0});
  state.graph.save_t(1, kB);
  state.graph.save_pay(2, Values{5.0, 1.0});
  state.graph.save_pay(3, Values{3.0});
  evolve(state, timetable, kFlagChoices);
  EXPECT_EQ(pv(state.ledger, kA), (Values{5.0, 3.0}));
  EXPECT_EQ(pv(state.ledger, kB), (Values{105.0, 101.0}));
  EXPECT_EQ(state.ledger.choices().map.at(1).at(kA), (ChoiceArray{1, 0}));
  EXPECT_EQ(state.graph.size(), 0u);
}

TEST(Backward, ConditionalPaymentBlendsAndEmptyStatesPayNothing) {
  const TimeTable timetable =
      table({row(kA, kCond, kUsd), row(kA, kPlus, kUsd), row(kA, kPlus, kUsd)});
  FwdModelStateGeneric state = create_fwd_state(timetable, 1);
  state.graph.save_cond_pay(0, Values{10.0}, Values{0.5});
  state.graph.save_pay(2, Values{4.0});
  evolve(state, timetable, kFlagCashflow);
  EXPECT_EQ(pv(state.ledger, kA), Values{7.0});
  EXPECT_EQ(flows_of(state.ledger, kA),
            (std::map<std::uint64_t, Values>{{2, Values{2.0}}, {0, Values{5.0}}}));
}

TEST(Backward, ExerciseRemovesLaterCashFlowsOnExercisedPaths) {
  const TimeTable timetable = table({row(kA, kMax, kUsd), row(kA, kPlus, kUsd)});
  FwdModelStateGeneric state = create_fwd_state(timetable, 2);
  state.graph.save_pay(0, Values{0.0, 15.0});
  state.graph.save_pay(1, Values{10.0});
  evolve(state, timetable, kFlagCashflow);
  EXPECT_EQ(pv(state.ledger, kA), (Values{10.0, 15.0}));
  EXPECT_EQ(flows_of(state.ledger, kA),
            (std::map<std::uint64_t, Values>{{1, Values{10.0, 0.0}}, {0, Values{0.0, 15.0}}}));
}

struct FailureCase {
  const char* label;
  std::vector<Row> rows;
  std::function<void(EvGraph&)> save;
  std::string text;
};

class BackwardFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(BackwardFailure, Reports) {
  const TimeTable timetable = table(GetParam().rows);
  FwdModelStateGeneric state = create_fwd_state(timetable, 1);
  GetParam().save(state.graph);
  const auto result = evolve_pvs_backward(state, timetable, kFlagCashflow | kFlagChoices);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().text(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BackwardFailure,
    ::testing::Values(
        FailureCase{"ReferenceWithoutLaterEvents", {row(kA, kMax, kUnitB)},
                    [](EvGraph& g) { g.save_t(0, kB); }, "Track 1 not found"},
        FailureCase{"NullTrack", {row(std::nullopt, kPlus, kUsd)},
                    [](EvGraph& g) { g.save_pay(0, Values{1.0}); }, "No track specified at event#0"},
        FailureCase{"NullTrackOfConditionalPayment",
                    {row(kA, kPlus, kUsd), row(std::nullopt, kCond, kUsd)},
                    [](EvGraph& g) { g.save_cond_pay(1, Values{1.0}, Values{1.0}); },
                    "No track specified at event#1"},
        FailureCase{"NullOpValue", {row(kA, kNullOp, kUsd)},
                    [](EvGraph& g) { g.save_pay(0, Values{1.0}); },
                    "Error in Op, caused by \nUnknown Op ''"},
        FailureCase{"NullOpIndex", {row(kA, std::nullopt, kUsd)},
                    [](EvGraph& g) { g.save_pay(0, Values{1.0}); },
                    "Error in Op, caused by \nUnknown Op ''"},
        FailureCase{"GraphShorterThanTimetable", {row(kA, kPlus, kUsd), row(kA, kPlus, kUsd)},
                    [](EvGraph& g) { g.pop_event(); }, "Empty Event Graph"},
        FailureCase{"GraphLongerThanTimetable", {row(kA, kPlus, kUsd)},
                    [](EvGraph& g) { g.push_empty(); }, "Event Graph holds 2 states for 1 events"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace ravlin
