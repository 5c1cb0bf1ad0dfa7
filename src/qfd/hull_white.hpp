// Hull-White one-factor short rate on a grid around the fitted mean path.
#pragma once

#include "qfd/engine.hpp"
#include "qfd/short_rate_vol.hpp"

namespace ravlin {

class HullWhiteCN final : public FDCN {
 public:
  HullWhiteCN(FD1FParams params, double meanrev, double vol)
      : HullWhiteCN(std::move(params), meanrev, ShortRateVolatility(vol), false) {}
  // With `fit_curve`, each step's shift carries the mean path's convexity
  // averaged over the step, not taken at its earlier end: zero-coupon bonds
  // then reprice the curve to second order in the step.
  HullWhiteCN(FD1FParams params, double meanrev, ShortRateVolatility vol, bool fit_curve)
      : params_(std::move(params)), meanrev_(meanrev), vol_(std::move(vol)), fit_curve_(fit_curve) {}

  const FD1FParams& params() const override { return params_; }
  std::expected<FdState, ModelError> create_state_cn(const TimeTable& timetable) override;
  std::optional<Values> get_model_val_cn(const FdState& state,
                                         std::string_view name) const override;
  std::expected<void, ModelError> cn_coefficients(const FdState& state, std::int64_t t_new,
                                                  Tridiagonal& s, Tridiagonal& r) const override;
  std::expected<bool, ModelError> refresh_cn(const FdState& state, std::int64_t t_new,
                                             CnMatrices& m) const override;
  // The short rate on each node at the pricing time.
  std::expected<Values, ModelError> node_coordinates(const FdState& state,
                                                     std::int64_t last_step_from) const override;

  // The numbers of the step that its rows follow from, and the rows.
  std::expected<CnMatrices::Inputs, ModelError> step_inputs(const FdState& state,
                                                            std::int64_t t_new) const;
  bool form_rows(const FdState& state, const CnMatrices::Inputs& inputs, Tridiagonal& s,
                 Tridiagonal& r, bool inner_once) const;

 private:
  // The shift of the short rate over a step at the curve's rate over it, and
  // the same with the convexity at the step's earlier end.
  double shift_over(const StepRate& step) const;
  double shift_at_earlier_end(const StepRate& step) const;

  FD1FParams params_;
  double meanrev_;
  ShortRateVolatility vol_;
  bool fit_curve_;
};

// The short rate of the fitted mean path at `years`: the curve's forward rate
// plus the convexity of the mean-reverting factor,
// f + vol^2 (1 - e^(-a y))^2 / (2 a^2), taken in a form that stays exact as
// the mean reversion a goes to 0, where it becomes f + vol^2 y^2 / 2.
double hull_white_shift(double forward_rate, double meanrev, double vol, double years);

}  // namespace ravlin
