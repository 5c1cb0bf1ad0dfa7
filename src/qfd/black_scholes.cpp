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

// Rows `first` to `last` (inclusive) of the matrix.
void fill_rows(Tridiagonal& matrix, std::size_t first, std::size_t last, double lower, double diag,
               double upper) {
  std::fill(matrix.lower.begin() + first, matrix.lower.begin() + last + 1, lower);
  std::fill(matrix.diag.begin() + first, matrix.diag.begin() + last + 1, diag);
  std::fill(matrix.upper.begin() + first, matrix.upper.begin() + last + 1, upper);
}

// Row i of S from row i of R: S = -2I - R.
void left_row_from_right(const Tridiagonal& r, Tridiagonal& s, std::size_t i) {
  s.lower[i] = -r.lower[i];
  s.diag[i] = -2.0 - r.diag[i];
  s.upper[i] = -r.upper[i];
}

// The two edge rows, where the second derivative is dropped and the first is
// one-sided, toward the inside of the grid; u is the drift term of each.
void edge_rows(Tridiagonal& r, Tridiagonal& s, double discount, double u_top, double u_bottom) {
  const std::size_t n = r.n;
  r.diag[0] = discount + (-1.0 - 2.0 * u_top);
  r.upper[0] = 2.0 * u_top;
  r.lower[n - 1] = -2.0 * u_bottom;
  r.diag[n - 1] = discount + (2.0 * u_bottom - 1.0);
  left_row_from_right(r, s, 0);
  left_row_from_right(r, s, n - 1);
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
  if (local_) local_->place_nodes(state.x);
  log_falls_.clear();
  for (const Dividend& dividend : dividends_) {
    RV_ASSIGN(const double forward,
              params_.assets.asset_value(asset_, year_fraction(dividend.time, params_.pricing_ts)));
    log_falls_.push_back(forward_log_fall(dividend, forward));
  }
  return state;
}

void BlackScholesCN::set_dividends(std::vector<Dividend> dividends) {
  dividends_ = std::move(dividends);
  std::stable_sort(dividends_.begin(), dividends_.end(),
                   [](const Dividend& a, const Dividend& b) { return a.time < b.time; });
  ex_dates_.clear();
  for (const Dividend& dividend : dividends_) ex_dates_.push_back(dividend.time);
}

double BlackScholesCN::dividend_log_fall(std::int64_t t, std::int64_t t_new) const {
  double fall = 0.0;
  for (std::size_t k = 0; k < dividends_.size() && k < log_falls_.size(); ++k) {
    if (t_new < ex_dates_[k] && ex_dates_[k] <= t) fall += log_falls_[k];
  }
  return fall;
}

std::expected<void, ModelError> BlackScholesCN::apply_jump(FdState& state, std::size_t k) const {
  std::vector<double> scratch;
  for (auto& [track, values] : state.ledger.pvs_by_track_mut()) {
    if (values.size() != state.n) return std::unexpected(LengthMismatch{state.n, values.size()});
    value_before_dividend(dividends_[k], state.x, state.dx, std::span<double>(values.data(), values.size()),
                          scratch);
  }
  return {};
}

std::optional<Values> BlackScholesCN::get_model_val_cn(const FdState& state,
                                                       std::string_view name) const {
  if (name != asset_) return std::nullopt;
  Values prices(state.x.size());
  std::transform(state.x.begin(), state.x.end(), prices.begin(),
                 [](double x) { return std::exp(x); });
  return prices;
}

std::optional<Values> BlackScholesCN::cell_values(const FdState& state, std::string_view name,
                                                  std::size_t points) const {
  if (name != asset_ || points == 0) return std::nullopt;
  Values prices = Values::for_overwrite(state.n * points);
  for (std::size_t i = 0; i < state.n; ++i) {
    for (std::size_t k = 0; k < points; ++k) {
      const double offset = (static_cast<double>(k) + 0.5) / static_cast<double>(points) - 0.5;
      prices[i * points + k] = std::exp(state.x[i] + offset * state.dx);
    }
  }
  return prices;
}

std::expected<Values, ModelError> BlackScholesCN::node_coordinates(const FdState& state,
                                                                   std::int64_t) const {
  return *get_model_val_cn(state, asset_);
}

