#include "qmc/regression.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "util/simd.hpp"

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

// The reflection that zeroes column k of the block (its first `rows`
// entries) into r[k][k], applied to the later columns. With kOnes, column k
// holds ones, so its products are the other factor itself.
template <bool kOnes>
[[gnu::always_inline]] inline void reflect(double* r, double* block, std::size_t columns,
                                           std::size_t rows, std::size_t k) {
  const double* vk = block + k * kBlockRows;
  const double sigma = simd::dot<kOnes>(vk, vk, rows);
  if (sigma == 0.0) return;
  double& diagonal = r[k * columns + k];
  const double norm = std::sqrt(diagonal * diagonal + sigma);
  const double beta = diagonal >= 0.0 ? -norm : norm;
  const double v0 = diagonal - beta;
  const double inverse_vtv = 2.0 / (v0 * v0 + sigma);
  for (std::size_t c = k + 1; c < columns; ++c) {
    double* vc = block + c * kBlockRows;
    double& rkc = r[k * columns + c];
    const double f = (v0 * rkc + simd::dot<kOnes>(vk, vc, rows)) * inverse_vtv;
    rkc -= f * v0;
    for (std::size_t i = 0; i < rows; ++i) vc[i] -= kOnes ? f : f * vk[i];
  }
  diagonal = beta;
}

// Folds the first `rows` rows of `block` (column-major, kBlockRows entries a
// column) into the upper-triangular `r` (columns x columns, row-major). The
// block's first column is the constant basis function, all ones.
RAVLIN_CLONES void fold_block(double* r, double* block,
                                                         std::size_t columns, std::size_t rows) {
  reflect<true>(r, block, columns, rows, 0);
  for (std::size_t k = 1; k < columns; ++k) reflect<false>(r, block, columns, rows, k);
}

// P_0 .. P_(width-1) of (x - centre) * inverse_half_range into the columns
// of `out` (kBlockRows entries each), by the three-term recurrence.
RAVLIN_CLONES void legendre_columns(const double* x, double centre,
                                                               double inverse_half_range,
                                                               std::size_t width,
                                                               std::size_t rows, double* out) {
  const auto column = [out](std::size_t k) { return out + k * kBlockRows; };
  std::fill(column(0), column(0) + rows, 1.0);
  if (width == 1) return;
  double* scaled = column(1);
  for (std::size_t r = 0; r < rows; ++r) scaled[r] = (x[r] - centre) * inverse_half_range;
  for (std::size_t k = 1; k + 1 < width; ++k) {
    const double* pk = column(k);
    const double* previous = column(k - 1);
    double* next = column(k + 1);
    const double a = (2.0 * k + 1.0) / (k + 1.0);
    const double b = k / (k + 1.0);
    for (std::size_t r = 0; r < rows; ++r) next[r] = a * scaled[r] * pk[r] - b * previous[r];
  }
}

// The series sum of c[k] P_k(t) at t = (x - centre) * inverse_half_range on
// each row, by Clenshaw's recurrence: no column of the basis is formed.
RAVLIN_CLONES void legendre_series(const double* x, std::size_t rows,
                                                              double centre,
                                                              double inverse_half_range,
                                                              const double* c, std::size_t terms,
                                                              double* out) {
  double t[kBlockRows], odd[kBlockRows], even[kBlockRows];
  for (std::size_t first = 0; first < rows; first += kBlockRows) {
    const std::size_t count = std::min(kBlockRows, rows - first);
    for (std::size_t r = 0; r < count; ++r) {
      t[r] = (x[first + r] - centre) * inverse_half_range;
      odd[r] = 0.0;
      even[r] = 0.0;
    }
    // b_k = c_k + (2k+1)/(k+1) t b_(k+1) - (k+1)/(k+2) b_(k+2), from the top
    // down; b_k overwrites b_(k+2), so `later` holds b_(k+1) and `latest` b_k.
    double* later = odd;
    double* latest = even;
    for (std::size_t k = terms; k-- > 1;) {
      const double ck = c[k];
      const double a = (2.0 * k + 1.0) / (k + 1.0);
      const double b = (k + 1.0) / (k + 2.0);
      for (std::size_t r = 0; r < count; ++r) latest[r] = ck + a * t[r] * later[r] - b * latest[r];
      std::swap(later, latest);
    }
    // Now `later` holds b_1 and `latest` b_2.
    const double c0 = c[0];
    for (std::size_t r = 0; r < count; ++r) out[first + r] = c0 + t[r] * later[r] - 0.5 * latest[r];
  }
}

