// Black-Scholes on a grid in the logarithm of one asset's price.
#pragma once

#include <string>
#include <vector>

#include <optional>

#include "qfd/dividends.hpp"
#include "qfd/engine.hpp"
#include "qfd/local_vol.hpp"
#include "qfd/short_rate_vol.hpp"

namespace ravlin {

class BlackScholesCN final : public FDCN {
 public:
  BlackScholesCN(FD1FParams params, std::string asset, double vol)
      : params_(std::move(params)), asset_(std::move(asset)), vol_(vol) {}

  const FD1FParams& params() const override { return params_; }
  std::expected<FdState, ModelError> create_state_cn(const TimeTable& timetable) override;
  std::optional<Values> get_model_val_cn(const FdState& state,
                                         std::string_view name) const override;
  std::expected<void, ModelError> cn_coefficients(const FdState& state, std::int64_t t_new,
                                                  Tridiagonal& s, Tridiagonal& r) const override;
  std::expected<bool, ModelError> refresh_cn(const FdState& state, std::int64_t t_new,
                                             CnMatrices& m) const override;
  // The asset's price on each node.
  std::expected<Values, ModelError> node_coordinates(const FdState& state,
                                                     std::int64_t last_step_from) const override;

  // Ours: a volatility in pieces of time (each step takes the mean of the
  // variance over it), or a local volatility table (each step takes the
  // table's variance on every node at the middle of the step). Either
  // replaces the constant volatility.
  void set_volatility_pieces(ShortRateVolatility pieces) { pieces_ = std::move(pieces); }
  void set_local_volatility(LocalVolTable table) { local_ = std::move(table); }

  // Ours: phrases valued on the nodes, at `points` points across each
  // node's cell (0: refused, as without the setting).
  void set_phrase_points(std::size_t points) { phrase_points_ = points; }
  std::size_t phrase_points() const override { return phrase_points_; }
  // The asset's price at points spread evenly in log price across each cell.
  std::optional<Values> cell_values(const FdState& state, std::string_view name,
                                    std::size_t points) const override;

  // Ours: the asset's dividends (sorted by ex-date). The asset's curve stays
  // its forward, dividends included: over the step into each ex-date the
  // drift carries the forward's fall back, and the jump takes it out.
  void set_dividends(std::vector<Dividend> dividends);
  std::span<const std::int64_t> jump_times() const override { return ex_dates_; }
  std::expected<void, ModelError> apply_jump(FdState& state, std::size_t k) const override;

  // Ours: rows fitted to the forward. Each row's first-derivative
  // coefficient is chosen so that the discrete step carries the asset's
  // price e^x exactly at the forward's growth, inside (central differences)
  // and on the edges (one-sided, where the second derivative is dropped).
  // Without it the step's error on e^x is about -vol^2 dx^2 / 24 per year,
  // which at high volatility takes a visible share of a call's value, and
  // the edges let a call's value decay like exp(-vol^2 t / 2).
  void set_fit_forward(bool fit) { fit_forward_ = fit; }

  // The numbers of the step that its rows follow from, and the rows.
  std::expected<CnMatrices::Inputs, ModelError> step_inputs(const FdState& state,
                                                            std::int64_t t_new) const;
  bool form_rows(const FdState& state, const CnMatrices::Inputs& inputs, Tridiagonal& s,
                 Tridiagonal& r, bool inner_once) const;

  // How the rows take the first derivative's coefficient from the drift g
  // and a node's variance: g * edge_* on the two edges and
  // (g - variance / 2 * curvature) * slope inside; 1, 1 and no edge factor
  // (the inner coefficient) without FIT_FORWARD.
  struct ForwardFit {
    bool on;
    double curvature, slope, edge_low, edge_high;
    double inner(double drift, double variance) const {
      return (drift - variance * 0.5 * curvature) * slope;
    }
    double low(double drift, double variance) const { return on ? drift * edge_low : inner(drift, variance); }
    double high(double drift, double variance) const { return on ? drift * edge_high : inner(drift, variance); }
  };
  ForwardFit forward_fit(double dx) const;

 private:
  FD1FParams params_;
  // The forward's log fall across the dividends of the step from t back to t_new.
  double dividend_log_fall(std::int64_t t, std::int64_t t_new) const;

  // The rows of the step, node by node, under a local volatility.
  void form_local_rows(const FdState& state, const CnMatrices::Inputs& inputs, Tridiagonal& s,
                       Tridiagonal& r) const;

  std::string asset_;
  double vol_;
  std::optional<ShortRateVolatility> pieces_;
  std::optional<LocalVolTable> local_;
  std::size_t phrase_points_ = 0;
  std::vector<Dividend> dividends_;
  std::vector<std::int64_t> ex_dates_;
  std::vector<double> log_falls_;  // forward_log_fall of each, set with the state
  bool fit_forward_ = false;
};

}  // namespace ravlin
