// Phrases implemented by Python callables.
#pragma once

#include <Python.h>

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "expr/eval_phrase.hpp"
#include "python_module/pyerror.hpp"
#include "python_module/pyref.hpp"
#include "util/values.hpp"

namespace ravlin::py {

class PyPhrase final : public EvalPhrase {
 public:
  PyPhrase(std::vector<std::string> inp, PyRef fn) : inp_(std::move(inp)), fn_(std::move(fn)) {}

  const std::vector<std::string>& iter_inp() const override { return inp_; }
  // Calls fn once with a list of fresh float64 arrays, one per input; the
  // result must be a list whose items convert with `to_array1`.
  std::expected<std::vector<Values>, ExprError> eval(
      const std::vector<Values>& inputs) const override;

 private:
  std::vector<std::string> inp_;
  PyRef fn_;
};

// A fresh one-dimensional float64 NumPy array holding a copy of `values`.
PyRef to_numpy(const Values& values);
// A 1-D float64 array (any stride) or boolean array, or a number, as values.
std::expected<Values, PyExecError> to_array1(PyObject* item);
// The values of a 1-D float64 array of any stride; nothing for anything else.
std::optional<Values> float64_array1(PyObject* object);
// The buffer of a 1-D float64 array whose elements lie aligned side by side,
// to read while the array is held; nothing for any other object.
std::optional<std::span<const double>> float64_buffer(PyObject* object);

}  // namespace ravlin::py
