#include <gtest/gtest.h>

#include <variant>

#include "ledger/depgraph.hpp"
#include "support/timetable_builder.hpp"

namespace ravlin {
namespace {

using testing::Row;

TEST(EvGraph, OneEmptyStatePerEvent) {
  const std::vector<Row> rows(4, Row{0, 0, 0, 1.0, 0});
  const EvGraph graph = get_dependency_graph(testing::make_timetable(rows, {"A"}, {"+"}, {"USD"}));
  ASSERT_EQ(graph.size(), 4u);
  for (std::size_t i = 0; i < graph.size(); ++i) {
    EXPECT_TRUE(std::holds_alternative<EvState::Empty>(graph.at(i).kind));
  }
  EXPECT_EQ(get_dependency_graph(testing::make_timetable({}, {"A"}, {"+"}, {"USD"})).size(), 0u);
}

TEST(EvGraph, SavesReplaceAndPopsRunLastFirst) {
  EvGraph graph(3);
  for (int i = 0; i < 3; ++i) graph.push_empty();
  graph.save_pay(0, Values{1.0});
  graph.save_t(0, 7);
  graph.save_cond_pay(2, Values{2.0}, Values{0.5});

  auto last = graph.pop_event();
  ASSERT_TRUE(last);
  const auto* cond = std::get_if<EvState::CondPay>(&last->kind);
  ASSERT_NE(cond, nullptr);
  EXPECT_EQ(cond->amount, Values{2.0});
  EXPECT_EQ(cond->weight, Values{0.5});
  EXPECT_TRUE(std::holds_alternative<EvState::Empty>(graph.pop_event()->kind));
  const auto first = graph.pop_event();
  ASSERT_TRUE(first && std::holds_alternative<EvState::TrackRef>(first->kind));
  EXPECT_EQ(std::get<EvState::TrackRef>(first->kind).track, 7u);
  EXPECT_FALSE(graph.pop_event());
}

TEST(EvGraph, SavingPastTheEventsIsRefused) {
  EvGraph graph(1);
  graph.push_empty();
  EXPECT_THROW(graph.save_pay(1, Values{1.0}), std::out_of_range);
}

}  // namespace
}  // namespace ravlin
