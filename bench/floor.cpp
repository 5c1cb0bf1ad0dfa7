// The cheapest correct forms of the engine's inner loops, built by the
// benchmarks with the machine's compiler, as the floor their times are
// measured against. Each function returns a result so that nothing is
// optimised away.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// Four lanes of doubles, one instruction for all of them.
constexpr std::size_t kGroup = 4;
using Group = double __attribute__((vector_size(kGroup * sizeof(double))));

Group load(const double* at) {
  Group g;
  std::memcpy(&g, at, sizeof g);
  return g;
}

void store(double* at, Group g) { std::memcpy(at, &g, sizeof g); }

}  // namespace

extern "C" {

// `steps` Crank-Nicolson steps of `tracks` interleaved vectors of `n` nodes
// (one lane per track, the lanes padded to whole groups of four), the same
// product, elimination and back substitution as the grid, division for
// division, on constant rows already factorised; every node is floored at
// the track's strike as the substitution writes it, as an American put's
// exercise does, while the substitution carries on with the unfloored value.
// Returns the sum of the middle nodes.
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
  const std::size_t t = tracks == 1 ? 1 : (tracks + kGroup - 1) / kGroup * kGroup;
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
  // z floored at the strikes of its group's lanes, as std::max does.
  const auto floored = [&](Group z, std::size_t g) {
    const Group k = load(strike.data() + g);
    return z < k ? k : z;
  };
  for (std::size_t step = 0; step < steps; ++step) {
    for (std::size_t g = 0; g < t; g += kGroup) {
      store(f + g, r_diag[0] * load(b + g) + r_upper[0] * load(b + t + g));
    }
    for (std::size_t i = 1; i + 1 < n; ++i) {
      for (std::size_t g = 0; g < t; g += kGroup) {
        const Group w = r_lower[i] * load(b + (i - 1) * t + g) + r_diag[i] * load(b + i * t + g) +
                        r_upper[i] * load(b + (i + 1) * t + g);
        store(f + i * t + g, w - multiplier[i] * load(f + (i - 1) * t + g));
      }
    }
    const std::size_t last = n - 1;
    for (std::size_t g = 0; g < t; g += kGroup) {
      const Group w = r_lower[last] * load(b + (last - 1) * t + g) + r_diag[last] * load(b + last * t + g);
      const Group z = (w - multiplier[last] * load(f + (last - 1) * t + g)) / pivot[last];
      store(f + last * t + g, z);
      store(b + last * t + g, floored(z, g));
    }
    for (std::size_t i = n - 1; i-- > 0;) {
      for (std::size_t g = 0; g < t; g += kGroup) {
        const Group z = (load(f + i * t + g) - s_upper[i] * load(f + (i + 1) * t + g)) / pivot[i];
        store(f + i * t + g, z);
        store(b + i * t + g, floored(z, g));
      }
    }
  }
  double sum = 0.0;
  for (std::size_t l = 0; l < tracks; ++l) sum += b[(n / 2) * t + l];
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
