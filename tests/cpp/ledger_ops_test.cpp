#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "ledger/ledger.hpp"

namespace ravlin {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint32_t kRecordAll = kFlagChoices | kFlagCashflow;
const Op kAdd = Op::parse("+");
const Op kMax = Op::parse(">");
const Op kMin = Op::parse("<");

// The recorded cash flows of one track, ordered by event for comparison.
std::map<std::uint64_t, Values> flows_of(Ledger& ledger, std::uint64_t track) {
  const auto& flows = ledger.cashflows()[track];
  return {flows.begin(), flows.end()};
}

void pay(Ledger& ledger, std::uint64_t track, Values value, std::uint64_t event,
         std::uint32_t flags = kRecordAll) {
  const auto paid = ledger.one_track_event(kAdd, track, std::move(value), event, flags);
  ASSERT_TRUE(paid) << paid.error().text();
}

TEST(Payment, StartsFromZerosAndBroadcasts) {
  Ledger ledger(3);
  pay(ledger, 4, Values{2.0}, 1, 0);
  EXPECT_EQ(ledger.track_entry(4), (Values{2.0, 2.0, 2.0}));
  pay(ledger, 4, Values{1.0, 2.0, 3.0}, 0, 0);
  EXPECT_EQ(*ledger.pv_vec(4).value(), (Values{3.0, 4.0, 5.0}));
  EXPECT_TRUE(ledger.cashflows().empty());
  EXPECT_EQ(ledger.pv_vec(7).error().text(), "Track 7 not found");
}

struct ChoiceCase {
  const char* op;
  double pv;
  double value;
  double expected_pv;
  std::uint64_t expected_choice;
};

class SingleChoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(SingleChoice, KeepsTheBetterSideAndRecordsIt) {
  const ChoiceCase& c = GetParam();
  Ledger ledger(1);
  pay(ledger, 0, Values{c.pv}, 9, 0);
  const auto chosen = ledger.one_track_event(Op::parse(c.op), 0, Values{c.value}, 2, kFlagChoices);
  ASSERT_TRUE(chosen) << chosen.error().text();
  EXPECT_EQ(ledger.track_entry(0)[0], c.expected_pv);
  EXPECT_EQ(ledger.choices().map.at(2).at(0), ChoiceArray{c.expected_choice});
}

INSTANTIATE_TEST_SUITE_P(Ops, SingleChoice,
                         ::testing::Values(ChoiceCase{">", 3.0, 5.0, 5.0, 1},
                                           ChoiceCase{">", 7.0, 5.0, 7.0, 0},
                                           ChoiceCase{">", 7.0, kNaN, 7.0, 0},
                                           ChoiceCase{">", 7.0, 7.0, 7.0, 0},
                                           ChoiceCase{"<", 3.0, 5.0, 3.0, 0},
                                           ChoiceCase{"<", 7.0, 5.0, 5.0, 1},
                                           ChoiceCase{"<", 7.0, kNaN, 7.0, 0}));

TEST(UpdateChoice, ComparesPathByPathAndTiesContinue) {
  const Values pv{1.0, 5.0, 3.0};
  const Values offer{2.0, 2.0, 3.0};
  ChoiceArray choice(3, 0);
  ASSERT_TRUE(update_choice(pv, choice, offer, kMax, 1));
  EXPECT_EQ(choice, (ChoiceArray{1, 0, 0}));
  choice.assign(3, 0);
  ASSERT_TRUE(update_choice(pv, choice, offer, kMin, 4));
  EXPECT_EQ(choice, (ChoiceArray{0, 4, 0}));
  EXPECT_EQ(update_choice(pv, choice, offer, kAdd, 1).error().text(), "Unknown Op '+'");
  EXPECT_EQ(choice, (ChoiceArray{0, 4, 0}));
  EXPECT_EQ(filter(Mask{true, false}, Values{7.0}), (Values{7.0, 0.0}));
}

TEST(Exercise, ZeroesLaterCashFlowsOnExercisedPaths) {
  Ledger ledger(3);
  pay(ledger, 0, Values{10.0}, 5);
  pay(ledger, 1, Values{10.0}, 5);
  ASSERT_TRUE(ledger.one_track_event(kMax, 0, Values{0.0, 20.0, 5.0}, 2, kRecordAll));
  EXPECT_EQ(ledger.track_entry(0), (Values{10.0, 20.0, 10.0}));
  const std::map<std::uint64_t, Values> expected{{5, Values{10.0, 0.0, 10.0}},
                                                 {2, Values{0.0, 20.0, 0.0}}};
  EXPECT_EQ(flows_of(ledger, 0), expected);
  EXPECT_EQ(flows_of(ledger, 1).at(5), (Values{10.0, 10.0, 10.0})) << "other tracks untouched";
  EXPECT_EQ(ledger.choices().map.at(2).at(0), (ChoiceArray{0, 1, 0}));
}

TEST(Exercise, OfferOfNothingRecordsNoFlowButStillZeroes) {
  Ledger ledger(3);
  pay(ledger, 0, Values{-1.0, 2.0, 0.0}, 5);
  ASSERT_TRUE(ledger.one_track_event(kMax, 0, Values{0.0}, 2, kFlagCashflow));
  EXPECT_EQ(flows_of(ledger, 0), (std::map<std::uint64_t, Values>{{5, Values{0.0, 2.0, 0.0}}}));
  EXPECT_EQ(ledger.track_entry(0), (Values{0.0, 2.0, 0.0}));
  EXPECT_TRUE(ledger.choices().map.empty());
}

struct WeightCase {
  Values weight;
  Values expected_pv;
  Values later_flow;
  Values paid_flow;
};

class Weights : public ::testing::TestWithParam<WeightCase> {};

TEST_P(Weights, BlendPaymentAndContinuation) {
  const WeightCase& c = GetParam();
  Ledger ledger(2);
  pay(ledger, 0, Values{10.0, 20.0}, 3);
  ASSERT_TRUE(ledger.one_track_weights(c.weight, 0, Values{4.0}, 1, kRecordAll));
  EXPECT_EQ(ledger.track_entry(0), c.expected_pv);
  EXPECT_EQ(flows_of(ledger, 0), (std::map<std::uint64_t, Values>{{3, c.later_flow},
                                                                   {1, c.paid_flow}}));
  EXPECT_TRUE(ledger.choices().map.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Shares, Weights,
    ::testing::Values(WeightCase{Values{0.0}, Values{10.0, 20.0}, Values{10.0, 20.0},
                                 Values{0.0, 0.0}},
                      WeightCase{Values{1.0}, Values{4.0, 4.0}, Values{0.0, 0.0},
                                 Values{4.0, 4.0}},
                      WeightCase{Values{0.5}, Values{7.0, 12.0}, Values{5.0, 10.0},
                                 Values{2.0, 2.0}},
                      WeightCase{Values{1.0, 0.0}, Values{4.0, 20.0}, Values{0.0, 20.0},
                                 Values{4.0, 0.0}}));

TEST(CashFlows, SecondRecordReplacesFirst) {
  Ledger ledger(2);
  ASSERT_TRUE(ledger.cf_insert(1, 0, Values{3.0}));
  ASSERT_TRUE(ledger.cf_insert(1, 0, Values{5.0, 6.0}));
  EXPECT_EQ(flows_of(ledger, 0), (std::map<std::uint64_t, Values>{{1, Values{5.0, 6.0}}}));
  ChoiceMap choices;
  choices.insert(1, 0, ChoiceArray{1, 1});
  choices.insert(1, 0, ChoiceArray{0, 1});
  EXPECT_EQ(choices.map.at(1).at(0), (ChoiceArray{0, 1}));
}

TEST(UnknownOp, FailsWithoutRecordingAndLeavesZeros) {
  for (const auto& [op, text] : {std::pair{Op::null(), "Unknown Op ''"},
                                 std::pair{Op::parse("s"), "Unknown Op 's'"}}) {
    Ledger ledger(1);
    const auto result = ledger.one_track_event(op, 3, Values{2.0}, 0, kRecordAll);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().text(), std::string("Error in Op, caused by \n") + text);
    EXPECT_EQ(ledger.track_entry(3), Values{0.0});
    EXPECT_TRUE(ledger.cashflows().empty() && ledger.choices().map.empty());
  }
}

struct MismatchCase {
  const char* label;
  std::size_t n;
  std::function<std::expected<void, LedgerError>(Ledger&)> call;
  std::string text;
};

class LengthMismatchCase : public ::testing::TestWithParam<MismatchCase> {};

TEST_P(LengthMismatchCase, IsAnErrorAndKeepsLengths) {
  Ledger ledger(GetParam().n);
  const auto result = GetParam().call(ledger);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().text(), GetParam().text);
  for (const auto& [track, pv] : ledger.pvs()) EXPECT_EQ(pv.size(), GetParam().n);
}

