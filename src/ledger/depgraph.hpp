// The hand-over between the forward and backward passes: one saved state per event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "ledger/ledger.hpp"
#include "util/values.hpp"

namespace ravlin {

class TimeTable;

struct EvState {
  struct Empty {};
  struct Pay {
    Values amount;
  };
  struct TrackRef {
    std::uint64_t track;
  };
  struct CondPay {
    Values amount;
    Values weight;
  };
  struct BatchPay {
    BatchPayments payments;
  };
  using Kind = std::variant<Empty, Pay, TrackRef, CondPay, BatchPay>;
  Kind kind;
};

class EvGraph {
 public:
  explicit EvGraph(std::size_t count) { states_.reserve(count); }

  void push_empty() { states_.push_back(EvState{EvState::Empty{}}); }
  void save_pay(std::size_t index, Values amount);
  void save_t(std::size_t index, std::uint64_t track);
  void save_cond_pay(std::size_t index, Values amount, Values weight);
  void save_batch_pay(std::size_t index, BatchPayments payments);
  // The last state, removed; nothing when the list is empty.
  std::optional<EvState> pop_event();

  std::size_t size() const { return states_.size(); }
  const EvState& at(std::size_t index) const { return states_[index]; }

 private:
  std::vector<EvState> states_;
};

// One Empty state per event of the timetable.
EvGraph get_dependency_graph(const TimeTable& timetable);

}  // namespace ravlin