// out[r] = sum over t of coefficients[t] * column t, summed from t = 0 up.
RAVLIN_CLONES void combine_columns(const double* coefficients,
                                                              std::size_t terms,
                                                              const double* columns,
                                                              std::size_t rows, double* out) {
  std::fill(out, out + rows, 0.0);
  for (std::size_t t = 0; t < terms; ++t) {
    const double c = coefficients[t];
    const double* column = columns + t * kBlockRows;
    for (std::size_t r = 0; r < rows; ++r) out[r] += c * column[r];
  }
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
// (columns x columns, row-major), built block by block: each block of rows is
// folded into R by Householder reflections that act on R's diagonal row and
// the block only, so memory stays at one block whatever the number of paths.
class StreamingQR {
 public:
  explicit StreamingQR(std::size_t columns)
      : columns_(columns), r_(columns * columns, 0.0), block_(columns * kBlockRows, 0.0) {}

  // Column c of the block (kBlockRows entries), filled by the caller;
  // column 0 is the constant function, ones.
  double* column(std::size_t c) { return &block_[c * kBlockRows]; }

  // Folds the first `rows` rows of the block into R.
  void fold(std::size_t rows) { fold_block(r_.data(), block_.data(), columns_, rows); }

  double r(std::size_t row, std::size_t column) const { return r_[row * columns_ + column]; }
  // The norm of a column of the matrix folded in so far: reflections keep
  // it, so it is the norm of R's column.
  double column_norm(std::size_t column) const {
    double sum = 0.0;
    for (std::size_t row = 0; row <= column; ++row) sum += r(row, column) * r(row, column);
    return std::sqrt(sum);
  }

 private:
  std::size_t columns_;
  std::vector<double> r_;
  std::vector<double> block_;  // column-major
};

}  // namespace

// The basis functions of a fit on blocks of rows, one column per function,
// with kBlockRows entries per column.
class PolynomialRegression::Basis {
 public:
  explicit Basis(const PolynomialRegression& fit)
      : fit_(fit), width_(fit.max_degree_ + 1),
        legendre_(fit.scales_.size() * width_ * kBlockRows) {}

  // The basis on `rows` rows that start at `first` in every column.
  void evaluate(Columns regressors, std::size_t first, std::size_t rows, double* out) {
    const std::size_t variables = fit_.scales_.size();
    if (variables == 0) {
      std::fill(out, out + rows, 1.0);
      return;
    }
    if (variables == 1) {
      // One variable: the basis is P_0 .. P_degree in that order.
      legendre_of(0, regressors, first, rows, out);
      return;
    }
    for (std::size_t i = 0; i < variables; ++i) {
      legendre_of(i, regressors, first, rows, &legendre_[i * width_ * kBlockRows]);
    }
    for (std::size_t t = 0; t < fit_.terms(); ++t) {
      double* column = out + t * kBlockRows;
      std::fill(column, column + rows, 1.0);
      for (std::size_t i = 0; i < variables; ++i) {
        const unsigned e = fit_.exponents_[t * variables + i];
        if (e == 0) continue;
        const double* p = &legendre_[(i * width_ + e) * kBlockRows];
        for (std::size_t r = 0; r < rows; ++r) column[r] *= p[r];
      }
    }
  }

