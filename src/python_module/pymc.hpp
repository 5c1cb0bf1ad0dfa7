// The Monte Carlo model whose paths live in the caller's Python object.
#pragma once

#include <Python.h>

#include "qmc/engine.hpp"

namespace ravlin::py {

class MCPy final : public MCModel {
 public:
  // `py_state` is borrowed: the caller keeps it alive for the pricing call.
  MCPy(MCParams params, PyObject* py_state) : params_(std::move(params)), py_state_(py_state) {}

  const MCParams& params() const override { return params_; }
  std::expected<FwdModelStateGeneric, ModelError> create_state_mc(
      const TimeTable& timetable) override;
  // py_state.advance(year fraction): numbers compound the discount; None
  // (no answer) sets it to the dataset's discount factor.
  std::expected<void, ModelError> advance(FwdModelStateGeneric& state, std::int64_t t) override;
  // py_state.get_value(name): numbers are copied as float64; None is absent.
  std::expected<std::optional<Values>, ModelError> get_model_val_mc(
      FwdModelStateGeneric& state, std::string_view name) override;
  // get_value(name) times the discount and quantity, read straight from a
  // float64 array.
  std::expected<std::optional<Values>, ModelError> weighted_model_val_mc(
      FwdModelStateGeneric& state, std::string_view name, double quantity) override;

 private:
  MCParams params_;
  PyObject* py_state_;
};

}  // namespace ravlin::py
