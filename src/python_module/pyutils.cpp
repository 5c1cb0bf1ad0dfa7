#include "python_module/pyutils.hpp"

#include <cstring>
#include <limits>

#include "python_module/numpy.hpp"
#include "python_module/pyinterrupt.hpp"

namespace ravlin::py {

namespace {

PyParseError wrong_type(std::string_view key, std::string cause) {
  return PyParseError::Kind{PyParseError::WrongType{std::string(key), std::move(cause)}};
}

void set_type_error(PyObject* object, std::string_view expected) {
  PyErr_SetString(PyExc_TypeError, type_check_text(object, expected).c_str());
}

// An integer through the object's __index__ (so bool and index-like objects count).
PyRef as_index(PyObject* object) { return PyRef::steal(PyNumber_Index(object)); }

}  // namespace

PyRef make_str(std::string_view text) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

bool convert(PyObject* object, std::string& out) {
  if (!PyUnicode_Check(object)) {
    set_type_error(object, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool convert(PyObject* object, std::vector<std::string>& out) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    set_type_error(object, "Sequence");
    return false;
  }
  PyRef items = PyRef::steal(PySequence_List(object));
  if (!items) return false;
  const Py_ssize_t count = PyList_Size(items.get());
  std::vector<std::string> texts;
  texts.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    std::string text;
    // A list of our own, which nothing else can change.
    if (!convert(PyList_GetItem(items.get(), i), text)) return false;
    texts.push_back(std::move(text));
  }
  out = std::move(texts);
  return true;
}

bool convert(PyObject* object, std::int64_t& out) {
  PyRef index = as_index(object);
  if (!index) return false;
  const long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert(PyObject* object, double& out) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert(PyObject* object, std::uint64_t& out) {
  PyRef index = as_index(object);
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert(PyObject* object, std::uint32_t& out) {
  std::uint64_t value = 0;
  if (!convert(object, value)) return false;
  if (value > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

ParseResult<PyRef> get_any(PyObject* dict, std::string_view key) {
  PyRef name = make_str(key);
  if (!name) return std::unexpected(PyParseError::fetch());
  PyRef value;
  const int found = dict_item(dict, name.get(), value);
  if (found < 0) return std::unexpected(PyParseError::fetch());
  if (found == 0) {
    return std::unexpected(PyParseError::Kind{PyParseError::MissingKey{std::string(key)}});
  }
  return value;
}

ParseResult<PyRef> get_dict(PyObject* dict, std::string_view key) {
  RV_ASSIGN(PyRef value, get_any(dict, key));
  if (!PyDict_Check(value.get())) {
    return std::unexpected(wrong_type(key, type_check_text(value.get(), "PyDict")));
  }
  return value;
}

template <typename T>
ParseResult<T> get_typed(PyObject* dict, std::string_view key) {
  RV_ASSIGN(PyRef value, get_any(dict, key));
  T out{};
  if (!convert(value.get(), out)) {
    return std::unexpected(wrong_type(key, PyException::fetch().text()));
  }
  return out;
}

template ParseResult<std::string> get_typed<std::string>(PyObject*, std::string_view);
template ParseResult<std::vector<std::string>> get_typed<std::vector<std::string>>(
    PyObject*, std::string_view);
template ParseResult<std::int64_t> get_typed<std::int64_t>(PyObject*, std::string_view);
template ParseResult<double> get_typed<double>(PyObject*, std::string_view);
template ParseResult<std::uint64_t> get_typed<std::uint64_t>(PyObject*, std::string_view);

ParseResult<std::uint32_t> get_flag(PyObject* dict) {
  auto value = get_any(dict, "FLAGS");
  if (!value) {
    if (std::holds_alternative<PyParseError::MissingKey>(value.error().kind)) return 0u;
    return std::unexpected(std::move(value).error());
  }
  std::uint32_t flags = 0;
  if (!convert(value->get(), flags)) {
    return std::unexpected(wrong_type("FLAGS", PyException::fetch().text()));
  }
  if (flags > 15) return std::unexpected(PyParseError::message("Invalid bits set in FLAG"));
  return flags;
}

namespace {

PyParseError numpy_mismatch(std::string_view what, std::string_view from, std::string_view to) {
  const std::string text =
      std::string(what) + " mismatch:\n from=" + std::string(from) + ", to=" + std::string(to);
  return PyException::make(PyExc_TypeError, text);
}


// Column `column` of a 2-D array read through its strides (any layout,
// alignment or sign of the strides).
std::vector<double> read_column(PyArrayObject* array, npy_intp column) {
  const npy_intp rows = PyArray_DIM(array, 0);
  const npy_intp row_stride = PyArray_STRIDE(array, 0);
  const char* base = static_cast<const char*>(PyArray_DATA(array)) + column * PyArray_STRIDE(array, 1);
  std::vector<double> out(static_cast<std::size_t>(rows));
  for (npy_intp i = 0; i < rows; ++i) {
    std::memcpy(&out[static_cast<std::size_t>(i)], base + i * row_stride, sizeof(double));
  }
  return out;
}

}  // namespace

ParseResult<TwoColumns> get_2col_array(PyObject* object, std::string_view owner) {
  if (!PyArray_Check(object)) {
    return std::unexpected(
        PyException::make(PyExc_TypeError, type_check_text(object, "PyArray<T, D>")));
  }
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (PyArray_NDIM(array) != 2) {
    return std::unexpected(numpy_mismatch("dimensionality", std::to_string(PyArray_NDIM(array)), "2"));
  }
  if (PyArray_TYPE(array) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(array)) {
    return std::unexpected(numpy_mismatch("type", dtype_name(array), "float64"));
  }
  const npy_intp rows = PyArray_DIM(array, 0);
  const npy_intp columns = PyArray_DIM(array, 1);
  if (rows < 1 || columns < 2) {
    return std::unexpected(PyParseError::message(
        "Array of " + std::string(owner) + " must have at least one row and two columns, got shape (" +
        std::to_string(rows) + ", " + std::to_string(columns) + ")"));
  }
  return TwoColumns{read_column(array, 0), read_column(array, 1)};
}

ParseResult<FloatArray> get_float64_array(PyObject* object, int ndim) {
  if (!PyArray_Check(object)) {
    return std::unexpected(
        PyException::make(PyExc_TypeError, type_check_text(object, "PyArray<T, D>")));
  }
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (PyArray_NDIM(array) != ndim) {
    return std::unexpected(
        numpy_mismatch("dimensionality", std::to_string(PyArray_NDIM(array)), std::to_string(ndim)));
  }
  if (PyArray_TYPE(array) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(array)) {
    return std::unexpected(numpy_mismatch("type", dtype_name(array), "float64"));
  }
  const npy_intp rows = ndim == 2 ? PyArray_DIM(array, 0) : 1;
  const npy_intp columns = PyArray_DIM(array, ndim - 1);
  const npy_intp row_stride = ndim == 2 ? PyArray_STRIDE(array, 0) : 0;
  const npy_intp column_stride = PyArray_STRIDE(array, ndim - 1);
  FloatArray out;
  if (ndim == 2) out.shape.push_back(static_cast<std::size_t>(rows));
  out.shape.push_back(static_cast<std::size_t>(columns));
  out.values.resize(static_cast<std::size_t>(rows * columns));
  const char* base = static_cast<const char*>(PyArray_DATA(array));
  for (npy_intp i = 0; i < rows; ++i) {
    for (npy_intp j = 0; j < columns; ++j) {
      std::memcpy(&out.values[static_cast<std::size_t>(i * columns + j)],
                  base + i * row_stride + j * column_stride, sizeof(double));
    }
  }
  return out;
}

bool is_numpy_matrix(PyObject* object) {
  return PyArray_Check(object) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(object)) == 2;
}

std::string dtype_name(PyArrayObject* array) {
  PyRef name = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
  if (!name) {
    discard_error();
    return "?";
  }
  std::string text;
  if (!convert(name.get(), text)) discard_error();
  return text;
}

}  // namespace ravlin::py
