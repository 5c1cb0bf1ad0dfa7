#include "qfd/black_scholes.hpp"

#include <algorithm>
#include <cmath>

#include "model/interfaces.hpp"
#include "util/format.hpp"
#include "util/try.hpp"

namespace ravlin {

namespace {

void ensure_size(Tridiagonal& matrix, std::size_t n) {
  if (matrix.n != n) matrix = Tridiagonal(n);
}

void fill_rows(Tridiagonal& matrix, double lower, double diag, double upper) {
  std::fill(matrix.lower.begin(), matrix.lower.end(), lower);
  std::fill(matrix.diag.begin(), matrix.diag.end(), diag);
  std::fill(matrix.upper.begin(), matrix.upper.end(), upper);
}

// Row i of S from row i of R: S = -2I - R.
void left_row_from_right(const Tridiagonal& r, Tridiagonal& s, std::size_t i) {
  s.lower[i] = -r.lower[i];
  s.diag[i] = -2.0 - r.diag[i];
  s.upper[i] = -r.upper[i];
}

}  // namespace

std::expected<FdState, ModelError> BlackScholesCN::create_state_cn(const TimeTable& timetable) {
  RV_ASSIGN(const std::int64_t start, last_row_time(timetable));
  FdState state = FdState::create(params_.n_x, params_.max_x, start);
  RV_ASSIGN(const double spot, params_.assets.asset_value(asset_, 0.0));
  if (!(spot > 0.0)) {
    return std::unexpected(ModelError::message("Asset '" + asset_ +
                                               "' value at the pricing time must be positive, got " +
                                               format_double(spot)));
  }
  const double centre = std::log(spot);
  for (double& node : state.x) node += centre;
  return state;
}

std::optional<Values> BlackScholesCN::get_model_val_cn(const FdState& state,
                                                       std::string_view name) const {
  if (name != asset_) return std::nullopt;
  Values prices(state.x.size());
  std::transform(state.x.begin(), state.x.end(), prices.begin(),
                 [](double x) { return std::exp(x); });
  return prices;
}

std::expected<CnMatrices::Inputs, ModelError> BlackScholesCN::step_inputs(
    const FdState& state, std::int64_t t_new) const {
  RV_ASSIGN(const StepRate step, base_step_rate(params_, state.t, t_new));
  RV_ASSIGN(const double drift, params_.assets.asset_rate(asset_, step.y1, step.y2));
  return CnMatrices::Inputs{year_fraction(state.t, t_new), step.rate, drift, state.dx};
}

void BlackScholesCN::form_rows(const FdState& state, const CnMatrices::Inputs& inputs,
                               Tridiagonal& s, Tridiagonal& r) const {
  const auto [dt, rate, drift, dx] = inputs;
  const double variance = vol_ * vol_;
  const double v = variance * (dt * 0.25) / (dx * dx);
  const double u = (dt * 0.25) * (drift - variance * 0.5) / dx;
  const double discount = (dt * 0.5) * rate;

  const std::size_t n = state.n;
  ensure_size(r, n);
  ensure_size(s, n);
  // The same rows everywhere but on the edges, where the second derivative
  // is dropped and the first is one-sided, toward the inside of the grid.
  const double lower = -v - u, diag = (2.0 * v - 1.0) + discount, upper = u - v;
  fill_rows(r, lower, diag, upper);
  fill_rows(s, -lower, -2.0 - diag, -upper);
  r.diag[0] = discount + (-1.0 - 2.0 * u);
  r.upper[0] = 2.0 * u;
  r.lower[n - 1] = -2.0 * u;
  r.diag[n - 1] = discount + (2.0 * u - 1.0);
  left_row_from_right(r, s, 0);
  left_row_from_right(r, s, n - 1);
}

std::expected<void, ModelError> BlackScholesCN::cn_coefficients(const FdState& state,
                                                                std::int64_t t_new,
                                                                Tridiagonal& s,
                                                                Tridiagonal& r) const {
  RV_ASSIGN(const CnMatrices::Inputs inputs, step_inputs(state, t_new));
  form_rows(state, inputs, s, r);
  return {};
}

// The rows are constant across the grid and follow from the step's length,
// the two rates and the node spacing: regular steps under flat rates reuse them.
std::expected<bool, ModelError> BlackScholesCN::refresh_cn(const FdState& state,
                                                           std::int64_t t_new,
                                                           CnMatrices& m) const {
  return refresh_from_inputs(*this, state, t_new, m);
}

}  // namespace ravlin
