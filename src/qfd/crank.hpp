// Tridiagonal algebra of the Crank-Nicolson steps.
#pragma once

#include <cstddef>
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

}  // namespace ravlin
