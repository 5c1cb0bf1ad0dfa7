#include "qmc/engine.hpp"

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "ledger/depgraph.hpp"
#include "timetable/timetable.hpp"
#include "util/overloaded.hpp"
#include "util/try.hpp"

namespace ravlin {

namespace {

// One event of the forward simulation.
struct MCEvent {
  MCModel& model;
  FwdModelStateGeneric& state;
  const TimeTable& timetable;
  std::size_t index;
  std::int64_t time;

  // The state's discount on each path times the event's quantity.
  Values weight() const { return scaled(state.discount, timetable.quantity_at(index)); }
};

// Saves what the event pays on every path, by the kind of its unit.
std::expected<void, ModelError> save_event(const MCEvent& event) {
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
            RV_ASSIGN(Values value,
                      event.model.weighted_asset_value(event.state, timetable.quantity_at(event.index),
                                                       unit.name, event.time));
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

// A regressor on every path at the event, valued as a name of the contract is.
std::expected<Values, ModelError> regressor_value(const MCEvent& event, const std::string& name) {
  RV_ASSIGN(Values value, name_value(event.model, event.state, event.timetable, name, event.time));
  RV_TRY(check_fits_paths(value, event.state.paths()));
  return value;
}

// The values a choice event's decision is fitted on, read at the event.
std::expected<void, ModelError> save_choice_inputs(const MCEvent& event,
                                                   ExerciseRegression& exercise) {
  std::vector<Values> regressors;
  for (const std::string& name : exercise.settings().regressors) {
    auto value = regressor_value(event, name);
    if (!value) {
      return std::unexpected(ModelError::message("Invalid value '" + name +
                                                 "' for key 'REGRESSORS', caused by \n" +
                                                 value.error().text()));
    }
    regressors.push_back(std::move(*value));
  }
  exercise.save(event.index, event.state.discount, std::move(regressors));
  return {};
}

// Choices that pay a value (not those of snapper units) are decided by regression.
bool decided_by_regression(const MCEvent& event) {
  if (!event.timetable.op_at(event.index).is_choice()) return false;
  const EvGraph::Saved saved = event.state.graph.saved_at(event.index);
  return saved == EvGraph::Saved::Pay || saved == EvGraph::Saved::TrackRef;
}

// Saves the event, and what its decision needs when choices are regressed.
std::expected<void, ModelError> forward_event(const MCEvent& event,
                                              ExerciseRegression* exercise) {
  RV_TRY(save_event(event));
  if (exercise != nullptr && decided_by_regression(event)) {
    RV_TRY(save_choice_inputs(event, *exercise));
  }
  return {};
}

}  // namespace

std::expected<Values, ModelError> MCModel::dataset_value(const Values& weight,
                                                         std::string_view name,
                                                         std::int64_t time) const {
  const MCParams& settings = params();
  RV_ASSIGN(const double value,
            settings.assets.asset_value(name, year_fraction(time, settings.pricing_ts)));
  return scaled(weight, value);
}

std::expected<Values, ModelError> MCModel::asset_value(FwdModelStateGeneric& state,
                                                       const Values& weight,
                                                       std::string_view name,
                                                       std::int64_t time) {
  RV_ASSIGN(std::optional<Values> own, get_model_val_mc(state, name));
  if (!own) return dataset_value(weight, name, time);
  RV_TRY(multiply_in_place(*own, weight));
  return std::move(*own);
}

std::expected<std::optional<Values>, ModelError> MCModel::weighted_model_val_mc(
    FwdModelStateGeneric& state, std::string_view name, double quantity) {
  RV_ASSIGN(std::optional<Values> own, get_model_val_mc(state, name));
  if (own) RV_TRY(multiply_scaled_in_place(*own, state.discount, quantity));
  return own;
}

std::expected<Values, ModelError> MCModel::weighted_asset_value(FwdModelStateGeneric& state,
                                                                double quantity,
                                                                std::string_view name,
                                                                std::int64_t time) {
  RV_ASSIGN(std::optional<Values> own, weighted_model_val_mc(state, name, quantity));
  if (!own) return dataset_value(scaled(state.discount, quantity), name, time);
  return std::move(*own);
}

std::expected<Ledger, ModelError> mc_calculate(MCModel& model, const TimeTable& timetable,
                                               CancelHook cancel) {
  RV_ASSIGN(FwdModelStateGeneric state, model.create_state_mc(timetable));
  CancelCheck check(cancel);
  std::optional<ExerciseRegression> exercise;
  if (model.params().exercise.by_regression()) {
    exercise.emplace(model.params().exercise, state.paths());
  }
  ExerciseRegression* regression = exercise ? &*exercise : nullptr;
  std::int64_t current = model.params().pricing_ts;
  for (std::size_t i = 0; i < timetable.size(); ++i) {
    if (check.stop_after(event_work(state.discount.size()))) {
      return std::unexpected(ModelError::cancelled());
    }
    const std::optional<std::int64_t> time = timetable.ts_opt(i);
    if (!time) return std::unexpected(ModelError::event_error(timetable, i, "missing time"));
    if (*time < current) return std::unexpected(ModelError::event_in_past(timetable, i, current));
    if (*time > current) {
      RV_TRY(model.advance(state, *time));
      current = *time;
    }
    if (auto saved = forward_event(MCEvent{model, state, timetable, i, *time}, regression);
        !saved) {
      return std::unexpected(ModelError::event_error(timetable, i, saved.error()));
    }
  }
  RV_TRY(evolve_pvs_backward(state, timetable, model.params().flags, cancel, regression));
  return std::move(state).into_ledger();
}

std::expected<double, ModelError> mc_price(const Ledger& ledger, std::size_t first_path) {
  RV_ASSIGN(const Values* pv, ledger.pv_vec(0));
  if (pv->size() <= first_path) return std::unexpected(ModelError::message("Empty PV Vector"));
  double sum = 0.0;
  for (std::size_t j = first_path; j < pv->size(); ++j) sum += (*pv)[j];
  return sum / static_cast<double>(pv->size() - first_path);
}

}  // namespace ravlin
