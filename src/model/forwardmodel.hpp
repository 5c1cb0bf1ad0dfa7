// What the fixed and Monte Carlo models share: the walk through the event
// times, and the saving of each event by its unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "model/error.hpp"
#include "model/forwardstate.hpp"
#include "model/interfaces.hpp"
#include "model/settings.hpp"
#include "util/values.hpp"

namespace ravlin {

class TimeTable;

// The times of a walk through the events in row order, checked as each is
// reached: a time must be present and not before the time reached last
// (the first not before the pricing time). Rows are never sorted.
class EventClock {
 public:
  // `missing` is the cause reported for an event without a time.
  EventClock(std::int64_t start, const char* missing) : current_(start), missing_(missing) {}

  // The time of event `index`, which becomes the current time.
  std::expected<std::int64_t, ModelError> reach(const TimeTable& timetable, std::size_t index);
  std::int64_t current() const { return current_; }

 private:
  std::int64_t current_;
  const char* missing_;
};

// One event of a forward walk.
struct ForwardEvent {
  LangModel& model;
  FwdModelStateGeneric& state;
  const TimeTable& timetable;
  std::size_t index;
  std::int64_t time;

  double quantity() const;
  // The state's discount on each path times the event's quantity.
  Values weight() const { return scaled(state.discount, quantity()); }
};

// How a model values the asset units of its events.
class AssetUnits {
 public:
  virtual ~AssetUnits() = default;
  // The value of the asset `name` (unit `unit_key`) at the event, times the
  // event's weight.
  virtual std::expected<Values, ModelError> weighted_value(const ForwardEvent& event,
                                                           std::uint64_t unit_key,
                                                           const std::string& name) = 0;
};

// Saves what the event pays on every path, by the kind of its unit; a
// snapper stores its outputs instead. Errors come without the event's context.
std::expected<void, ModelError> save_event(const ForwardEvent& event, AssetUnits& assets);

}  // namespace ravlin
