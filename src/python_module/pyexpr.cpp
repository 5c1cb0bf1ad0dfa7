#include "python_module/pyexpr.hpp"

#include <cstring>

#include "python_module/numpy.hpp"
#include "python_module/pygil.hpp"
#include "python_module/pyinterrupt.hpp"
#include "python_module/pyutils.hpp"

namespace ravlin::py {

namespace {

bool is_array1(PyObject* object) {
  return PyArray_Check(object) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(object)) == 1;
}

bool is_float64(PyArrayObject* array) {
  PyRef float64 = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
  return PyArray_EquivTypes(PyArray_DESCR(array),
                            reinterpret_cast<PyArray_Descr*>(float64.get()));
}

// Element i of a 1-D array through its stride, copied byte-wise so that
// unaligned buffers are read safely.
template <typename T>
T read_element(PyArrayObject* array, npy_intp i) {
  T value;
  std::memcpy(&value, static_cast<const char*>(PyArray_DATA(array)) + i * PyArray_STRIDE(array, 0),
              sizeof(T));
  return value;
}

std::string type_repr(PyObject* item) {
  PyRef repr = PyRef::steal(PyObject_Repr(reinterpret_cast<PyObject*>(Py_TYPE(item))));
  std::string text;
  if (!repr || !convert(repr.get(), text)) {
    discard_error();
    return type_name(item);
  }
  return text;
}

}  // namespace

std::optional<std::span<const double>> float64_buffer(PyObject* object) {
  if (!is_array1(object)) return std::nullopt;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (!is_float64(array) || PyArray_STRIDE(array, 0) != sizeof(double) || !PyArray_ISALIGNED(array)) {
    return std::nullopt;
  }
  return std::span<const double>(static_cast<const double*>(PyArray_DATA(array)),
                                 static_cast<std::size_t>(PyArray_DIM(array, 0)));
}

std::optional<Values> float64_array1(PyObject* object) {
  // One pass: copied straight in, not zeroed first.
  if (const auto buffer = float64_buffer(object)) return Values(*buffer);
  if (!is_array1(object)) return std::nullopt;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (!is_float64(array)) return std::nullopt;
  const npy_intp size = PyArray_DIM(array, 0);
  Values out = Values::for_overwrite(static_cast<std::size_t>(size));
  for (npy_intp i = 0; i < size; ++i) out[static_cast<std::size_t>(i)] = read_element<double>(array, i);
  return out;
}

PyRef to_numpy(const Values& values) {
  npy_intp size = static_cast<npy_intp>(values.size());
  PyRef array = PyRef::steal(PyArray_SimpleNew(1, &size, NPY_DOUBLE));
  if (array && size > 0) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), values.data(),
                values.size() * sizeof(double));
  }
  return array;
}

std::expected<Values, PyExecError> to_array1(PyObject* item) {
  if (auto values = float64_array1(item)) return std::move(*values);
  if (is_array1(item) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(item)) == NPY_BOOL) {
    auto* array = reinterpret_cast<PyArrayObject*>(item);
    const npy_intp size = PyArray_DIM(array, 0);
    Values out(static_cast<std::size_t>(size));
    for (npy_intp i = 0; i < size; ++i) {
      out[static_cast<std::size_t>(i)] = read_element<npy_bool>(array, i) ? 1.0 : 0.0;
    }
    return out;
  }
  const double number = PyFloat_AsDouble(item);
  if (number == -1.0 && PyErr_Occurred()) {
    discard_error();
    return std::unexpected(PyExecError::message("Expected float or array, received " + type_repr(item)));
  }
  return Values::scalar(number);
}

std::expected<std::vector<Values>, ExprError> PyPhrase::eval(
    const std::vector<Values>& inputs) const {
  const WithGil gil;
  PyRef arguments = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(inputs.size())));
  if (!arguments) return std::unexpected(PyExecError::fetch().to_expr_error());
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    PyRef array = to_numpy(inputs[i]);
    if (!array) return std::unexpected(PyExecError::fetch().to_expr_error());
    // SetItem takes the array's reference.
    if (PyList_SetItem(arguments.get(), static_cast<Py_ssize_t>(i), array.release()) < 0) {
      return std::unexpected(PyExecError::fetch().to_expr_error());
    }
  }
  PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(fn_.get(), arguments.get(), nullptr));
  if (!result) return std::unexpected(PyExecError::fetch().to_expr_error());
  if (!PyList_Check(result.get())) {
    return std::unexpected(PyExecError::type_check(result.get(), "PyList").to_expr_error());
  }
  std::vector<Values> outputs;
  // The list may be changed by code that a conversion runs, so its size is
  // read anew on every step.
  for (Py_ssize_t i = 0; i < PyList_Size(result.get()); ++i) {
    PyRef item = list_item(result.get(), i);
    if (!item) return std::unexpected(PyExecError::fetch().to_expr_error());
    auto values = to_array1(item.get());
    if (!values) return std::unexpected(values.error().to_expr_error());
    outputs.push_back(std::move(*values));
  }
  return outputs;
}

}  // namespace ravlin::py
