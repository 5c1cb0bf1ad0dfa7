// Least-squares estimates of a per-path quantity from polynomials in per-path
// regressors: the continuation values of exercise decisions on simulated paths.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "util/values.hpp"

namespace ravlin {

// The number of polynomials of total degree <= degree in `variables`
// variables, or nothing when it exceeds `cap`.
std::optional<std::size_t> basis_size(std::size_t variables, std::size_t degree, std::size_t cap);

// A least-squares fit of a target on the products of Legendre polynomials of
// the regressors, each regressor first mapped onto [-1, 1] by its range over
// the fitting paths. The basis holds every product of total degree <= the
// fitted degree, ordered by degree, so the basis of a lower degree is a
// leading block of it and one QR factorisation serves every degree.
class PolynomialRegression {
 public:
  // Fits `target` over the paths of `rows` on which the target and all
  // regressors are finite. Regressors are per-path arrays (or one element for
  // all paths). A regressor that is constant over those paths is left out.
  // The degree falls until there are at least twice as many paths as basis
  // functions and the basis is of full rank; at degree 0 the estimate is the
  // mean. With no fitting path there is no estimate.
  static PolynomialRegression fit(const std::vector<Values>& regressors, const Values& target,
                                  std::span<const std::size_t> rows, std::size_t degree);

  // The estimate on the paths of `rows`, out of `paths`; NaN on the others,
  // where a regressor is not finite, and everywhere when no path entered the fit.
  Values estimate(const std::vector<Values>& regressors, std::span<const std::size_t> rows,
                  std::size_t paths) const;

  // The same on contiguous columns of equal length (a regressor's column and
  // the target's), every value finite: the rows are the columns' elements.
  using Columns = std::span<const std::span<const double>>;
  static PolynomialRegression fit_columns(Columns regressors, std::span<const double> target,
                                          std::size_t degree);
  // The estimate on each row of the columns into `out`; NaN everywhere when
  // no path entered the fit.
  void estimate_columns(Columns regressors, std::span<double> out) const;

  // The degree of the fitted basis; nothing when no path entered the fit.
  std::optional<std::size_t> degree() const { return degree_; }

 private:
  // Affine map of one regressor onto [-1, 1] over the fitting paths.
  struct Scale {
    std::size_t regressor;
    double centre;
    double inverse_half_range;
  };
  class Basis;

  std::size_t terms() const { return coefficients_.size(); }

  std::vector<Scale> scales_;
  // Exponent of each scaled regressor in each basis function (terms × scales).
  std::vector<unsigned> exponents_;
  std::size_t max_degree_ = 0;
  std::vector<double> coefficients_;
  std::optional<std::size_t> degree_;
};

// Per-path regressors gathered on some of the paths into contiguous columns;
// the buffers are kept from one gathering to the next.
class GatheredColumns {
 public:
  // Column i holds regressors[i] (one value per path, or one for all) on
  // each of `rows` in turn.
  void gather(const std::vector<Values>& regressors, std::span<const std::size_t> rows);
  // The same, then drops from the columns and from `rows` alike the rows
  // where a column is not finite.
  void gather_finite(const std::vector<Values>& regressors, std::vector<std::size_t>& rows);
  PolynomialRegression::Columns columns() const { return views_; }

 private:
  void keep_finite(std::vector<std::size_t>& rows);

  std::vector<std::vector<double>> data_;
  std::vector<std::span<const double>> views_;
};

}  // namespace ravlin
