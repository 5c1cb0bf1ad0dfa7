#include "model/forwardmodel.hpp"

#include <optional>
#include <utility>
#include <variant>

#include "ledger/depgraph.hpp"
#include "timetable/timetable.hpp"
#include "util/overloaded.hpp"
#include "util/try.hpp"

namespace ravlin {

namespace {

// The value snapped under `name` times `weight` ("Unknown Snap '{name}'"
// when none is).
std::expected<Values, ModelError> snap_unit_value(const FwdModelStateGeneric& state,
                                                  const std::string& name, const Values& weight) {
  const auto snap = state.snaps.find(name);
  if (snap == state.snaps.end()) {
    return std::unexpected(ModelError::message("Unknown Snap '" + name + "'"));
  }
  RV_ASSIGN(Values value, multiply(snap->second, weight));
  return value;
}

// The timetable's phrase `name` times `weight` ("Phrase not found#{name}"
// when there is none).
std::expected<Values, ModelError> phrase_unit_value(LangModel& model, FwdModelStateGeneric& state,
                                                    const TimeTable& timetable,
                                                    std::string_view name, const Values& weight,
                                                    std::int64_t time) {
  const EvalPhrase* phrase = timetable.get_phrase(name);
  if (phrase == nullptr) {
    return std::unexpected(ModelError::event_specs("Phrase not found#" + std::string(name)));
  }
  RV_ASSIGN(Values value, phrase_value_1(model, state, timetable, *phrase, time));
  RV_TRY(multiply_in_place(value, weight));
  return value;
}

}  // namespace

std::expected<std::int64_t, ModelError> EventClock::reach(const TimeTable& timetable,
                                                          std::size_t index) {
  const std::optional<std::int64_t> time = timetable.ts_opt(index);
  if (!time) return std::unexpected(ModelError::event_error(timetable, index, missing_));
  if (*time < current_) {
    return std::unexpected(ModelError::event_in_past(timetable, index, current_));
  }
  current_ = *time;
  return *time;
}

double ForwardEvent::quantity() const { return timetable.quantity_at(index); }

std::expected<void, ModelError> save_event(const ForwardEvent& event, AssetUnits& assets) {
  const TimeTable& timetable = event.timetable;
  RV_ASSIGN(const std::uint64_t unit_key, event_unit_key(timetable, event.index));
  const auto save = [&](Values value) {
    return gr_save(event.model, event.state, timetable, event.index, std::move(value),
                   timetable.op_at(event.index), event.time);
  };
  return std::visit(
      overloaded{
          [&](const Unit::Track& unit) -> std::expected<void, ModelError> {
            event.state.graph.save_t(event.index, unit.key);
            return {};
          },
          [&](const Unit::Asset& unit) -> std::expected<void, ModelError> {
            RV_ASSIGN(Values value, assets.weighted_value(event, unit_key, unit.name));
            return save(std::move(value));
          },
          [&](const Unit::Snapper& unit) -> std::expected<void, ModelError> {
            return eval_snapper(event.model, event.state, timetable, unit.name, event.time);
          },
          [&](const Unit::Snap& unit) -> std::expected<void, ModelError> {
            RV_ASSIGN(Values value, snap_unit_value(event.state, unit.name, event.weight()));
            return save(std::move(value));
          },
          [&](const Unit::Phrase& unit) -> std::expected<void, ModelError> {
            RV_ASSIGN(Values value, phrase_unit_value(event.model, event.state, timetable,
                                                      unit.name, event.weight(), event.time));
            return save(std::move(value));
          },
          [&](const Unit::Null&) -> std::expected<void, ModelError> {
            return std::unexpected(ModelError::message("Unknown Unit"));
          },
      },
      timetable.unit_by_key(unit_key).kind);
}

}  // namespace ravlin
