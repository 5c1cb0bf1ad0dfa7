// One asset's logarithmic forward curve.
#pragma once

#include <cstddef>
#include <expected>
#include <vector>

#include "asset/error.hpp"

namespace ravlin {

enum class AssetKind {
  Base,    // the unit of account: its curve gives discount factors exp(-L)
  Quoted,  // quoted in the base asset: its curve gives forwards exp(L)
};

class AssetLogFwd {
 public:
  // Knot times (strictly increasing when there are two or more) and the log
  // values L at the knots.
  static std::expected<AssetLogFwd, AssetError> create(std::vector<double> times,
                                                       std::vector<double> values,
                                                       AssetKind kind);

  AssetKind kind() const { return kind_; }
  bool is_base() const { return kind_ == AssetKind::Base; }
  // L(t): a straight line from 0 at time 0 up to a first knot after 0, linear
  // interpolation between knots, OutOfRange elsewhere.
  std::expected<double, AssetError> log_value(double t) const;
  // The same value, for times that mostly come in rising order: `segment`
  // remembers where the last time fell (start with kNoSegment) and moves up
  // from there instead of searching all knots again.
  static constexpr std::size_t kNoSegment = static_cast<std::size_t>(-1);
  std::expected<double, AssetError> log_value(double t, std::size_t& segment) const;
  // (L(t_a) - L(t_b)) / (t_a - t_b); DivideByZero when the times are equal.
  std::expected<double, AssetError> rate(double t_a, double t_b) const;

  const std::vector<double>& times() const { return times_; }
  const std::vector<double>& values() const { return values_; }

 private:
  AssetKind kind_ = AssetKind::Quoted;
  std::vector<double> times_;
  std::vector<double> values_;
};

}  // namespace ravlin
