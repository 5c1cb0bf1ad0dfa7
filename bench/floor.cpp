// The cheapest correct forms of the engine's inner loops, built by the
// benchmarks with the machine's compiler, as the floor their times are
// measured against. Each function returns a result so that nothing is
// optimised away.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" {

// `steps` Crank-Nicolson steps of `tracks` interleaved vectors of `n` nodes
// (one lane per track), the same product, elimination and back substitution
// as the grid, division for division, on constant rows already factorised;
// after each step every node is floored at the track's strike, as an
// American put's exercise does. Returns the sum of the middle nodes.
double cn_floor(std::size_t n, std::size_t tracks, std::size_t steps, double lower, double diag,
                double upper) {
  std::vector<double> r_lower(n, lower), r_diag(n, diag), r_upper(n, upper);
  std::vector<double> s_lower(n, -lower), s_diag(n, -2.0 - diag), s_upper(n, -upper);
  std::vector<double> pivot(n), multiplier(n);
  pivot[0] = s_diag[0];
  for (std::size_t i = 1; i < n; ++i) {
    multiplier[i] = s_lower[i] / pivot[i - 1];
    pivot[i] = s_diag[i] - multiplier[i] * s_upper[i - 1];
  }
  const std::size_t t = tracks;
  std::vector<double> v(n * t), e(n * t), strike(t);
  for (std::size_t l = 0; l < t; ++l) strike[l] = 90.0 + 2.0 * static_cast<double>(l);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t l = 0; l < t; ++l) v[i * t + l] = 50.0 + 100.0 * static_cast<double>(i) / n;
  }
  double* b = v.data();
  double* f = e.data();
  if (t == 1) {
    // One track: the carries stay in registers.
    for (std::size_t step = 0; step < steps; ++step) {
      double carry = r_diag[0] * b[0] + r_upper[0] * b[1];
      f[0] = carry;
      for (std::size_t i = 1; i + 1 < n; ++i) {
        carry = (r_lower[i] * b[i - 1] + r_diag[i] * b[i] + r_upper[i] * b[i + 1]) - multiplier[i] * carry;
        f[i] = carry;
      }
      carry = (r_lower[n - 1] * b[n - 2] + r_diag[n - 1] * b[n - 1]) - multiplier[n - 1] * carry;
      carry = carry / pivot[n - 1];
      b[n - 1] = std::max(carry, strike[0]);
      for (std::size_t i = n - 1; i-- > 0;) {
        carry = (f[i] - s_upper[i] * carry) / pivot[i];
        b[i] = std::max(carry, strike[0]);
      }
    }
    return b[n / 2];
  }
  for (std::size_t step = 0; step < steps; ++step) {
    for (std::size_t l = 0; l < t; ++l) f[l] = r_diag[0] * b[l] + r_upper[0] * b[t + l];
    for (std::size_t i = 1; i + 1 < n; ++i) {
      for (std::size_t l = 0; l < t; ++l) {
        const double w = r_lower[i] * b[(i - 1) * t + l] + r_diag[i] * b[i * t + l] +
                         r_upper[i] * b[(i + 1) * t + l];
        f[i * t + l] = w - multiplier[i] * f[(i - 1) * t + l];
      }
    }
    for (std::size_t l = 0; l < t; ++l) {
      const std::size_t i = n - 1;
      const double w = r_lower[i] * b[(i - 1) * t + l] + r_diag[i] * b[i * t + l];
      f[i * t + l] = w - multiplier[i] * f[(i - 1) * t + l];
      b[i * t + l] = f[i * t + l] / pivot[i];
    }
    for (std::size_t i = n - 1; i-- > 0;) {
      for (std::size_t l = 0; l < t; ++l) {
        b[i * t + l] = (f[i * t + l] - s_upper[i] * b[(i + 1) * t + l]) / pivot[i];
      }
    }
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t l = 0; l < t; ++l) b[i * t + l] = std::max(b[i * t + l], strike[l]);
    }
  }
  double sum = 0.0;
  for (std::size_t l = 0; l < t; ++l) sum += b[(n / 2) * t + l];
  return sum;
}

// The fixed model's valuation of payments on one discount curve: per event a
// binary search of the knots, the linear interpolation of the log discount
// factor (a straight line from 0 before the first knot), exp, times the
// quantity, summed.
double fixed_floor(const std::int64_t* times_ms, const double* quantities, std::size_t events,
                   std::int64_t pricing_ms, const double* knot_times, const double* knot_logs,
                   std::size_t knots) {
  const double year_ms = 31536000000.0;
  double sum = 0.0;
  for (std::size_t k = 0; k < events; ++k) {
    const double t = static_cast<double>(times_ms[k] - pricing_ms) / year_ms;
    double log_df;
    if (t <= knot_times[0]) {
      log_df = knot_logs[0] * t / knot_times[0];
    } else {
      const std::size_t above =
          static_cast<std::size_t>(std::upper_bound(knot_times, knot_times + knots, t) - knot_times);
      const std::size_t i = std::min(above - 1, knots - 2);
      log_df = knot_logs[i] + (knot_logs[i + 1] - knot_logs[i]) / (knot_times[i + 1] - knot_times[i]) *
                                  (t - knot_times[i]);
    }
    sum += quantities[k] * std::exp(-log_df);
  }
  return sum;
}

}  // extern "C"
