#include "python_module/pymc.hpp"

#include "python_module/pyerror.hpp"
#include "python_module/pyexpr.hpp"
#include "python_module/pyutils.hpp"

namespace ravlin::py {

namespace {

// py_state.{method}(argument); a raise (also a missing method) is the
// method's error.
std::expected<PyRef, ModelError> call_method(PyObject* py_state, const char* method,
                                             PyRef argument) {
  if (!argument) return std::unexpected(PyExecError::method_failed(method).to_model_error());
  PyRef name = PyRef::steal(PyUnicode_FromString(method));
  PyObject* arguments[] = {py_state, argument.get()};
  PyRef result = PyRef::steal(PyObject_VectorcallMethod(
      name.get(), arguments, 2, nullptr));
  if (!result) return std::unexpected(PyExecError::method_failed(method).to_model_error());
  return result;
}

}  // namespace

std::expected<FwdModelStateGeneric, ModelError> MCPy::create_state_mc(const TimeTable& timetable) {
  return create_fwd_state(timetable, params_.paths);
}

std::expected<void, ModelError> MCPy::advance(FwdModelStateGeneric& state, std::int64_t t) {
  const double years = year_fraction(t, params_.pricing_ts);
  RV_ASSIGN(PyRef result, call_method(py_state_, "advance", PyRef::steal(PyFloat_FromDouble(years))));
  if (auto step = float64_array1(result.get())) {
    RV_TRY(multiply_in_place(state.discount, *step));
    return {};
  }
  const double factor = PyFloat_AsDouble(result.get());
  if (!(factor == -1.0 && PyErr_Occurred())) {
    for (double& d : state.discount) d *= factor;
    return {};
  }
  PyErr_Clear();
  RV_ASSIGN(double df, params_.assets.discount_factor(years));
  state.discount = Values::scalar(df);
  return {};
}

std::expected<std::optional<Values>, ModelError> MCPy::get_model_val_mc(FwdModelStateGeneric&,
                                                                        std::string_view name) {
  RV_ASSIGN(PyRef result, call_method(py_state_, "get_value", make_str(name)));
  return float64_array1(result.get());
}

}  // namespace ravlin::py
