// Black-Scholes on a grid in the logarithm of one asset's price.
#pragma once

#include <string>

#include "qfd/engine.hpp"

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

  // The numbers of the step that its rows follow from, and the rows.
  std::expected<CnMatrices::Inputs, ModelError> step_inputs(const FdState& state,
                                                            std::int64_t t_new) const;
  bool form_rows(const FdState& state, const CnMatrices::Inputs& inputs, Tridiagonal& s,
                 Tridiagonal& r, bool inner_once) const;

 private:
  FD1FParams params_;
  std::string asset_;
  double vol_;
};

}  // namespace ravlin