const std::string kMismatch32 =
    "Error in Op, caused by \nValue arrays of lengths 3 and 2 cannot be combined";

INSTANTIATE_TEST_SUITE_P(
    Calls, LengthMismatchCase,
    ::testing::Values(
        MismatchCase{"Payment", 3,
                     [](Ledger& l) { return l.one_track_event(kAdd, 0, Values{1.0, 2.0}, 0, 0); },
                     kMismatch32},
        MismatchCase{"PaymentOnSinglePath", 1,
                     [](Ledger& l) { return l.one_track_event(kAdd, 0, Values{1.0, 2.0}, 0, 0); },
                     "Error in Op, caused by \nValue arrays of lengths 1 and 2 cannot be combined"},
        MismatchCase{"Choice", 3,
                     [](Ledger& l) {
                       return l.one_track_event(kMax, 0, Values{1.0, 2.0}, 0, kRecordAll);
                     },
                     kMismatch32},
        MismatchCase{"Weight", 3,
                     [](Ledger& l) {
                       return l.one_track_weights(Values{0.5, 0.5}, 0, Values{1.0}, 0, 0);
                     },
                     kMismatch32},
        MismatchCase{"CashFlow", 3, [](Ledger& l) { return l.cf_insert(0, 6, Values{1.0, 2.0}); },
                     "Track 6 not found"},
        MismatchCase{"Scale", 3,
                     [](Ledger& l) {
                       EXPECT_TRUE(l.cf_insert(0, 0, Values{1.0}));
                       return l.cf_scale(0, Values{1.0, 2.0});
                     },
                     kMismatch32}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace ravlin
