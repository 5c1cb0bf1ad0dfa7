#include "python_module/pymc.hpp"

#include <string>
#include <vector>

#include "python_module/numpy.hpp"
#include "python_module/pyerror.hpp"
#include "python_module/pyexpr.hpp"
#include "python_module/pygil.hpp"
#include "python_module/pyinterrupt.hpp"
#include "python_module/pyutils.hpp"
#include "util/format.hpp"

namespace ravlin::py {

namespace {

// py_state.{method}(argument); a raise (also a missing method) is the
// method's error.
std::expected<PyRef, ModelError> call_method(PyObject* py_state, const char* method,
                                             PyRef argument) {
  if (!argument) return std::unexpected(PyExecError::method_failed(method).to_model_error());
  PyRef name = PyRef::steal(PyUnicode_FromString(method));
  if (!name) return std::unexpected(PyExecError::method_failed(method).to_model_error());
  PyRef result =
      PyRef::steal(PyObject_CallMethodObjArgs(py_state, name.get(), argument.get(), nullptr));
  if (!result) return std::unexpected(PyExecError::method_failed(method).to_model_error());
  return result;
}

// ---------------------------------------------------------------------------
// What advance and get_value hand back, as path values

// Not path values: `found` says what was given instead.
struct NotNumbers {
  std::string found;
};
using PathValues = std::expected<std::optional<Values>, std::variant<NotNumbers, PyException>>;

// The current Python error: a TypeError says the object is no number; any
// other exception (raised by the object's own conversion) is kept as it is.
PathValues conversion_failure(std::string found) {
  if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    discard_error();
    return std::unexpected(NotNumbers{std::move(found)});
  }
  return std::unexpected(PyException::fetch());
}

bool is_real_number_kind(PyArrayObject* array) {
  const char kind = PyArray_DESCR(array)->kind;
  return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f';
}

// A 1-D array of booleans, integers or floats of any byte order, converted
// by NumPy straight into the values' own buffer.
PathValues converted_array1(PyArrayObject* array) {
  npy_intp size = PyArray_DIM(array, 0);
  Values out(static_cast<std::size_t>(size));
  PyRef target = PyRef::steal(PyArray_SimpleNewFromData(1, &size, NPY_DOUBLE, out.data()));
  if (!target || PyArray_CopyInto(reinterpret_cast<PyArrayObject*>(target.get()), array) < 0) {
    return std::unexpected(PyException::fetch());
  }
  return out;
}

PathValues number(PyObject* object) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    // Appended, not concatenated: GCC 12 warns falsely (-Wrestrict) on "'" + name.
    std::string found = "'";
    found.append(type_name(object)).append("'");
    return conversion_failure(std::move(found));
  }
  return Values::scalar(value);
}

PathValues array_values(PyArrayObject* array) {
  if (!is_real_number_kind(array)) {
    return std::unexpected(NotNumbers{"an array of dtype " + dtype_name(array)});
  }
  if (PyArray_NDIM(array) == 1) {
    if (auto values = float64_array1(reinterpret_cast<PyObject*>(array))) return std::move(*values);
    return converted_array1(array);
  }
  if (PyArray_NDIM(array) == 0) return number(reinterpret_cast<PyObject*>(array));
  return std::nullopt;
}

// A list or tuple of numbers; its size (as stored, never through an
// overridden __len__) is read anew at every item, since an item's conversion
// may run code that changes the list.
PathValues sequence_values(PyObject* sequence) {
  const bool is_list = PyList_Check(sequence);
  const char* kind = is_list ? "a list" : "a tuple";
  std::vector<double> items;
  for (Py_ssize_t i = 0; i < (is_list ? PyList_Size(sequence) : PyTuple_Size(sequence)); ++i) {
    PyRef item = is_list ? list_item(sequence, i) : PyRef::borrow(PyTuple_GetItem(sequence, i));
    if (!item) return std::unexpected(PyException::fetch());
    const double value = PyFloat_AsDouble(item.get());
    if (value == -1.0 && PyErr_Occurred()) {
      return conversion_failure(std::string(kind) + " holding '" + type_name(item.get()) + "'");
    }
    items.push_back(value);
  }
  return Values(std::span<const double>(items));
}