 private:
  void legendre_of(std::size_t i, Columns regressors, std::size_t first, std::size_t rows,
                   double* out) const {
    const Scale& scale = fit_.scales_[i];
    legendre_columns(regressors[scale.regressor].data() + first, scale.centre,
                     scale.inverse_half_range, width_, rows, out);
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
  GatheredColumns gathered;
  gathered.gather(regressors, used);
  std::vector<double> y(used.size());
  for (std::size_t k = 0; k < used.size(); ++k) y[k] = target[used[k]];
  return fit_columns(gathered.columns(), y, degree);
}

PolynomialRegression PolynomialRegression::fit_columns(Columns regressors,
                                                       std::span<const double> target,
                                                       std::size_t degree) {
  PolynomialRegression fitted;
  const std::size_t rows = target.size();
  if (rows == 0) return fitted;
  for (std::size_t i = 0; i < regressors.size(); ++i) {
    if (regressors[i].size() != rows) {
      throw std::invalid_argument("regression: " + LengthMismatch{rows, regressors[i].size()}.text());
    }
    const auto [low, high] = simd::finite_range(regressors[i]);
    const double inverse = 2.0 / (high - low);
    if (high > low && std::isfinite(inverse)) {
      fitted.scales_.push_back({i, 0.5 * (high + low), inverse});
    }
  }
  const std::size_t variables = fitted.scales_.size();
  if (variables == 0) degree = 0;
  while (degree > 0 && !basis_size(variables, degree, rows / 2)) --degree;
  fitted.max_degree_ = degree;
  append_exponents(variables, degree, fitted.exponents_);
  const std::size_t terms = variables == 0 ? 1 : fitted.exponents_.size() / variables;
  fitted.coefficients_.assign(terms, 0.0);

  StreamingQR qr(terms + 1);
  Basis basis(fitted);
  for (std::size_t first = 0; first < rows; first += kBlockRows) {
    const std::size_t count = std::min(kBlockRows, rows - first);
    basis.evaluate(regressors, first, count, qr.column(0));
    std::copy_n(target.data() + first, count, qr.column(terms));
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
  GatheredColumns gathered;
  gathered.gather(regressors, wanted);
  std::vector<double> estimates(wanted.size());
  estimate_columns(gathered.columns(), estimates);
  for (std::size_t k = 0; k < wanted.size(); ++k) out[wanted[k]] = estimates[k];
  return out;
}

void PolynomialRegression::estimate_columns(Columns regressors, std::span<double> out) const {
  if (!degree_) {
    std::fill(out.begin(), out.end(), std::numeric_limits<double>::quiet_NaN());
    return;
  }
  for (const std::span<const double> column : regressors) {
    if (column.size() != out.size()) {
      throw std::invalid_argument("regression: " + LengthMismatch{out.size(), column.size()}.text());
    }
  }
  if (scales_.size() == 1) {
    const Scale& scale = scales_.front();
    legendre_series(regressors[scale.regressor].data(), out.size(), scale.centre,
                    scale.inverse_half_range, coefficients_.data(), terms(), out.data());
    return;
  }
  Basis basis(*this);
  std::vector<double> columns(terms() * kBlockRows);
  for (std::size_t first = 0; first < out.size(); first += kBlockRows) {
    const std::size_t count = std::min(kBlockRows, out.size() - first);
    basis.evaluate(regressors, first, count, columns.data());
    combine_columns(coefficients_.data(), terms(), columns.data(), count, out.data() + first);
  }
}

void GatheredColumns::gather(const std::vector<Values>& regressors,
                             std::span<const std::size_t> rows) {
  data_.resize(regressors.size());
  views_.resize(regressors.size());
  for (std::size_t i = 0; i < regressors.size(); ++i) {
    std::vector<double>& column = data_[i];
    column.resize(rows.size());
    const Values& from = regressors[i];
    if (from.size() == 1) {
      std::fill(column.begin(), column.end(), from[0]);
    } else {
      for (std::size_t k = 0; k < rows.size(); ++k) column[k] = from[rows[k]];
    }
    views_[i] = column;
  }
}

void GatheredColumns::gather_finite(const std::vector<Values>& regressors,
                                    std::vector<std::size_t>& rows) {
  gather(regressors, rows);
  keep_finite(rows);
}

void GatheredColumns::keep_finite(std::vector<std::size_t>& rows) {
  std::size_t count = 0;
  for (std::size_t k = 0; k < rows.size(); ++k) {
    bool keep = true;
    for (const std::vector<double>& column : data_) keep &= std::isfinite(column[k]);
    for (std::vector<double>& column : data_) column[count] = column[k];
    rows[count] = rows[k];
    count += keep;
  }
  rows.resize(count);
  for (std::size_t i = 0; i < data_.size(); ++i) {
    data_[i].resize(count);
    views_[i] = data_[i];
  }
}

}  // namespace ravlin