std::expected<CnMatrices::Inputs, ModelError> BlackScholesCN::step_inputs(
    const FdState& state, std::int64_t t_new) const {
  RV_ASSIGN(const StepRate step, base_step_rate(params_, state.t, t_new));
  RV_ASSIGN(double drift, params_.assets.asset_rate(asset_, step.y1, step.y2));
  const double dt = year_fraction(state.t, t_new);
  if (!dividends_.empty()) drift += dividend_log_fall(state.t, t_new) / dt;
  // The variance of the step, or, under a local volatility, the time at its
  // middle, where the rows read the table.
  double variance = vol_ * vol_;
  if (pieces_) variance = pieces_->mean_variance(step.y2, step.y1);
  if (local_) variance = 0.5 * (step.y1 + step.y2);
  return CnMatrices::Inputs{dt, step.rate, drift, state.dx, variance};
}

BlackScholesCN::ForwardFit BlackScholesCN::forward_fit(double dx) const {
  if (!fit_forward_) return {false, 1.0, 1.0, 1.0, 1.0};
  // Central differences of e^x are e^x sinh(dx)/dx and e^x (2 sinh(dx/2)/dx)^2; one-sided ones at
  // the edges e^x expm1(dx)/dx and e^x -expm1(-dx)/dx. Solving each row for the coefficient that
  // makes the row exact on e^x (and on constants, as every row is) gives these factors.
  const double half = std::sinh(dx * 0.5) * 2.0 / dx;
  return {true, half * half, dx / std::sinh(dx), dx / std::expm1(dx), dx / -std::expm1(-dx)};
}

bool BlackScholesCN::form_rows(const FdState& state, const CnMatrices::Inputs& inputs,
                               Tridiagonal& s, Tridiagonal& r, bool inner_once) const {
  if (local_) {
    form_local_rows(state, inputs, s, r);
    return false;
  }
  const auto [dt, rate, drift, dx, variance] = inputs;
  const double v = variance * (dt * 0.25) / (dx * dx);
  const ForwardFit fit = forward_fit(dx);
  const double u = (dt * 0.25) * fit.inner(drift, variance) / dx;
  const double discount = (dt * 0.5) * rate;

  const std::size_t n = state.n;
  ensure_size(r, n);
  ensure_size(s, n);
  // The same rows everywhere but on the edges, where the second derivative
  // is dropped and the first is one-sided, toward the inside of the grid.
  // The inner rows are written once, as row 1, when that is enough.
  const double lower = -v - u, diag = (2.0 * v - 1.0) + discount, upper = u - v;
  const std::size_t last = inner_once ? std::min<std::size_t>(1, n - 1) : n - 1;
  fill_rows(r, 0, last, lower, diag, upper);
  fill_rows(s, 0, last, -lower, -2.0 - diag, -upper);
  edge_rows(r, s, discount, (dt * 0.25) * fit.low(drift, variance) / dx,
            (dt * 0.25) * fit.high(drift, variance) / dx);
  return inner_once;
}

void BlackScholesCN::form_local_rows(const FdState& state, const CnMatrices::Inputs& inputs,
                                     Tridiagonal& s, Tridiagonal& r) const {
  const auto [dt, rate, drift, dx, middle] = inputs;
  const LocalVolTable::Rows rows = local_->rows_at(middle);
  const double discount = (dt * 0.5) * rate;
  const std::size_t n = state.n;
  ensure_size(r, n);
  ensure_size(s, n);
  const ForwardFit fit = forward_fit(dx);
  double u_top = 0.0, u_bottom = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double variance = local_->node_variance(i, rows);
    const double v = variance * (dt * 0.25) / (dx * dx);
    const double u = (dt * 0.25) * fit.inner(drift, variance) / dx;
    r.lower[i] = -v - u;
    r.diag[i] = (2.0 * v - 1.0) + discount;
    r.upper[i] = u - v;
    left_row_from_right(r, s, i);
    if (i == 0) u_top = (dt * 0.25) * fit.low(drift, variance) / dx;
    if (i == n - 1) u_bottom = (dt * 0.25) * fit.high(drift, variance) / dx;
  }
  edge_rows(r, s, discount, u_top, u_bottom);
}

std::expected<void, ModelError> BlackScholesCN::cn_coefficients(const FdState& state,
                                                                std::int64_t t_new,
                                                                Tridiagonal& s,
                                                                Tridiagonal& r) const {
  RV_ASSIGN(const CnMatrices::Inputs inputs, step_inputs(state, t_new));
  form_rows(state, inputs, s, r, false);
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
