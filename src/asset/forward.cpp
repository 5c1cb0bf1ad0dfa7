#include "asset/forward.hpp"

#include <algorithm>
#include <string>

#include "util/try.hpp"

namespace ravlin {

namespace {

AssetError builder_error(std::string detail) {
  return AssetError::Kind{AssetError::BuilderError{std::move(detail)}};
}

AssetError out_of_range(double t) { return AssetError::Kind{AssetError::OutOfRange{t}}; }

AssetError length_mismatch(std::size_t n_x, std::size_t n_data) {
  return builder_error("Lengths of x and data axis need to match. Got x: " + std::to_string(n_x) +
                       ", data: " + std::to_string(n_data));
}

// The checks of the linear interpolator over the knots, in its order: enough
// points, strictly rising times (a NaN time fails too), matching lengths.
std::expected<void, AssetError> check_interpolation_knots(const std::vector<double>& times,
                                                          const std::vector<double>& values) {
  if (times.size() < 2) {
    return std::unexpected(
        builder_error("The chosen Interpolation strategy needs at least 2 data points"));
  }
  for (std::size_t i = 0; i + 1 < times.size(); ++i) {
    if (!(times[i] < times[i + 1])) {
      return std::unexpected(
          builder_error("Values in the x axis need to be strictly monotonic rising"));
    }
  }
  if (times.size() != values.size()) {
    return std::unexpected(length_mismatch(times.size(), values.size()));
  }
  return {};
}

// A single knot needs no interpolator, but its value must be there to be read.
std::expected<void, AssetError> check_knots(const std::vector<double>& times,
                                            const std::vector<double>& values) {
  if (times.size() != 1) return check_interpolation_knots(times, values);
  if (values.size() != 1) return std::unexpected(length_mismatch(times.size(), values.size()));
  return {};
}

}  // namespace

std::expected<AssetLogFwd, AssetError> AssetLogFwd::create(std::vector<double> times,
                                                           std::vector<double> values,
                                                           AssetKind kind) {
  RV_TRY(check_knots(times, values));
  AssetLogFwd curve;
  curve.kind_ = kind;
  curve.times_ = std::move(times);
  curve.values_ = std::move(values);
  return curve;
}

std::expected<double, AssetError> AssetLogFwd::log_value(double t) const {
  std::size_t segment = kNoSegment;
  return log_value(t, segment);
}

std::expected<double, AssetError> AssetLogFwd::log_value(double t, std::size_t& segment) const {
  const double first_time = times_.front();
  const double first_value = values_.front();
  // Before a first knot after time 0 the curve is the straight line from 0.
  if (first_time > 0.0 && t <= first_time) return first_value * t / first_time;
  if (times_.size() < 2) return std::unexpected(out_of_range(t));
  // Written so that a NaN time fails the range check.
  if (!(t >= first_time && t <= times_.back())) return std::unexpected(out_of_range(t));

  // The segment [x_i, x_(i+1)] holding t; the last knot closes the last segment.
  const std::size_t last = times_.size() - 2;
  std::size_t i = segment;
  if (i == kNoSegment || i > last || t < times_[i]) {
    const auto above = std::upper_bound(times_.begin(), times_.end(), t);
    i = std::min(static_cast<std::size_t>(above - times_.begin()) - 1, last);
  } else {
    while (i < last && times_[i + 1] <= t) ++i;
  }
  segment = i;
  const double x0 = times_[i];
  const double x1 = times_[i + 1];
  return values_[i] + (values_[i + 1] - values_[i]) / (x1 - x0) * (t - x0);
}

std::expected<double, AssetError> CurveCursor::move_to(double t) {
  auto value = curve_->log_value(t, segment_);
  const std::vector<double>& times = curve_->times();
  if (value && segment_ != AssetLogFwd::kNoSegment && segment_ + 1 < times.size()) {
    const std::vector<double>& values = curve_->values();
    lower_ = times[segment_];
    upper_ = times[segment_ + 1];
    base_ = values[segment_];
    slope_ = (values[segment_ + 1] - values[segment_]) / (upper_ - lower_);
  }
  return value;
}

std::expected<double, AssetError> AssetLogFwd::rate(double t_a, double t_b) const {
  if (t_a == t_b) return std::unexpected(AssetError::Kind{AssetError::DivideByZero{}});
  RV_ASSIGN(const double log_a, log_value(t_a));
  RV_ASSIGN(const double log_b, log_value(t_b));
  return (log_a - log_b) / (t_a - t_b);
}

}  // namespace ravlin
