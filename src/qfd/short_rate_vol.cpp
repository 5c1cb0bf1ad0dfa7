#include "qfd/short_rate_vol.hpp"

#include <algorithm>
#include <cmath>

#include "util/format.hpp"

namespace ravlin {

namespace {

// (1 - e^(-z)) / z, also near and at z = 0, where the quotient is 1.
double one_minus_exp_ratio(double z) {
  // Below 1e-5 the series to z^3 is exact to far less than an ulp.
  if (std::fabs(z) < 1e-5) return 1.0 - z * (0.5 - z * (1.0 / 6.0 - z * (1.0 / 24.0)));
  return -std::expm1(-z) / z;
}

// (z - 2 (1 - e^(-z)) + (1 - e^(-2z)) / 2) / z^3, which is 1/3 at z = 0: by
// its series where the numerator would cancel, sum over n >= 3 of
// (-1)^(n+1) (2^(n-1) - 2) z^(n-3) / n!.
double squared_decay_ratio(double z) {
  if (std::fabs(z) >= 1.0) {
    return (z + 2.0 * std::expm1(-z) - 0.5 * std::expm1(-2.0 * z)) / (z * z * z);
  }
  double sum = 0.0;
  double power = 4.0;            // 2^(n-1)
  double term = 1.0 / 6.0;       // z^(n-3) / n!
  double sign = 1.0;
  for (int n = 3; n < 45; ++n) {
    sum += sign * (power - 2.0) * term;
    power *= 2.0;
    term *= z / (n + 1);
    sign = -sign;
  }
  return sum;
}

}  // namespace

double decay_factor(double meanrev, double years) {
  return years * one_minus_exp_ratio(meanrev * years);
}

double squared_decay_integral(double meanrev, double years) {
  if (years <= 0.0) return 0.0;
  return years * years * years * squared_decay_ratio(meanrev * years);
}

std::expected<ShortRateVolatility, std::string> ShortRateVolatility::piecewise(
    std::vector<double> starts, std::vector<double> vols) {
  if (starts.empty() || starts.size() != vols.size()) {
    return std::unexpected("needs at least one row of (start, volatility)");
  }
  if (starts.front() != 0.0) {
    return std::unexpected("the first row must start at 0, got " + format_double(starts.front()));
  }
  for (std::size_t k = 0; k < starts.size(); ++k) {
    if (k > 0 && !(starts[k] > starts[k - 1] && std::isfinite(starts[k]))) {
      return std::unexpected("the starts must rise strictly and be finite, got " +
                             format_double(starts[k]) + " after " + format_double(starts[k - 1]));
    }
    if (!(vols[k] >= 0.0) || std::isinf(vols[k])) {
      return std::unexpected("a volatility must be finite and not negative, got " +
                             format_double(vols[k]) + " from " + format_double(starts[k]));
    }
  }
  return ShortRateVolatility(std::move(starts), std::move(vols));
}

std::size_t ShortRateVolatility::piece_at(double y) const {
  const auto after = std::upper_bound(starts_.begin(), starts_.end(), y);
  return after == starts_.begin() ? 0 : static_cast<std::size_t>(after - starts_.begin()) - 1;
}

double ShortRateVolatility::mean_variance(double y2, double y1) const {
  const std::size_t first = piece_at(y2);
  if (first + 1 == starts_.size() || y1 <= starts_[first + 1]) return vols_[first] * vols_[first];
  double sum = 0.0;
  for (std::size_t k = first; k < starts_.size() && starts_[k] < y1; ++k) {
    const double from = std::max(y2, starts_[k]);
    const double to = k + 1 < starts_.size() ? std::min(y1, starts_[k + 1]) : y1;
    sum += vols_[k] * vols_[k] * (to - from);
  }
  return sum / (y1 - y2);
}

// Each piece [t_k, t_(k+1)) adds vol_k^2 times the integral of the squared
// decay factor over the time left to y from the piece's two ends.
double ShortRateVolatility::integrated_variance(double meanrev, double y) const {
  double sum = 0.0;
  for (std::size_t k = 0; k < starts_.size() && starts_[k] < y; ++k) {
    const double later = k + 1 < starts_.size() ? squared_decay_integral(meanrev, y - starts_[k + 1]) : 0.0;
    sum += vols_[k] * vols_[k] * (squared_decay_integral(meanrev, y - starts_[k]) - later);
  }
  return sum;
}

double ShortRateVolatility::convexity(double meanrev, double y) const {
  double sum = 0.0;
  for (std::size_t k = 0; k < starts_.size() && starts_[k] < y; ++k) {
    const double g = decay_factor(meanrev, y - starts_[k]);
    const double later = k + 1 < starts_.size() && starts_[k + 1] < y
                             ? decay_factor(meanrev, y - starts_[k + 1])
                             : 0.0;
    sum += vols_[k] * vols_[k] * (g * g - later * later);
  }
  return sum / 2.0;
}

double ShortRateVolatility::mean_convexity(double meanrev, double y2, double y1) const {
  return (integrated_variance(meanrev, y1) - integrated_variance(meanrev, y2)) / (2.0 * (y1 - y2));
}

}  // namespace ravlin
