// Tridiagonal algebra of the Crank-Nicolson steps.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace ravlin {

// Row i holds lower[i] in column i-1, diag[i] in column i, upper[i] in column
// i+1; lower[0] and upper[n-1] are never read.
struct Tridiagonal {
  std::vector<double> lower;
  std::vector<double> diag;
  std::vector<double> upper;
  std::size_t n = 0;

  explicit Tridiagonal(std::size_t size = 0)
      : lower(size), diag(size), upper(size), n(size) {}

  // y = this * v, for n >= 2.
  std::vector<double> product(const std::vector<double>& v) const;
  // z with this * z = d, Thomas algorithm without pivoting.
  std::vector<double> solve(const std::vector<double>& d) const;
};

// The Crank-Nicolson steps of a grid, applied to every vector of the grid:
// the two matrices of the current step and of the next one, the Thomas
// factorisation of each left-hand matrix, formed once per step, and the
// scratch of the sweeps, all allocated once for the grid's size.
//
// `apply` replaces each vector v by s.solve(r.product(v)) with exactly the
// same floating-point operations in the same order, so the result is the same
// to the last bit; only the work that does not depend on v is shared.
class CnStep {
 public:
  // Vectors swept together, interleaved.
  static constexpr std::size_t kMaxLanes = 4;
  // Doubles held per grid node: both steps' matrices with the factorisation
  // of each, and the sweep scratch.
  static constexpr std::size_t kDoublesPerNode = 2 * (6 + 2) + kMaxLanes;

  explicit CnStep(std::size_t n);

  std::size_t n() const { return n_; }
  // The matrices of the next step, for the grid model to fill: s * z = r * v.
  Tridiagonal& next_s() { return slots_[1 - current_].s; }
  Tridiagonal& next_r() { return slots_[1 - current_].r; }
  // The next step becomes the current one; its s is factorised now unless
  // `apply` already did it.
  void advance();
  // Steps every vector (each of n >= 2 elements) with the current step.
  // With `factor_next`, the next step's s, already filled, is factorised on
  // the way: inside the last back substitution, whose chain of divisions
  // leaves the arithmetic units mostly idle.
  void apply(std::span<double* const> vectors, bool factor_next);

 private:
  struct Slot {
    Tridiagonal s;
    Tridiagonal r;
    std::vector<double> pivot;       // pivot[i] of the elimination of s
    std::vector<double> multiplier;  // multiplier[i] = s.lower[i] / pivot[i-1]
    bool factored = false;
  };

  static void factor(Slot& slot);
  // Product and both sweeps for `Lanes` vectors at once: their recurrences
  // are independent, so interleaving them hides the latency of each chain.
  template <std::size_t Lanes, bool FactorNext>
  void sweep(double* const* vectors);

  std::size_t n_;
  Slot slots_[2];
  int current_ = 0;
  std::vector<double> forward_;  // the eliminated right-hand sides, lane by lane per row
};

}  // namespace ravlin