// None is no answer (the dataset answers); numbers and arrays of numbers are
// the values; an array of two or more dimensions is no answer, as it never
// was one.
PathValues path_values(PyObject* result) {
  if (result == Py_None) return std::nullopt;
  if (PyArray_Check(result)) return array_values(reinterpret_cast<PyArrayObject*>(result));
  if (PyList_Check(result) || PyTuple_Check(result)) return sequence_values(result);
  return number(result);
}

// The method's error for a result that is no path values.
ModelError method_result_error(const char* method, const std::string& call,
                               std::variant<NotNumbers, PyException> failure) {
  if (auto* exception = std::get_if<PyException>(&failure)) {
    return PyExecError::method_error(method, std::move(*exception)).to_model_error();
  }
  const std::string text = call + " returned " + std::get<NotNumbers>(failure).found +
                           ": expected None, a number, or a one-dimensional array or list of "
                           "numbers";
  return PyExecError::method_error(method, PyException::make(PyExc_TypeError, text))
      .to_model_error();
}

// py_state.get_value(name).
std::expected<PyRef, ModelError> call_get_value(PyObject* py_state, std::string_view name) {
  return call_method(py_state, "get_value", make_str(name));
}

// What get_value returned, as path values.
std::expected<std::optional<Values>, ModelError> get_value_result(PyObject* result,
                                                                  std::string_view name) {
  PathValues values = path_values(result);
  if (!values) {
    return std::unexpected(method_result_error(
        "get_value", "get_value('" + std::string(name) + "')", std::move(values).error()));
  }
  return std::move(*values);
}

}  // namespace

std::expected<FwdModelStateGeneric, ModelError> MCPy::create_state_mc(const TimeTable& timetable) {
  return create_fwd_state(timetable, params_.paths);
}

std::expected<void, ModelError> MCPy::advance(FwdModelStateGeneric& state, std::int64_t t) {
  const WithGil gil;
  const double years = year_fraction(t, params_.pricing_ts);
  RV_ASSIGN(PyRef result, call_method(py_state_, "advance", PyRef::steal(PyFloat_FromDouble(years))));
  // Copied into a buffer of the call's pool, not read where it lies: on
  // 100,000 paths, reading the state's fresh arrays in place made a call
  // fault in about 80% more pages, and the first call of a process 15% slower.
  PathValues step = path_values(result.get());
  if (!step) {
    return std::unexpected(method_result_error(
        "advance", "advance(" + format_double(years) + ")", std::move(step).error()));
  }
  if (*step) {
    RV_TRY(multiply_in_place(state.discount, **step));
    return {};
  }
  RV_ASSIGN(double df, params_.assets.discount_factor(years));
  state.discount = Values::scalar(df);
  return {};
}

std::expected<std::optional<Values>, ModelError> MCPy::get_model_val_mc(FwdModelStateGeneric&,
                                                                        std::string_view name) {
  const WithGil gil;
  RV_ASSIGN(PyRef result, call_get_value(py_state_, name));
  return get_value_result(result.get(), name);
}

std::expected<std::optional<Values>, ModelError> MCPy::weighted_model_val_mc(
    FwdModelStateGeneric& state, std::string_view name, double quantity) {
  const WithGil gil;
  RV_ASSIGN(PyRef result, call_get_value(py_state_, name));
  // A float64 array is read where it lies, while it is held.
  if (const auto buffer = float64_buffer(result.get())) {
    RV_ASSIGN(Values weighted, multiply_scaled(*buffer, state.discount, quantity));
    return weighted;
  }
  RV_ASSIGN(std::optional<Values> own, get_value_result(result.get(), name));
  if (own) RV_TRY(multiply_scaled_in_place(*own, state.discount, quantity));
  return own;
}

}  // namespace ravlin::py
