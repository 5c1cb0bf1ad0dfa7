#include "model/forwardstate.hpp"

#include <string>
#include <utility>

#include "timetable/timetable.hpp"
#include "util/overloaded.hpp"
#include "util/try.hpp"

namespace ravlin {

namespace {

using Step = std::expected<void, ModelError>;

// The timetable's navigation errors are plain texts.
ModelError navigation_error(std::string text) { return OpError::message(std::move(text)); }

std::expected<std::uint64_t, ModelError> event_track(const TimeTable& timetable,
                                                     std::size_t event) {
  auto track = timetable.track_key_at(event);
  if (!track) return std::unexpected(navigation_error(std::move(track).error()));
  return *track;
}

// Applies the state saved for one event to its track in the ledger.
class BackwardStep {
 public:
  BackwardStep(Ledger& ledger, const TimeTable& timetable, std::size_t event, std::uint32_t flags,
               ChoiceDecider* decider)
      : ledger_(ledger), timetable_(timetable), event_(event), flags_(flags),
        decider_(decider) {}

  Step operator()(EvState::Empty&) const { return {}; }

  Step operator()(EvState::Pay& pay) const {
    RV_ASSIGN(const std::uint64_t track, event_track(timetable_, event_));
    return apply(track, std::move(pay.amount));
  }

  // The event pays what the referenced track pays at later events.
  Step operator()(EvState::TrackRef& ref) const {
    RV_ASSIGN(const std::uint64_t track, event_track(timetable_, event_));
    RV_ASSIGN(const Values* referenced, ledger_.pv_vec(ref.track));
    return apply(track, Values(*referenced));
  }

  // The op named the condition in the forward pass; it plays no part here.
  Step operator()(EvState::CondPay& pay) const {
    RV_ASSIGN(const std::uint64_t track, event_track(timetable_, event_));
    RV_TRY(ledger_.one_track_weights(pay.weight, track, std::move(pay.amount), event_, flags_));
    return {};
  }

 private:
  // A payment or a choice of `value`; with a decider, a choice is decided
  // on the estimated continuation instead of the path's own.
  Step apply(std::uint64_t track, Values value) const {
    const Op& op = timetable_.op_at(event_);
    if (decider_ == nullptr || !op.is_choice()) {
      RV_TRY(ledger_.one_track_event(op, track, std::move(value), event_, flags_));
      return {};
    }
    RV_ASSIGN(const auto taken, decider_->decide(op, event_, ledger_.track_entry(track), value));
    RV_TRY(ledger_.one_track_choice(op, track, std::move(value), taken, event_, flags_));
    return {};
  }

  Ledger& ledger_;
  const TimeTable& timetable_;
  std::size_t event_;
  std::uint32_t flags_;
  ChoiceDecider* decider_;
};

// A one-element payment: what BackwardStep does for it, without building
// the step and an array for the amount.
Step apply_one_element_pay(Ledger& ledger, const TimeTable& timetable, std::size_t event,
                           double amount, std::uint32_t flags) {
  const auto track = timetable.track_key_at(event);
  if (!track) return std::unexpected(navigation_error(std::move(track).error()));
  RV_TRY(ledger.one_element_event(timetable.op_at(event), *track, amount, event, flags));
  return {};
}

}  // namespace

FwdModelStateGeneric create_fwd_state(const TimeTable& timetable, std::size_t n) {
  return FwdModelStateGeneric{get_dependency_graph(timetable), {}, Ledger(n), Values::scalar(1.0)};
}

std::expected<void, ModelError> evolve_pvs_backward(FwdModelStateGeneric& state,
                                                    const TimeTable& timetable,
                                                    std::uint32_t flags, CancelHook cancel,
                                                    ChoiceDecider* decider) {
  const std::size_t events = timetable.size();
  // States are paired with events from the end of the list: a graph of
  // another length would apply them to the wrong events.
  if (state.graph.size() < events) return std::unexpected(ModelError::message("Empty Event Graph"));
  if (state.graph.size() > events) {
    return std::unexpected(ModelError::message(
        "Event Graph holds " + std::to_string(state.graph.size()) + " states for " +
        std::to_string(events) + " events"));
  }
  CancelCheck check(cancel);
  for (std::size_t event = events; event-- > 0;) {
    if (check.stop_after(event_work(state.paths()))) return std::unexpected(ModelError::cancelled());
    if (state.graph.size() == 0) return std::unexpected(ModelError::message("Empty Event Graph"));
    if (decider == nullptr) {
      if (const auto amount = state.graph.take_last_one_element_pay()) {
        RV_TRY(apply_one_element_pay(state.ledger, timetable, event, *amount, flags));
        continue;
      }
    }
    RV_TRY(state.graph.take_last(BackwardStep(state.ledger, timetable, event, flags, decider)));
  }
  return {};
}

}  // namespace ravlin
