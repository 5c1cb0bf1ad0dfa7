#include "ledger/regression.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace ravlin {

namespace {

// Rows of the basis gathered before they are folded into the factorisation.
constexpr std::size_t kBlockRows = 256;
// A basis function whose component orthogonal to the lower ones is below
// this share of its own norm makes the basis rank-deficient.
constexpr double kRankTolerance = 1e-9;

// Regressors hold one value per path or one value for all paths.
void check_lengths(const std::vector<Values>& regressors, std::size_t paths) {
  for (const Values& regressor : regressors) {
    if (regressor.size() != paths && regressor.size() != 1) {
      throw std::invalid_argument("regression: " + LengthMismatch{paths, regressor.size()}.text());
    }
  }
}

// The paths of `rows` on which the regressors (and the target, if given)
// are finite: `rows` itself when they all are, else a copy in `storage`.
// Without branches, since which paths qualify is unpredictable.
std::span<const std::size_t> finite_rows(const std::vector<Values>& regressors,
                                         const Values* target, std::span<const std::size_t> rows,
                                         std::vector<std::size_t>& storage) {
  const auto finite = [&](std::size_t j) {
    bool keep = target == nullptr || std::isfinite((*target)[j]);
    for (const Values& regressor : regressors) keep &= std::isfinite(at_broadcast(regressor, j));
    return keep;
  };
  std::size_t count = 0;
  for (const std::size_t j : rows) count += finite(j);
  if (count == rows.size()) return rows;
  storage.resize(rows.size());
  count = 0;
  for (const std::size_t j : rows) {
    storage[count] = j;
    count += finite(j);
  }
  storage.resize(count);
  return storage;
}

void check_paths(std::span<const std::size_t> rows, std::size_t paths) {
  if (std::ranges::any_of(rows, [paths](std::size_t j) { return j >= paths; })) {
    throw std::invalid_argument("regression: a row beyond the paths");
  }
}

// Sum of a[i] * b[i] in four running sums, which breaks the chain of
// dependent additions that keeps a single sum from pipelining.
double dot(const double* a, const double* b, std::size_t n) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += a[i] * b[i];
    s1 += a[i + 1] * b[i + 1];
    s2 += a[i + 2] * b[i + 2];
    s3 += a[i + 3] * b[i + 3];
  }
  for (; i < n; ++i) s0 += a[i] * b[i];
  return (s0 + s1) + (s2 + s3);
}

// Appends, for total degrees 0 to `degree` in turn, the exponents of every
// product of `variables` factors of that total degree.
void append_exponents(std::size_t variables, std::size_t degree, std::vector<unsigned>& out) {
  std::vector<unsigned> current(variables, 0);
  // Fills position `at` onwards with exponents summing to `left`.
  auto fill = [&](auto& self, std::size_t at, unsigned left) -> void {
    if (at + 1 == variables) {
      current[at] = left;
      out.insert(out.end(), current.begin(), current.end());
      return;
    }
    for (unsigned e = left + 1; e-- > 0;) {
      current[at] = e;
      self(self, at + 1, left - e);
    }
  };
  for (unsigned total = 0; total <= degree; ++total) {
    if (variables > 0) fill(fill, 0, total);
  }
}

// The upper-triangular factor R of the augmented matrix [basis | target]
// (columns × columns, row-major), built block by block: each block of rows is
// folded into R by Householder reflections that act on R's diagonal row and
// the block only, so memory stays at one block whatever the number of paths.
class StreamingQR {
 public:
  explicit StreamingQR(std::size_t columns)
      : columns_(columns), r_(columns * columns, 0.0), block_(columns * kBlockRows, 0.0) {}

  // Column c of the block (kBlockRows entries), filled by the caller.
  double* column(std::size_t c) { return &block_[c * kBlockRows]; }

  // Folds the first `rows` rows of the block into R.
  void fold(std::size_t rows) {
    for (std::size_t k = 0; k < columns_; ++k) reflect(k, rows);
  }

  double r(std::size_t row, std::size_t column) const { return r_[row * columns_ + column]; }
  // The norm of a column of the matrix folded in so far: reflections keep
  // it, so it is the norm of R's column.
  double column_norm(std::size_t column) const {
    double sum = 0.0;
    for (std::size_t row = 0; row <= column; ++row) sum += r(row, column) * r(row, column);
    return std::sqrt(sum);
  }

