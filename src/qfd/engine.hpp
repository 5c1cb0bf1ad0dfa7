// The finite-difference engine: backward induction on a one-factor grid with
// Crank-Nicolson steps, generic over the grid model's coefficients.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "ledger/ledger.hpp"
#include "model/error.hpp"
#include "qfd/crank.hpp"
#include "qfd/state.hpp"
#include "util/try.hpp"
#include "util/cancel.hpp"
#include "util/values.hpp"

namespace ravlin {

class TimeTable;

// The Crank-Nicolson coefficients of a one-factor grid model.
class FDCN {
 public:
  virtual ~FDCN() = default;
  virtual const FD1FParams& params() const = 0;
  // The grid state at the time of the timetable's last row.
  virtual std::expected<FdState, ModelError> create_state_cn(const TimeTable& timetable) = 0;
  // The model's own value of a named asset on each node, if it has one.
  virtual std::optional<Values> get_model_val_cn(const FdState& state,
                                                 std::string_view name) const = 0;
  // Fills (s, r) for the step from the state's time back to t_new: r
  // multiplies the later values, s's system gives the earlier ones.
  virtual std::expected<void, ModelError> cn_coefficients(const FdState& state,
                                                          std::int64_t t_new, Tridiagonal& s,
                                                          Tridiagonal& r) const = 0;
  // Brings `m` to the step from the state's time back to t_new, forming its
  // rows again only where they differ from those it holds for this state;
  // true when they were formed again.
  virtual std::expected<bool, ModelError> refresh_cn(const FdState& state, std::int64_t t_new,
                                                     CnMatrices& m) const;
  // Each node's coordinate in the model's own unit, once the grid has come
  // back to the pricing time by a last step from `last_step_from`: by
  // default the grid variable itself.
  virtual std::expected<Values, ModelError> node_coordinates(const FdState& state,
                                                             std::int64_t last_step_from) const;
  // Times at which the model changes every present value between two steps
  // (ascending, milliseconds): the ex-dates of dividends. The grid stops at
  // each one that lies after the pricing time and not after the last row,
  // applies the rows at that time, then `apply_jump`.
  virtual std::span<const std::int64_t> jump_times() const { return {}; }
  // The change at jump_times()[k], made to every present value of the state.
  virtual std::expected<void, ModelError> apply_jump(FdState& state, std::size_t k) const;
  // Ours: how many points across each node's cell a phrase is valued at and
  // averaged over; 0 (the default) refuses phrases on the grid.
  virtual std::size_t phrase_points() const { return 0; }
  // The model's own asset `name` at `points` points across each node's cell
  // (node by node, `points` values each), if the model has the asset.
  virtual std::optional<Values> cell_values(const FdState& state, std::string_view name,
                                            std::size_t points) const;
};

// refresh_cn for a model whose rows follow from a few numbers of the step:
// `step_inputs` (state, t_new) gives them, `form_rows` (state, inputs, s, r,
// inner_once) writes the rows; with inner_once, a model whose rows are the
// same on every node but the edges may write row 1 alone for all of them,
// and says whether it did.
template <typename Model>
std::expected<bool, ModelError> refresh_from_inputs(const Model& model, const FdState& state,
                                                    std::int64_t t_new, CnMatrices& m) {
  RV_ASSIGN(const CnMatrices::Inputs inputs, model.step_inputs(state, t_new));
  if (m.s.n == state.n && m.r.n == state.n && m.formed_from(inputs)) return false;
  m.formed = false;
  m.uniform = model.form_rows(state, inputs, m.s, m.r, true);
  m.inputs = inputs;
  m.formed = true;
  return true;
}

// `cancel` can stop the calculation between steps and events; `nodes`, when
// given, receives the node coordinates at the end (`FDCN::node_coordinates`).
std::expected<Ledger, ModelError> calculate_fd(FDCN& model, const TimeTable& timetable,
                                               CancelHook cancel = {}, Values* nodes = nullptr);
// Track 0's value at the middle node.
std::expected<double, ModelError> price_fd(const FDCN& model, const Ledger& ledger);

}  // namespace ravlin
