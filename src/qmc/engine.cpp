#include "qmc/engine.hpp"

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "ledger/depgraph.hpp"
#include "timetable/timetable.hpp"
#include "util/try.hpp"

namespace ravlin {

namespace {

// Asset units valued on the model's paths, else by the dataset.
class PathAssets final : public AssetUnits {
 public:
  explicit PathAssets(MCModel& model) : model_(model) {}

  std::expected<Values, ModelError> weighted_value(const ForwardEvent& event, std::uint64_t,
                                                   const std::string& name) override {
    return model_.weighted_asset_value(event.state, event.quantity(), name, event.time);
  }

 private:
  MCModel& model_;
};

// A regressor on every path at the event, valued as a name of the contract is.
std::expected<Values, ModelError> regressor_value(const ForwardEvent& event,
                                                  const std::string& name) {
  RV_ASSIGN(Values value, name_value(event.model, event.state, event.timetable, name, event.time));
  RV_TRY(check_fits_paths(value, event.state.paths()));
  return value;
}

// The values a choice event's decision is fitted on, read at the event.
std::expected<void, ModelError> save_choice_inputs(const ForwardEvent& event,
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
bool decided_by_regression(const ForwardEvent& event) {
  if (!event.timetable.op_at(event.index).is_choice()) return false;
  const EvGraph::Saved saved = event.state.graph.saved_at(event.index);
  return saved == EvGraph::Saved::Pay || saved == EvGraph::Saved::TrackRef;
}

// Saves the event, and what its decision needs when choices are regressed.
std::expected<void, ModelError> forward_event(const ForwardEvent& event, AssetUnits& assets,
                                              ExerciseRegression* exercise) {
  RV_TRY(save_event(event, assets));
  if (exercise != nullptr && decided_by_regression(event)) {
    RV_TRY(save_choice_inputs(event, *exercise));
  }
  return {};
}

}  // namespace

std::expected<Values, ModelError> MCModel::asset_value(FwdModelStateGeneric& state,
                                                       const Values& weight,
                                                       std::string_view name,
                                                       std::int64_t time) {
  RV_ASSIGN(std::optional<Values> own, get_model_val_mc(state, name));
  if (!own) return params().dataset_value(weight, name, time);
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
  if (!own) return params().dataset_value(scaled(state.discount, quantity), name, time);
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
  EventClock clock(model.params().pricing_ts, "missing time");
  PathAssets assets(model);
  for (std::size_t i = 0; i < timetable.size(); ++i) {
    if (check.stop_after(event_work(state.discount.size()))) {
      return std::unexpected(ModelError::cancelled());
    }
    const std::int64_t before = clock.current();
    RV_ASSIGN(const std::int64_t time, clock.reach(timetable, i));
    // Events at one time share one step of the simulation.
    if (time > before) RV_TRY(model.advance(state, time));
    if (auto saved = forward_event(ForwardEvent{model, state, timetable, i, time}, assets,
                                   regression);
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
