// Market data, grid settings and closed-form reference values for the tests
// of the finite-difference engine and its grid models.
#pragma once

#include <cmath>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "asset/assets.hpp"
#include "qfd/state.hpp"
#include "support/model_fakes.hpp"

namespace ravlin::testing {

inline AssetLogFwd checked_curve(std::vector<double> times, std::vector<double> logs,
                                 AssetKind kind) {
  auto curve = AssetLogFwd::create(std::move(times), std::move(logs), kind);
  if (!curve) throw std::runtime_error(curve.error().text());
  return std::move(*curve);
}

// A zero-rate curve: knots (time, continuously compounded zero rate).
inline AssetLogFwd zero_curve(const std::vector<std::pair<double, double>>& knots,
                              AssetKind kind = AssetKind::Base) {
  std::vector<double> times, logs;
  for (const auto& [t, rate] : knots) {
    times.push_back(t);
    logs.push_back(t * rate);
  }
  return checked_curve(std::move(times), std::move(logs), kind);
}

// Base "USD" with the flat zero rate `rate`, and "S" worth `spot` now with
// forwards growing at `rate - dividend`, both on [0, 10] years.
inline Assets black_scholes_market(double rate, double spot, double dividend) {
  std::unordered_map<std::string, AssetLogFwd> curves;
  curves.emplace("USD", zero_curve({{1.0, rate}, {10.0, rate}}));
  const double growth = rate - dividend;
  curves.emplace("S", checked_curve({0.0, 10.0}, {std::log(spot), std::log(spot) + 10.0 * growth},
                                    AssetKind::Quoted));
  return Assets(std::move(curves), "USD");
}

// Base "USD" from zero-rate knots.
inline Assets curve_market(const std::vector<std::pair<double, double>>& knots) {
  std::unordered_map<std::string, AssetLogFwd> curves;
  curves.emplace("USD", zero_curve(knots));
  return Assets(std::move(curves), "USD");
}

inline FD1FParams grid_params(Assets assets, std::size_t n_x, double max_x, double timestep,
                              std::uint32_t flags = 0) {
  return FD1FParams{{std::move(assets), kT0, flags}, n_x, max_x, 2 * n_x + 1, timestep};
}

inline double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

// Black-Scholes value of a European call or put.
inline double black_scholes(bool call, double spot, double strike, double rate, double dividend,
                            double vol, double years) {
  const double sd = vol * std::sqrt(years);
  const double d1 = (std::log(spot / strike) + (rate - dividend) * years) / sd + 0.5 * sd;
  const double d2 = d1 - sd;
  const double forward_df = spot * std::exp(-dividend * years);
  const double strike_df = strike * std::exp(-rate * years);
  return call ? forward_df * normal_cdf(d1) - strike_df * normal_cdf(d2)
              : strike_df * normal_cdf(-d2) - forward_df * normal_cdf(-d1);
}

}  // namespace ravlin::testing
