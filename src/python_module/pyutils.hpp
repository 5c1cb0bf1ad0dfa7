// Access to the dataset dictionary (and to the entries of the expressions
// dictionary): every read names its key in its errors.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "python_module/numpy.hpp"
#include "python_module/pyerror.hpp"
#include "python_module/pyref.hpp"

namespace ravlin::py {

static_assert(sizeof(std::size_t) == sizeof(std::uint64_t), "sizes are read as 64-bit integers");

template <typename T>
using ParseResult = std::expected<T, PyParseError>;

// The object stored under `key` (a new reference).
ParseResult<PyRef> get_any(PyObject* dict, std::string_view key);
// The `dict` (or subclass) stored under `key`.
ParseResult<PyRef> get_dict(PyObject* dict, std::string_view key);
// The value under `key` converted to T: std::string, std::vector<std::string>,
// std::int64_t, double or std::uint64_t (which is also the machine size).
template <typename T>
ParseResult<T> get_typed(PyObject* dict, std::string_view key);
// get_typed for a key that may be absent.
template <typename T>
ParseResult<std::optional<T>> get_optional(PyObject* dict, std::string_view key) {
  auto value = get_typed<T>(dict, key);
  if (value) return std::optional<T>(std::move(*value));
  if (std::holds_alternative<PyParseError::MissingKey>(value.error().kind)) return std::nullopt;
  return std::unexpected(std::move(value).error());
}
// "FLAGS" of a settings dictionary: 0 when absent, at most 15.
ParseResult<std::uint32_t> get_flag(PyObject* dict);

struct TwoColumns {
  std::vector<double> first;
  std::vector<double> second;
};
// Columns 0 and 1 of an n×2 (or wider) float64 NumPy array of any layout;
// `owner` names the array's owner in the message for an empty table.
ParseResult<TwoColumns> get_2col_array(PyObject* object, std::string_view owner);

// A float64 NumPy array of `ndim` (1 or 2) dimensions and any layout, its
// elements copied in row-major order, with its shape.
struct FloatArray {
  std::vector<std::size_t> shape;
  std::vector<double> values;
};
ParseResult<FloatArray> get_float64_array(PyObject* object, int ndim);

// Whether the object is a NumPy array of two dimensions.
bool is_numpy_matrix(PyObject* object);

// Conversions of one Python object; on failure the Python error is set.
bool convert(PyObject* object, std::string& out);
bool convert(PyObject* object, std::vector<std::string>& out);
bool convert(PyObject* object, std::int64_t& out);
bool convert(PyObject* object, double& out);
bool convert(PyObject* object, std::uint64_t& out);
bool convert(PyObject* object, std::uint32_t& out);

// A Python str from UTF-8 text.
PyRef make_str(std::string_view text);
// NumPy's name of the array's element type ("float64", "<U1"), or "?".
std::string dtype_name(PyArrayObject* array);

}  // namespace ravlin::py
