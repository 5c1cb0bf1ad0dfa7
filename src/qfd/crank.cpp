#include "qfd/crank.hpp"

// The shared step must round exactly as product and solve do, whatever the
// target: no multiply and add may be fused into one rounding.
#pragma GCC optimize("fp-contract=off")

namespace ravlin {

// ---------------------------------------------------------------------------
// Tridiagonal

std::vector<double> Tridiagonal::product(const std::vector<double>& v) const {
  std::vector<double> y(n);
  y[0] = diag[0] * v[0] + upper[0] * v[1];
  for (std::size_t i = 1; i + 1 < n; ++i) {
    y[i] = lower[i] * v[i - 1] + diag[i] * v[i] + upper[i] * v[i + 1];
  }
  y[n - 1] = lower[n - 1] * v[n - 2] + diag[n - 1] * v[n - 1];
  return y;
}

std::vector<double> Tridiagonal::solve(const std::vector<double>& d) const {
  std::vector<double> b(diag.begin(), diag.end());
  std::vector<double> e(d.begin(), d.end());
  for (std::size_t i = 1; i < n; ++i) {
    const double m = lower[i] / b[i - 1];
    b[i] = diag[i] - m * upper[i - 1];
    e[i] = d[i] - m * e[i - 1];
  }
  std::vector<double> z(n);
  z[n - 1] = e[n - 1] / b[n - 1];
  for (std::size_t i = n - 1; i-- > 0;) {
    z[i] = (e[i] - upper[i] * z[i + 1]) / b[i];
  }
  return z;
}

// ---------------------------------------------------------------------------
// CnStep

CnStep::CnStep(std::size_t n)
    : n_(n),
      slots_{{Tridiagonal(n), Tridiagonal(n), std::vector<double>(n), std::vector<double>(n)},
             {Tridiagonal(n), Tridiagonal(n), std::vector<double>(n), std::vector<double>(n)}},
      forward_(kMaxLanes * n) {}

void CnStep::factor(Slot& slot) {
  const std::size_t n = slot.s.n;
  const double* lower = slot.s.lower.data();
  const double* diag = slot.s.diag.data();
  const double* upper = slot.s.upper.data();
  double* pivot = slot.pivot.data();
  double* multiplier = slot.multiplier.data();
  // The pivot is carried in a register: reading it back from memory would
  // add a store-to-load delay to every link of the chain.
  double p = diag[0];
  pivot[0] = p;
  for (std::size_t i = 1; i < n; ++i) {
    const double m = lower[i] / p;
    multiplier[i] = m;
    p = diag[i] - m * upper[i - 1];
    pivot[i] = p;
  }
  slot.factored = true;
}

void CnStep::advance() {
  current_ = 1 - current_;
  Slot& slot = slots_[current_];
  if (!slot.factored) factor(slot);
  slots_[1 - current_].factored = false;
}

template <std::size_t Lanes, bool FactorNext>
void CnStep::sweep(double* const* vectors) {
  const std::size_t n = n_;
  const Slot& step = slots_[current_];
  const double* r_lower = step.r.lower.data();
  const double* r_diag = step.r.diag.data();
  const double* r_upper = step.r.upper.data();
  const double* s_upper = step.s.upper.data();
  const double* pivot = step.pivot.data();
  const double* multiplier = step.multiplier.data();
  double* e = forward_.data();
  double* v[Lanes];
  for (std::size_t l = 0; l < Lanes; ++l) v[l] = vectors[l];

  // Product row by row, each row at once the next right-hand side of the
  // elimination.
  double carry[Lanes];
  for (std::size_t l = 0; l < Lanes; ++l) {
    carry[l] = r_diag[0] * v[l][0] + r_upper[0] * v[l][1];
    e[l] = carry[l];
  }
  for (std::size_t i = 1; i + 1 < n; ++i) {
    const double m = multiplier[i];
    for (std::size_t l = 0; l < Lanes; ++l) {
      const double w = r_lower[i] * v[l][i - 1] + r_diag[i] * v[l][i] + r_upper[i] * v[l][i + 1];
      carry[l] = w - m * carry[l];
      e[i * Lanes + l] = carry[l];
    }
  }
  {
    const std::size_t i = n - 1;
    const double m = multiplier[i];
    for (std::size_t l = 0; l < Lanes; ++l) {
      const double w = r_lower[i] * v[l][i - 1] + r_diag[i] * v[l][i];
      carry[l] = w - m * carry[l];
    }
  }

  // Back substitution, over the vectors: the product no longer needs them.
  for (std::size_t l = 0; l < Lanes; ++l) {
    carry[l] = carry[l] / pivot[n - 1];
    v[l][n - 1] = carry[l];
  }
  if constexpr (FactorNext) {
    // The next step's elimination runs upward through the rows while the
    // substitution runs downward: two independent chains in one loop.
    Slot& next = slots_[1 - current_];
    const double* lower = next.s.lower.data();
    const double* diag = next.s.diag.data();
    const double* upper = next.s.upper.data();
    double* next_pivot = next.pivot.data();
    double* next_multiplier = next.multiplier.data();
    double p = diag[0];
    next_pivot[0] = p;
    for (std::size_t j = 1; j < n; ++j) {
      const std::size_t i = n - 1 - j;
      for (std::size_t l = 0; l < Lanes; ++l) {
        carry[l] = (e[i * Lanes + l] - s_upper[i] * carry[l]) / pivot[i];
        v[l][i] = carry[l];
      }
      const double m = lower[j] / p;
      next_multiplier[j] = m;
      p = diag[j] - m * upper[j - 1];
      next_pivot[j] = p;
    }
    next.factored = true;
  } else {
    for (std::size_t i = n - 1; i-- > 0;) {
      for (std::size_t l = 0; l < Lanes; ++l) {
        carry[l] = (e[i * Lanes + l] - s_upper[i] * carry[l]) / pivot[i];
        v[l][i] = carry[l];
      }
    }
  }
}

void CnStep::apply(std::span<double* const> vectors, bool factor_next) {
  std::size_t done = 0;
  const std::size_t count = vectors.size();
  // Groups of four, then one group of the rest; the factorisation of the
  // next step rides along with the last group.
  while (count - done > kMaxLanes) {
    sweep<kMaxLanes, false>(vectors.data() + done);
    done += kMaxLanes;
  }
  double* const* rest = vectors.data() + done;
  const auto last_group = [&]<bool FactorNext>() {
    switch (count - done) {
      case 4: sweep<4, FactorNext>(rest); return true;
      case 3: sweep<3, FactorNext>(rest); return true;
      case 2: sweep<2, FactorNext>(rest); return true;
      case 1: sweep<1, FactorNext>(rest); return true;
      default: return false;
    }
  };
  if (factor_next) {
    if (!last_group.template operator()<true>()) factor(slots_[1 - current_]);
  } else {
    last_group.template operator()<false>();
  }
}

}  // namespace ravlin