 private:
  // The reflection that zeroes column k of the block into R[k][k].
  void reflect(std::size_t k, std::size_t rows) {
    const double* vk = column(k);
    const double sigma = dot(vk, vk, rows);
    if (sigma == 0.0) return;
    double& diagonal = r_[k * columns_ + k];
    const double norm = std::sqrt(diagonal * diagonal + sigma);
    const double beta = diagonal >= 0.0 ? -norm : norm;
    const double v0 = diagonal - beta;
    const double inverse_vtv = 2.0 / (v0 * v0 + sigma);
    for (std::size_t c = k + 1; c < columns_; ++c) {
      double* vc = column(c);
      double& rkc = r_[k * columns_ + c];
      const double f = (v0 * rkc + dot(vk, vc, rows)) * inverse_vtv;
      rkc -= f * v0;
      for (std::size_t i = 0; i < rows; ++i) vc[i] -= f * vk[i];
    }
    diagonal = beta;
  }

  std::size_t columns_;
  std::vector<double> r_;
  std::vector<double> block_;  // column-major
};

}  // namespace

// The basis functions of a fit on blocks of paths, one column per function,
// with kBlockRows entries per column.
class PolynomialRegression::Basis {
 public:
  explicit Basis(const PolynomialRegression& fit)
      : fit_(fit), width_(fit.max_degree_ + 1),
        legendre_(fit.scales_.size() * width_ * kBlockRows) {}

  // `value(regressor, row)` is the regressor's value on row `row` of the block.
  template <typename Value>
  void evaluate(std::size_t rows, Value value, double* out) {
    const std::size_t variables = fit_.scales_.size();
    if (variables <= 1) {
      // One variable: the basis is P_0 .. P_degree in that order.
      legendre_of(0, rows, value, out);
      return;
    }
    for (std::size_t i = 0; i < variables; ++i) {
      legendre_of(i, rows, value, &legendre_[i * width_ * kBlockRows]);
    }
    for (std::size_t t = 0; t < fit_.terms(); ++t) {
      double* column = out + t * kBlockRows;
      std::fill(column, column + rows, 1.0);
      for (std::size_t i = 0; i < variables; ++i) {
        const unsigned e = fit_.exponents_[t * variables + i];
        if (e == 0) continue;
        const double* p = polynomial(i, e);
        for (std::size_t r = 0; r < rows; ++r) column[r] *= p[r];
      }
    }
  }

 private:
  double* polynomial(std::size_t scale, std::size_t k) {
    return &legendre_[(scale * width_ + k) * kBlockRows];
  }

  // P_0 .. P_degree of scaled regressor i (none: P_0 alone) into columns
  // of `out`, by the three-term recurrence.
  template <typename Value>
  void legendre_of(std::size_t i, std::size_t rows, Value value, double* out) const {
    const auto column = [out](std::size_t k) { return out + k * kBlockRows; };
    std::fill(column(0), column(0) + rows, 1.0);
    if (width_ == 1 || fit_.scales_.empty()) return;
    const Scale& scale = fit_.scales_[i];
    double* x = column(1);
    for (std::size_t r = 0; r < rows; ++r) {
      x[r] = (value(scale.regressor, r) - scale.centre) * scale.inverse_half_range;
    }
    for (std::size_t k = 1; k + 1 < width_; ++k) {
      const double* pk = column(k);
      const double* previous = column(k - 1);
      double* next = column(k + 1);
      const double a = (2.0 * k + 1.0) / (k + 1.0);
      const double b = k / (k + 1.0);
      for (std::size_t r = 0; r < rows; ++r) next[r] = a * x[r] * pk[r] - b * previous[r];
    }
  }

  const PolynomialRegression& fit_;
  std::size_t width_;
  std::vector<double> legendre_;
};

std::optional<std::size_t> basis_size(std::size_t variables, std::size_t degree,
                                      std::size_t cap) {
  // C(variables + i, i) grows with i and is at least variables + i, which
  // keeps every product below cap squared.
  cap = std::min<std::size_t>(cap, std::size_t{1} << 24);
  std::size_t size = 1;
  for (std::size_t i = 1; i <= degree; ++i) {
    if (variables + i > cap) return std::nullopt;
    size = size * (variables + i) / i;
    if (size > cap) return std::nullopt;
  }
  if (size > cap) return std::nullopt;
  return size;
}

