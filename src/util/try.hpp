// Propagation of error values: one line per call site, argument evaluated once.
#pragma once

#include <expected>
#include <utility>

#define RV_CONCAT_INNER(a, b) a##b
#define RV_CONCAT(a, b) RV_CONCAT_INNER(a, b)

// Returns the error of `expr` (converted to the caller's error type) or does nothing.
#define RV_TRY(expr)                                                   \
  do {                                                                 \
    auto&& rv_try_result_ = (expr);                                    \
    if (!rv_try_result_) {                                             \
      return std::unexpected(std::move(rv_try_result_).error());      \
    }                                                                  \
  } while (false)

#define RV_ASSIGN_IMPL(tmp, lhs, expr)                                 \
  auto&& tmp = (expr);                                                 \
  if (!tmp) {                                                          \
    return std::unexpected(std::move(tmp).error());                    \
  }                                                                    \
  lhs = std::move(*tmp)

// `RV_ASSIGN(auto x, f());` binds the value of `f()` or returns its error.
#define RV_ASSIGN(lhs, expr) RV_ASSIGN_IMPL(RV_CONCAT(rv_assign_, __COUNTER__), lhs, expr)
