// The volatility of the Hull-White short rate: one number, or piecewise
// constant in time, and the integrals of it that the grid needs.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <vector>

namespace ravlin {

class ShortRateVolatility {
 public:
  // The same volatility at every time.
  explicit ShortRateVolatility(double vol) : starts_{0.0}, vols_{vol} {}
  // vols[k] from starts[k] (year fractions from the pricing time) to the next
  // start, the last one from its start on. The starts must rise strictly from
  // 0 and be finite, the volatilities finite and not negative; otherwise the
  // text of the fault.
  static std::expected<ShortRateVolatility, std::string> piecewise(std::vector<double> starts,
                                                                   std::vector<double> vols);

  bool is_constant() const { return vols_.size() == 1; }
  // The volatility at the start of the pricing, and the only one when constant.
  double first() const { return vols_.front(); }

  // The mean of the variance rate over [y2, y1] (y2 < y1): exactly the
  // square of the piece's volatility for a step inside one piece.
  double mean_variance(double y2, double y1) const;
  // The convexity of the fitted mean path at y: half the rate of change of
  // the variance of the short-rate deviation integrated from 0 to y, so that
  // the mean path f(y) + convexity reprices the curve.
  double convexity(double meanrev, double y) const;
  // The same averaged over [y2, y1] (y2 < y1): half the growth of that
  // variance over the step, divided by the step.
  double mean_convexity(double meanrev, double y2, double y1) const;
  // The variance of the short-rate deviation at y (it starts at 0 at 0).
  double state_variance(double meanrev, double y) const;

 private:
  ShortRateVolatility(std::vector<double> starts, std::vector<double> vols)
      : starts_(std::move(starts)), vols_(std::move(vols)) {}
  // The variance of the deviation integrated from 0 to y.
  double integrated_variance(double meanrev, double y) const;
  // The piece that holds y.
  std::size_t piece_at(double y) const;

  std::vector<double> starts_;
  std::vector<double> vols_;
};

// (1 - e^(-a y)) / a, in a form that stays exact as a y goes to 0 (then y).
double decay_factor(double meanrev, double years);
// The integral from 0 to y of decay_factor(a, s)^2: y^3/3 at a = 0.
double squared_decay_integral(double meanrev, double years);

}  // namespace ravlin
