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

// A walk along one curve through times that mostly rise. It keeps the
// segment of the last time with its slope, so that a time strictly inside
// that segment costs one multiply and one add; every other time (a knot, the
// line before the first knot, a move to another segment, a time outside the
// curve) takes AssetLogFwd::log_value. The slope is the very quotient that
// log_value forms, so both give the same double.
class CurveCursor {
 public:
  explicit CurveCursor(const AssetLogFwd& curve) : curve_(&curve) {}

  const AssetLogFwd& curve() const { return *curve_; }
  std::expected<double, AssetError> log_value(double t) {
    if (lower_ < t && t < upper_) return base_ + slope_ * (t - lower_);
    return move_to(t);
  }

 private:
  std::expected<double, AssetError> move_to(double t);

  const AssetLogFwd* curve_;
  std::size_t segment_ = AssetLogFwd::kNoSegment;
  // The open interval (lower_, upper_) of the kept segment; empty at first.
  double lower_ = 0.0;
  double upper_ = 0.0;
  double base_ = 0.0;
  double slope_ = 0.0;
};

}  // namespace ravlin
