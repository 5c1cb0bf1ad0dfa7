#include "ledger/depgraph.hpp"

#include "timetable/timetable.hpp"

namespace ravlin {

// Saving beyond the events of the graph is a caller's fault: `at` reports it
// as an exception instead of writing out of bounds.

void EvGraph::save_pay(std::size_t index, Values amount) {
  states_.at(index) = EvState{EvState::Pay{std::move(amount)}};
}

void EvGraph::save_t(std::size_t index, std::uint64_t track) {
  states_.at(index) = EvState{EvState::TrackRef{track}};
}

void EvGraph::save_cond_pay(std::size_t index, Values amount, Values weight) {
  states_.at(index) = EvState{EvState::CondPay{std::move(amount), std::move(weight)}};
}

void EvGraph::save_batch_pay(std::size_t index, BatchPayments payments) {
  states_.at(index) = EvState{EvState::BatchPay{std::move(payments)}};
}

std::optional<EvState> EvGraph::pop_event() {
  if (states_.empty()) return std::nullopt;
  std::optional<EvState> last(std::move(states_.back()));
  states_.pop_back();
  return last;
}

EvGraph get_dependency_graph(const TimeTable& timetable) {
  const std::size_t events = timetable.size();
  EvGraph graph(events);
  for (std::size_t i = 0; i < events; ++i) graph.push_empty();
  return graph;
}

}  // namespace ravlin
