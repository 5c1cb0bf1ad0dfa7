// The error of evaluating a phrase: one message, displayed as is.
#pragma once

#include <string>

#include "util/causes.hpp"

namespace ravlin {

struct ExprError {
  std::string message;
  // The chain behind the message, when it is another error's text; empty for
  // a message of one link.
  Causes chain = {};

  const std::string& text() const { return message; }
  Causes causes() const { return chain.empty() ? Causes{message} : chain; }
};

}  // namespace ravlin
