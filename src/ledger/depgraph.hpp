// The hand-over between the forward and backward passes: one saved state per event.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
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
  using Kind = std::variant<Empty, Pay, TrackRef, CondPay>;
  Kind kind;
};

// The states are kept as one byte of kind and eight bytes of content per
// event: a one-element payment (the fixed model's every payment) and a track
// key are held in place, anything larger sits in a side list that the
// content indexes. So a graph of millions of one-path events costs nine
// bytes each and no allocation per event.
class EvGraph {
 public:
  // What the state of an event is, without its content.
  enum class Saved : std::uint8_t { Empty, Pay, TrackRef, CondPay };

  explicit EvGraph(std::size_t count) {
    kinds_.reserve(count);
    contents_.reserve(count);
  }

  void push_empty() { push_empty(1); }
  void push_empty(std::size_t count);
  void save_pay(std::size_t index, Values amount) {
    // The common case in place: one element over a state with nothing aside.
    if (amount.size() == 1 && index < kinds_.size() && !has_side_entry(kinds_[index])) {
      kinds_[index] = Slot::PayInPlace;
      contents_[index] = std::bit_cast<std::uint64_t>(amount[0]);
      return;
    }
    save_pay_aside(index, std::move(amount));
  }
  void save_t(std::size_t index, std::uint64_t track);
  void save_cond_pay(std::size_t index, Values amount, Values weight);
  // The last state, removed; nothing when the list is empty.
  std::optional<EvState> pop_event();
  // Removes the last state (the list must not be empty) and hands it to
  // `step` as the EvState alternative it is, with no variant built around it.
  template <typename Step>
  auto take_last(Step&& step);

  // The amount of the last state when it is a one-element payment, which is
  // removed; otherwise nothing, and the state stays.
  std::optional<double> take_last_one_element_pay() {
    if (kinds_.empty() || kinds_.back() != Slot::PayInPlace) return std::nullopt;
    const double amount = std::bit_cast<double>(contents_.back());
    kinds_.pop_back();
    contents_.pop_back();
    return amount;
  }

  std::size_t size() const { return kinds_.size(); }
  Saved saved_at(std::size_t index) const;
  // A copy of the state of event `index`, for inspection; the reference
  // holds until the next call of `at` or the next change of the graph.
  const EvState& at(std::size_t index) const;

 private:
  // Where a state's content is: in place (one-element payment, track key)
  // or in a side list.
  enum class Slot : std::uint8_t { Empty, PayInPlace, PayArray, TrackRef, CondPay };

  static bool has_side_entry(Slot slot) {
    return slot == Slot::PayArray || slot == Slot::CondPay;
  }
  void save_pay_aside(std::size_t index, Values amount);
  void check_index(std::size_t index) const;
  // Writes the slot of `index` (checked by the caller), releasing what a side
  // list held for the state it replaces.
  void put(std::size_t index, Slot slot, std::uint64_t content);
  template <typename T>
  std::uint64_t append(std::vector<T>& list, T item) {
    list.push_back(std::move(item));
    return list.size() - 1;
  }

  std::vector<Slot> kinds_;
  std::vector<std::uint64_t> contents_;
  std::vector<Values> arrays_;
  std::vector<EvState::CondPay> conditions_;
  mutable EvState inspected_;
};

template <typename Step>
auto EvGraph::take_last(Step&& step) {
  const Slot slot = kinds_.back();
  const std::uint64_t content = contents_.back();
  kinds_.pop_back();
  contents_.pop_back();
  switch (slot) {
    case Slot::PayInPlace: {
      EvState::Pay pay{Values::scalar(std::bit_cast<double>(content))};
      return step(pay);
    }
    case Slot::PayArray: {
      EvState::Pay pay{std::move(arrays_[content])};
      return step(pay);
    }
    case Slot::TrackRef: {
      EvState::TrackRef ref{content};
      return step(ref);
    }
    case Slot::CondPay: {
      EvState::CondPay pay = std::move(conditions_[content]);
      return step(pay);
    }
    case Slot::Empty:
      break;
  }
  EvState::Empty empty;
  return step(empty);
}

// One Empty state per event of the timetable.
EvGraph get_dependency_graph(const TimeTable& timetable);

}  // namespace ravlin
