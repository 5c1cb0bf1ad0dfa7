#include "util/simd.hpp"

namespace ravlin::simd {

#pragma GCC diagnostic ignored "-Wpsabi"  // groups never cross a call boundary

// A group of lanes at a time, blended rather than branched.
[[gnu::target_clones("avx2", "default")]] std::pair<double, double> finite_range(
    std::span<const double> values) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  constexpr double kMax = std::numeric_limits<double>::max();
  Group low = {kInf, kInf, kInf, kInf};
  Group high = -low;
  std::size_t i = 0;
  for (; i + kGroup <= values.size(); i += kGroup) {
    const Group v = load_group(values.data() + i);
    const Mask finite = (v <= kMax) & (v >= -kMax);
    low = select(finite & (v < low), v, low);
    high = select(finite & (v > high), v, high);
  }
  double lo = kInf, hi = -kInf;
  for (std::size_t l = 0; l < kGroup; ++l) {
    lo = low[l] < lo ? low[l] : lo;
    hi = high[l] > hi ? high[l] : hi;
  }
  for (; i < values.size(); ++i) {
    const double v = values[i];
    const bool finite = v <= kMax && v >= -kMax;
    lo = finite && v < lo ? v : lo;
    hi = finite && v > hi ? v : hi;
  }
  return {lo, hi};
}

}  // namespace ravlin::simd
