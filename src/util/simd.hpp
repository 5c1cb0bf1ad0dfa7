// Four doubles as one vector of the compiler's generic vector extension: an
// AVX register where the target has one, two SSE registers otherwise. Lane
// arithmetic rounds exactly as the scalar operations it stands for.
#pragma once

#include <cstddef>
#include <cstring>
#include <limits>
#include <span>
#include <utility>

#include "util/portable.hpp"

namespace ravlin::simd {

#if !defined(__GNUC__) && !defined(__clang__)
#error "The SIMD groups need the vector extensions of GCC or Clang (on Windows: clang-cl or MinGW-w64's GCC)"
#endif

inline constexpr std::size_t kGroup = 4;
using Group = double __attribute__((vector_size(kGroup * sizeof(double))));

// The groups never cross a call boundary (these helpers are always inlined),
// so the ABI of passing them by value, which GCC's warning is about, never applies.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

[[gnu::always_inline]] inline Group load_group(const double* at) {
  Group g;
  std::memcpy(&g, at, sizeof g);
  return g;
}

[[gnu::always_inline]] inline void store_group(double* at, Group g) { std::memcpy(at, &g, sizeof g); }

using Mask = long long __attribute__((vector_size(kGroup * sizeof(long long))));

// The lanes of a and b (numbered 0-3 and 4-7) in the order of the indices:
// GCC's generic shuffle, or Clang's, which takes the indices as constants.
#if defined(__clang__)
#define RAVLIN_SHUFFLE(a, b, i, j, k, l) __builtin_shufflevector(a, b, i, j, k, l)
#else
#define RAVLIN_SHUFFLE(a, b, i, j, k, l) __builtin_shuffle(a, b, ::ravlin::simd::Mask{i, j, k, l})
#endif

// a where the mask is set, b elsewhere, by the bits: a blend, not a branch.
[[gnu::always_inline]] inline Group select(Mask mask, Group a, Group b) {
  return reinterpret_cast<Group>((mask & reinterpret_cast<Mask>(a)) | (~mask & reinterpret_cast<Mask>(b)));
}

// All bits set in the lanes that hold a finite number.
[[gnu::always_inline]] inline Mask finite(Group v) {
  constexpr double kMax = std::numeric_limits<double>::max();
  return (v <= kMax) & (v >= -kMax);
}

// Sum of a[i] * b[i] in sixteen running sums (four groups of four lanes):
// independent sums keep the adds from waiting on each other, and the lanes
// round as scalar sums would, whatever the target. With kOnes, `a` is a
// column of ones and each product is b[i] itself, as it would round.
template <bool kOnes>
[[gnu::always_inline]] inline double dot(const double* a, const double* b, std::size_t n) {
  constexpr std::size_t kStride = 4 * kGroup;
  Group s0 = {}, s1 = {}, s2 = {}, s3 = {};
  std::size_t i = 0;
  for (; i + kStride <= n; i += kStride) {
    if constexpr (kOnes) {
      s0 += load_group(b + i);
      s1 += load_group(b + i + kGroup);
      s2 += load_group(b + i + 2 * kGroup);
      s3 += load_group(b + i + 3 * kGroup);
    } else {
      s0 += load_group(a + i) * load_group(b + i);
      s1 += load_group(a + i + kGroup) * load_group(b + i + kGroup);
      s2 += load_group(a + i + 2 * kGroup) * load_group(b + i + 2 * kGroup);
      s3 += load_group(a + i + 3 * kGroup) * load_group(b + i + 3 * kGroup);
    }
  }
  const Group sums = (s0 + s1) + (s2 + s3);
  double tail = 0.0;
  for (; i < n; ++i) tail += kOnes ? b[i] : a[i] * b[i];
  return ((sums[0] + sums[1]) + (sums[2] + sums[3])) + tail;
}

#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// The smallest and the largest finite value (infinity and minus infinity
// when there is none).
std::pair<double, double> finite_range(std::span<const double> values);

// The sum of the squares, as `dot` sums them.
double sum_of_squares(std::span<const double> values);

// Whether every value is finite.
bool all_finite(std::span<const double> values);

// Whether every value equals the first (false when one is NaN, or none is
// there), compared a group at a time.
bool all_equal(std::span<const double> values);

}  // namespace ravlin::simd
