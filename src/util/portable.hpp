// What the core uses beyond standard C++, each with the fallback that a
// compiler or system without it gets, so that a source build elsewhere than
// x86-64 Linux with GCC has a chance. That build takes the first branch of
// each; the fallbacks compute the same values.
#pragma once

#include <cstdint>
#include <limits>

// RAVLIN_CLONES before a function: an AVX2 build of it beside the baseline
// one, the processor's choice made when the module loads. GCC's
// target_clones needs the loader's indirect functions (ELF with glibc);
// elsewhere the baseline build serves alone. Both round alike (no
// contraction into fused multiply-adds in ISO C++ mode).
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__GLIBC__)
#define RAVLIN_CLONES [[gnu::target_clones("avx2", "default")]]
#else
#define RAVLIN_CLONES
#endif

// 1 where x86-64 intrinsics with per-function targets and a run-time check
// of the processor's features are at hand (GCC and Clang on x86-64); the
// loops that use them have portable twins.
#if defined(__GNUC__) && defined(__x86_64__)
#define RAVLIN_X86_64_INTRINSICS 1
#else
#define RAVLIN_X86_64_INTRINSICS 0
#endif

namespace ravlin {

// a - b into `out`, or true (and `out` untouched) when it leaves int64.
inline bool subtraction_overflows(std::int64_t a, std::int64_t b, std::int64_t* out) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_sub_overflow(a, b, out);
#else
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  if ((b > 0 && a < kMin + b) || (b < 0 && a > kMax + b)) return true;
  *out = a - b;
  return false;
#endif
}

}  // namespace ravlin
