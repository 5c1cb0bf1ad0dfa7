// Errors of parsing and applying event operations.
#pragma once

#include <string>
#include <variant>

#include "util/causes.hpp"

namespace ravlin {

struct OpError {
  struct UnknownOp {
    std::string op;
  };
  struct Message {
    std::string text;
  };
  using Kind = std::variant<UnknownOp, Message>;
  Kind kind;

  static OpError unknown_op(std::string op) { return {UnknownOp{std::move(op)}}; }
  static OpError message(std::string text) { return {Message{std::move(text)}}; }
  std::string text() const;
  Causes causes() const { return {text()}; }
};

}  // namespace ravlin
