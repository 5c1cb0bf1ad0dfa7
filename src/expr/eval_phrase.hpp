// A function of value arrays named by the expressions of a timetable.
#pragma once

#include <expected>
#include <string>
#include <vector>

#include "expr/error.hpp"
#include "util/values.hpp"

namespace ravlin {

class EvalPhrase {
 public:
  virtual ~EvalPhrase() = default;
  // The input names, in the order `eval` receives their values.
  virtual const std::vector<std::string>& iter_inp() const = 0;
  // One array per input name; gives one array per output of the function.
  virtual std::expected<std::vector<Values>, ExprError> eval(
      const std::vector<Values>& inputs) const = 0;
};

}  // namespace ravlin