PolynomialRegression PolynomialRegression::fit(const std::vector<Values>& regressors,
                                               const Values& target,
                                               std::span<const std::size_t> rows,
                                               std::size_t degree) {
  const std::size_t paths = target.size();
  check_paths(rows, paths);
  check_lengths(regressors, paths);
  std::vector<std::size_t> storage;
  const std::span<const std::size_t> used = finite_rows(regressors, &target, rows, storage);
  PolynomialRegression fitted;
  if (used.empty()) return fitted;

  for (std::size_t i = 0; i < regressors.size(); ++i) {
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    for (const std::size_t j : used) {
      low = std::min(low, at_broadcast(regressors[i], j));
      high = std::max(high, at_broadcast(regressors[i], j));
    }
    const double inverse = 2.0 / (high - low);
    if (high > low && std::isfinite(inverse)) {
      fitted.scales_.push_back({i, 0.5 * (high + low), inverse});
    }
  }
  const std::size_t variables = fitted.scales_.size();
  if (variables == 0) degree = 0;
  while (degree > 0 && !basis_size(variables, degree, used.size() / 2)) --degree;
  fitted.max_degree_ = degree;
  append_exponents(variables, degree, fitted.exponents_);
  const std::size_t terms = variables == 0 ? 1 : fitted.exponents_.size() / variables;
  fitted.coefficients_.assign(terms, 0.0);

  StreamingQR qr(terms + 1);
  Basis basis(fitted);
  for (std::size_t start = 0; start < used.size(); start += kBlockRows) {
    const std::size_t count = std::min(kBlockRows, used.size() - start);
    const std::size_t* block = &used[start];
    basis.evaluate(count, [&](std::size_t i, std::size_t r) {
      return at_broadcast(regressors[i], block[r]);
    }, qr.column(0));
    double* y = qr.column(terms);
    for (std::size_t r = 0; r < count; ++r) y[r] = target[block[r]];
    qr.fold(count);
  }

  // The highest degree whose leading block of the basis has full rank.
  std::size_t kept = terms;
  std::size_t kept_degree = degree;
  for (std::size_t k = 0; k < terms; ++k) {
    if (std::abs(qr.r(k, k)) > kRankTolerance * qr.column_norm(k)) continue;
    unsigned term_degree = 0;
    for (std::size_t i = 0; i < variables; ++i) term_degree += fitted.exponents_[k * variables + i];
    kept_degree = term_degree == 0 ? 0 : term_degree - 1;
    kept = *basis_size(variables, kept_degree, terms);
    break;
  }
  // R c = Q^T target on the leading block, by back substitution.
  std::vector<double> coefficients(kept, 0.0);
  for (std::size_t k = kept; k-- > 0;) {
    double sum = qr.r(k, terms);
    for (std::size_t c = k + 1; c < kept; ++c) sum -= qr.r(k, c) * coefficients[c];
    coefficients[k] = qr.r(k, k) == 0.0 ? 0.0 : sum / qr.r(k, k);
  }
  fitted.exponents_.resize(kept * variables);
  fitted.coefficients_ = std::move(coefficients);
  fitted.max_degree_ = kept_degree;
  fitted.degree_ = kept_degree;
  return fitted;
}

Values PolynomialRegression::estimate(const std::vector<Values>& regressors,
                                      std::span<const std::size_t> rows,
                                      std::size_t paths) const {
  check_paths(rows, paths);
  check_lengths(regressors, paths);
  Values out(paths, std::numeric_limits<double>::quiet_NaN());
  if (!degree_) return out;
  std::vector<std::size_t> storage;
  const std::span<const std::size_t> wanted = finite_rows(regressors, nullptr, rows, storage);
  Basis basis(*this);
  std::vector<double> columns(terms() * kBlockRows);
  for (std::size_t start = 0; start < wanted.size(); start += kBlockRows) {
    const std::size_t count = std::min(kBlockRows, wanted.size() - start);
    const std::size_t* block = &wanted[start];
    basis.evaluate(count, [&](std::size_t i, std::size_t r) {
      return at_broadcast(regressors[i], block[r]);
    }, columns.data());
    for (std::size_t r = 0; r < count; ++r) {
      double sum = 0.0;
      for (std::size_t t = 0; t < terms(); ++t) sum += coefficients_[t] * columns[t * kBlockRows + r];
      out[block[r]] = sum;
    }
  }
  return out;
}

}  // namespace ravlin
