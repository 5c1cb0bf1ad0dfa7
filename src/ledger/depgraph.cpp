#include "ledger/depgraph.hpp"

#include <stdexcept>
#include <string>

#include "timetable/timetable.hpp"

namespace ravlin {

void EvGraph::push_empty(std::size_t count) {
  kinds_.resize(kinds_.size() + count, Slot::Empty);
  contents_.resize(kinds_.size(), 0);
}

// Saving beyond the events of the graph is a caller's fault: it is reported
// as an exception, before anything is kept, instead of writing out of bounds.
void EvGraph::check_index(std::size_t index) const {
  if (index >= kinds_.size()) throw std::out_of_range("EvGraph: no event " + std::to_string(index));
}

void EvGraph::put(std::size_t index, Slot slot, std::uint64_t content) {
  const std::uint64_t old = contents_[index];
  switch (kinds_[index]) {
    case Slot::PayArray:
      arrays_[old] = Values();
      break;
    case Slot::CondPay:
      conditions_[old] = EvState::CondPay{};
      break;
    default:
      break;
  }
  kinds_[index] = slot;
  contents_[index] = content;
}

void EvGraph::save_pay_aside(std::size_t index, Values amount) {
  check_index(index);
  if (amount.size() == 1) {
    put(index, Slot::PayInPlace, std::bit_cast<std::uint64_t>(amount[0]));
    return;
  }
  put(index, Slot::PayArray, append(arrays_, std::move(amount)));
}

void EvGraph::save_t(std::size_t index, std::uint64_t track) {
  check_index(index);
  put(index, Slot::TrackRef, track);
}

void EvGraph::save_cond_pay(std::size_t index, Values amount, Values weight) {
  check_index(index);
  put(index, Slot::CondPay,
      append(conditions_, EvState::CondPay{std::move(amount), std::move(weight)}));
}

std::optional<EvState> EvGraph::pop_event() {
  if (kinds_.empty()) return std::nullopt;
  return take_last([](auto& state) { return std::optional<EvState>(EvState{std::move(state)}); });
}

EvGraph::Saved EvGraph::saved_at(std::size_t index) const {
  switch (kinds_[index]) {
    case Slot::PayInPlace:
    case Slot::PayArray:
      return Saved::Pay;
    case Slot::TrackRef:
      return Saved::TrackRef;
    case Slot::CondPay:
      return Saved::CondPay;
    case Slot::Empty:
      break;
  }
  return Saved::Empty;
}

const EvState& EvGraph::at(std::size_t index) const {
  const std::uint64_t content = contents_[index];
  switch (kinds_[index]) {
    case Slot::PayInPlace:
      inspected_.kind = EvState::Pay{Values::scalar(std::bit_cast<double>(content))};
      break;
    case Slot::PayArray:
      inspected_.kind = EvState::Pay{arrays_[content]};
      break;
    case Slot::TrackRef:
      inspected_.kind = EvState::TrackRef{content};
      break;
    case Slot::CondPay:
      inspected_.kind = conditions_[content];
      break;
    case Slot::Empty:
      inspected_.kind = EvState::Empty{};
      break;
  }
  return inspected_;
}

EvGraph get_dependency_graph(const TimeTable& timetable) {
  const std::size_t events = timetable.size();
  EvGraph graph(events);
  graph.push_empty(events);
  return graph;
}

}  // namespace ravlin
