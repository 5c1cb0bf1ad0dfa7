#include "util/simd.hpp"

namespace ravlin::simd {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMax = std::numeric_limits<double>::max();

// The smallest and the largest finite value seen, lane by lane and blended.
struct FiniteRange {
  Group low = {kInf, kInf, kInf, kInf};
  Group high = {-kInf, -kInf, -kInf, -kInf};

  [[gnu::always_inline]] void add(const Group& v) {
    const Mask kept = finite(v);
    low = select(kept & (v < low), v, low);
    high = select(kept & (v > high), v, high);
  }
};

}  // namespace

// Four ranges over interleaved groups, so that each group's compare and
// blend do not wait on the previous group's; merged at the end.
RAVLIN_CLONES std::pair<double, double> finite_range(
    std::span<const double> values) {
  constexpr std::size_t kStride = 4 * kGroup;
  FiniteRange r0, r1, r2, r3;
  std::size_t i = 0;
  for (; i + kStride <= values.size(); i += kStride) {
    r0.add(load_group(values.data() + i));
    r1.add(load_group(values.data() + i + kGroup));
    r2.add(load_group(values.data() + i + 2 * kGroup));
    r3.add(load_group(values.data() + i + 3 * kGroup));
  }
  for (; i + kGroup <= values.size(); i += kGroup) r0.add(load_group(values.data() + i));
  r0.add(r1.low), r0.add(r1.high), r0.add(r2.low), r0.add(r2.high), r0.add(r3.low), r0.add(r3.high);
  double lo = kInf, hi = -kInf;
  for (std::size_t l = 0; l < kGroup; ++l) {
    lo = r0.low[l] < lo ? r0.low[l] : lo;
    hi = r0.high[l] > hi ? r0.high[l] : hi;
  }
  for (; i < values.size(); ++i) {
    const double v = values[i];
    const bool finite = v <= kMax && v >= -kMax;
    lo = finite && v < lo ? v : lo;
    hi = finite && v > hi ? v : hi;
  }
  return {lo, hi};
}

RAVLIN_CLONES double sum_of_squares(std::span<const double> values) {
  return dot<false>(values.data(), values.data(), values.size());
}

RAVLIN_CLONES bool all_finite(std::span<const double> values) {
  Mask all_lanes = {-1, -1, -1, -1};
  std::size_t i = 0;
  for (; i + kGroup <= values.size(); i += kGroup) all_lanes &= finite(load_group(values.data() + i));
  bool all = (all_lanes[0] & all_lanes[1] & all_lanes[2] & all_lanes[3]) != 0;
  for (; i < values.size(); ++i) all &= values[i] <= kMax && values[i] >= -kMax;
  return all;
}

RAVLIN_CLONES bool all_equal(std::span<const double> values) {
  if (values.empty()) return false;
  const double first = values[0];
  const Group firsts = {first, first, first, first};
  Mask same = {-1, -1, -1, -1};
  std::size_t i = 0;
  for (; i + kGroup <= values.size(); i += kGroup) same &= load_group(values.data() + i) == firsts;
  bool all = (same[0] & same[1] & same[2] & same[3]) != 0;
  for (; i < values.size(); ++i) all &= values[i] == first;
  return all;
}

}  // namespace ravlin::simd
