// The error of evaluating a phrase: one message, displayed as is.
#pragma once

#include <string>

namespace ravlin {

struct ExprError {
  std::string message;
  const std::string& text() const { return message; }
};

}  // namespace ravlin
