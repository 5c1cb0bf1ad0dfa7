// Errors of market-data lookups: forwards, rates and discount factors.
#pragma once

#include <memory>
#include <string>
#include <variant>

#include "util/causes.hpp"

namespace ravlin {

struct AssetError {
  struct InterpolateError {
    std::string detail;
  };
  struct BuilderError {
    std::string detail;
  };
  struct RateError {
    std::string name;
    double t_a;
    double t_b;
    std::unique_ptr<AssetError> inner;
  };
  struct SpotError {
    std::string name;
    double t;
    std::unique_ptr<AssetError> inner;
  };
  struct OutOfRange {
    double t;
  };
  struct DivideByZero {};
  struct NotImplemented {
    std::string feature;
  };
  struct AssetNotFound {
    std::string name;
  };
  using Kind = std::variant<InterpolateError, BuilderError, RateError, SpotError, OutOfRange,
                            DivideByZero, NotImplemented, AssetNotFound>;
  Kind kind;

  AssetError(Kind k) : kind(std::move(k)) {}
  // The rate of `name` between t_a and t_b failed with `inner`.
  static AssetError rate_error(std::string name, AssetError inner, double t_a, double t_b);
  // The value of `name` at t failed with `inner`.
  static AssetError spot_error(std::string name, AssetError inner, double t);
  std::string text() const;
  Causes causes() const;
};

}  // namespace ravlin
