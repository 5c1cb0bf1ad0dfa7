// The Monte Carlo engine: forward simulation over every path at once, then
// the backward pass, generic over the model that supplies the paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>

#include "asset/assets.hpp"
#include "qmc/exercise.hpp"
#include "ledger/ledger.hpp"
#include "model/error.hpp"
#include "model/forwardmodel.hpp"
#include "model/forwardstate.hpp"
#include "model/interfaces.hpp"
#include "util/cancel.hpp"

namespace ravlin {

class TimeTable;

struct MCParams : ModelSettings {
  std::size_t paths = 0;
  std::uint64_t seed = 0;  // required by the settings, not used by the engine
  ExerciseSettings exercise;  // our own keys; pathwise unless asked otherwise
};

class MCModel : public LangModel {
 public:
  virtual const MCParams& params() const = 0;
  // A forward state sized for the model's paths.
  virtual std::expected<FwdModelStateGeneric, ModelError> create_state_mc(
      const TimeTable& timetable) = 0;
  // The model's own per-path value of a name, if it has one.
  virtual std::expected<std::optional<Values>, ModelError> get_model_val_mc(
      FwdModelStateGeneric& state, std::string_view name) = 0;
  // The model's own per-path value of a name times the state's discount and
  // `quantity`, if it has one. A model that can read its values where they
  // lie forms the product from them in one pass instead of copying them first.
  virtual std::expected<std::optional<Values>, ModelError> weighted_model_val_mc(
      FwdModelStateGeneric& state, std::string_view name, double quantity);
  // Moves the simulation to the later time t (milliseconds), updating discount.
  virtual std::expected<void, ModelError> advance(FwdModelStateGeneric& state,
                                                  std::int64_t t) = 0;

  // The model's value times the weight, else the dataset's value times it.
  std::expected<Values, ModelError> asset_value(FwdModelStateGeneric& state,
                                                const Values& weight, std::string_view name,
                                                std::int64_t time) final;
  // asset_value with the weight discount × quantity, which is built only when
  // the model has no array of its own: the model's array is scaled in place.
  std::expected<Values, ModelError> weighted_asset_value(FwdModelStateGeneric& state,
                                                         double quantity, std::string_view name,
                                                         std::int64_t time);
};

// `cancel` can stop the calculation between events.
std::expected<Ledger, ModelError> mc_calculate(MCModel& model, const TimeTable& timetable,
                                               CancelHook cancel = {});
// Mean over the paths of track 0's present values, from path `first_path` on.
std::expected<double, ModelError> mc_price(const Ledger& ledger, std::size_t first_path = 0);

}  // namespace ravlin
