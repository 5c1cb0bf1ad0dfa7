#include "qfd/hull_white.hpp"

#include <cmath>

#include "model/interfaces.hpp"
#include "util/try.hpp"

namespace ravlin {

namespace {

void ensure_size(Tridiagonal& matrix, std::size_t n) {
  if (matrix.n != n) matrix = Tridiagonal(n);
}

}  // namespace

double hull_white_shift(double forward_rate, double meanrev, double vol, double years) {
  // (1 - e^(-a y)) / a, without the cancellation of 1 - e^(-a y) for small a y.
  const double g = decay_factor(meanrev, years);
  return forward_rate + vol * vol * (g * g) / 2.0;
}

std::expected<FdState, ModelError> HullWhiteCN::create_state_cn(const TimeTable& timetable) {
  RV_ASSIGN(const std::int64_t start, last_row_time(timetable));
  return FdState::create(params_.n_x, params_.max_x, start);
}

std::optional<Values> HullWhiteCN::get_model_val_cn(const FdState&, std::string_view) const {
  return std::nullopt;
}

double HullWhiteCN::shift_at_earlier_end(const StepRate& step) const {
  if (vol_.is_constant()) return hull_white_shift(step.rate, meanrev_, vol_.first(), step.y2);
  return step.rate + vol_.convexity(meanrev_, step.y2);
}

double HullWhiteCN::shift_over(const StepRate& step) const {
  if (fit_curve_) return step.rate + vol_.mean_convexity(meanrev_, step.y2, step.y1);
  return shift_at_earlier_end(step);
}

std::expected<CnMatrices::Inputs, ModelError> HullWhiteCN::step_inputs(const FdState& state,
                                                                      std::int64_t t_new) const {
  RV_ASSIGN(const StepRate step, base_step_rate(params_, state.t, t_new));
  return CnMatrices::Inputs{year_fraction(state.t, t_new), shift_over(step), state.dx,
                            vol_.mean_variance(step.y2, step.y1)};
}

// The short rate at the grid's time, the pricing time: the curve's rate over
// the last step and the convexity there (none at the pricing time), with or
// without the curve fit.
std::expected<Values, ModelError> HullWhiteCN::node_coordinates(
    const FdState& state, std::int64_t last_step_from) const {
  RV_ASSIGN(const StepRate step, base_step_rate(params_, last_step_from, state.t));
  const double shift = shift_at_earlier_end(step);
  Values rates = Values::for_overwrite(state.n);
  for (std::size_t i = 0; i < state.n; ++i) rates[i] = state.x[i] + shift;
  return rates;
}

// The drift and the short rate differ from node to node: every row is
// written, whatever `inner_once` says.
bool HullWhiteCN::form_rows(const FdState& state, const CnMatrices::Inputs& inputs,
                            Tridiagonal& s, Tridiagonal& r, bool) const {
  const double dt = inputs[0], shift = inputs[1], dx = inputs[2], variance = inputs[3];
  const double drift = (dt * 0.25) * meanrev_;
  const double half_dt = dt * 0.5;
  // The step's mean variance rate: vol^2 under one volatility.
  const double v = variance * (dt * 0.25) / (dx * dx);
  const double centre = 2.0 * v - 1.0;

  const std::size_t n = state.n;
  ensure_size(r, n);
  ensure_size(s, n);
  const double* __restrict x = state.x.data();
  double* __restrict r_lower = r.lower.data();
  double* __restrict r_diag = r.diag.data();
  double* __restrict r_upper = r.upper.data();
  double* __restrict s_lower = s.lower.data();
  double* __restrict s_diag = s.diag.data();
  double* __restrict s_upper = s.upper.data();
  for (std::size_t i = 0; i < n; ++i) {
    const double d = x[i] * drift / dx;
    const double rate = x[i] + shift;
    const double lower = d - v, diag = rate * half_dt + centre, upper = -v - d;
    r_lower[i] = lower;
    r_diag[i] = diag;
    r_upper[i] = upper;
    s_lower[i] = -lower;
    s_diag[i] = -2.0 - diag;
    s_upper[i] = -upper;
  }
  // On the edges the second derivative is dropped and the first is one-sided,
  // toward the inside of the grid.
  const double d_top = x[0] * drift / dx;
  const double d_bottom = x[n - 1] * drift / dx;
  r_diag[0] = d_top * 2.0 - 1.0 + half_dt * (x[0] + shift);
  r_upper[0] = d_top * -2.0;
  r_lower[n - 1] = d_bottom * 2.0;
  r_diag[n - 1] = -1.0 - d_bottom * 2.0 + half_dt * (x[n - 1] + shift);
  s_diag[0] = -2.0 - r_diag[0];
  s_upper[0] = -r_upper[0];
  s_lower[n - 1] = -r_lower[n - 1];
  s_diag[n - 1] = -2.0 - r_diag[n - 1];
  return false;
}

std::expected<void, ModelError> HullWhiteCN::cn_coefficients(const FdState& state,
                                                             std::int64_t t_new, Tridiagonal& s,
                                                             Tridiagonal& r) const {
  RV_ASSIGN(const CnMatrices::Inputs inputs, step_inputs(state, t_new));
  form_rows(state, inputs, s, r, false);
  return {};
}

// The rows follow from the step's length, the shift at its earlier end and
// the grid: steps of one length under a constant shift reuse them.
std::expected<bool, ModelError> HullWhiteCN::refresh_cn(const FdState& state, std::int64_t t_new,
                                                        CnMatrices& m) const {
  return refresh_from_inputs(*this, state, t_new, m);
}

}  // namespace ravlin
