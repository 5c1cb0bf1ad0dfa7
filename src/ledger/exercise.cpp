#include "ledger/exercise.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>

#include "ledger/regression.hpp"
#include "util/simd.hpp"

namespace ravlin {

namespace {

// Offers within this share of their largest magnitude count as equal, so
// that an offer that is the same in money of the event's date stays the same
// after the division by the path's discount.
constexpr double kSameOffer = 1e-12;

// Whether `a` is what the chooser prefers to `b`: ">" the larger, "<" the smaller.
bool beats(bool larger, double a, double b) { return larger ? a > b : a < b; }

// Whether a discount is a positive finite number, by which values can be
// brought to the event's date.
bool usable(double discount) {
  return discount > 0.0 && discount <= std::numeric_limits<double>::max();
}

// value / discount on each path into `out`; NaN where the discount is not
// usable, so that such paths neither enter a fit nor exercise. A discount
// that is the same on every path takes a loop that vectorises.
[[gnu::target_clones("avx2", "default")]] void at_event_date(const Values& value,
                                                            const Values& discount,
                                                            std::size_t paths,
                                                            std::vector<double>& out) {
  out.resize(paths);
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  if (discount.size() == 1 && value.size() == paths) {
    const double d = usable(discount[0]) ? discount[0] : kNaN;
    for (std::size_t j = 0; j < paths; ++j) out[j] = value[j] / d;
    return;
  }
  for (std::size_t j = 0; j < paths; ++j) {
    const double d = at_broadcast(discount, j);
    out[j] = usable(d) ? at_broadcast(value, j) / d : kNaN;
  }
}

// value / discount on each path of `rows`, whose discounts are usable, into
// `out`: gathered first, then divided in a loop that vectorises.
[[gnu::target_clones("avx2", "default")]] void gather_at_event_date(
    const Values& value, const Values& discount, std::span<const std::size_t> rows,
    std::vector<double>& out) {
  out.resize(rows.size());
  for (std::size_t k = 0; k < rows.size(); ++k) out[k] = value[rows[k]];
  if (discount.size() == 1) {
    const double d = discount[0];
    for (double& v : out) v /= d;
    return;
  }
  for (std::size_t k = 0; k < rows.size(); ++k) out[k] /= discount[rows[k]];
}

// One element when every path holds the same value.
Values compact(const Values& values) {
  // Compared on every path without stopping early, so the loop vectorises.
  bool same = true;
  for (const double v : values) same &= v == values[0];
  return same && !values.empty() ? Values::scalar(values[0]) : values;
}

// The paths where exercise can matter, in order, into `play` (and their
// offers into `offers_in_play`): the offer is better for the
// chooser than its least favourable value over all paths (a put out of the
// money is never exercised). When the offer is the same on every path, every
// path with a finite offer.
// Returns whether the finite offers are all the same.
bool in_play(bool larger, std::span<const double> offer, std::vector<std::size_t>& play,
             std::vector<double>& offers_in_play) {
  const auto [low, high] = simd::finite_range(offer);
  const double worst = larger ? low : high;
  const double magnitude = low <= high ? std::max(std::abs(low), std::abs(high)) : 0.0;
  const double tolerance = kSameOffer * magnitude;
  const double threshold = larger ? worst + tolerance : worst - tolerance;
  // Lists the paths where `keep` holds, without branching on it.
  play.resize(offer.size());
  offers_in_play.resize(offer.size());
  const auto select = [&](auto keep) {
    std::size_t count = 0;
    for (std::size_t j = 0; j < offer.size(); ++j) {
      const double v = offer[j];
      play[count] = j;
      offers_in_play[count] = v;
      count += keep(v);
    }
    return count;
  };
  // NaN beats nothing; infinities are left out explicitly.
  const double limit = std::numeric_limits<double>::max();
  std::size_t count =
      larger ? select([&](double v) { return (v > threshold) & (v <= limit); })
             : select([&](double v) { return (v < threshold) & (v >= -limit); });
  if (count == 0) count = select([](double v) { return std::isfinite(v); });
  play.resize(count);
  offers_in_play.resize(count);
  return low == high;
}

ValuesOr<void> check_fits(const Values& values, std::size_t paths) {
  if (broadcast_length(paths, values.size()) == paths) return {};
  return std::unexpected(LengthMismatch{paths, values.size()});
}

}  // namespace

void ExerciseRegression::save(std::uint64_t event, const Values& discount,
                              std::vector<Values> regressors) {
  // A discount that is the same on every path (deterministic rates) is kept once.
  saved_.insert_or_assign(event, ChoiceInputs{compact(discount), std::move(regressors)});
}

ValuesOr<std::span<const std::uint64_t>> ExerciseRegression::decide(const Op& op, std::uint64_t event, const Values& pv,
                                          const Values& offer) {
  const auto found = saved_.find(event);
  if (found == saved_.end()) {
    throw std::logic_error("no regressors saved for event " + std::to_string(event));
  }
  const ChoiceInputs inputs = std::move(found->second);
  saved_.erase(found);
  if (pv.size() != paths_) return std::unexpected(LengthMismatch{paths_, pv.size()});
  RV_TRY(check_fits(offer, paths_));
  RV_TRY(check_fits(inputs.discount, paths_));
  for (const Values& regressor : inputs.regressors) RV_TRY(check_fits(regressor, paths_));

  const bool larger = op.is_max();
  at_event_date(offer, inputs.discount, paths_, offered_);
  std::vector<std::size_t>& play = play_;
  const bool same_offer = in_play(larger, offered_, play, offer_column_);
  if (inputs.regressors.empty()) {
    // The offer is its own regressor, finite on every path in play.
    views_.assign(1, offer_column_);
  } else {
    gathered_.gather_finite(inputs.regressors, play);
  }
  const PolynomialRegression::Columns columns =
      inputs.regressors.empty() ? PolynomialRegression::Columns(views_) : gathered_.columns();
  const std::size_t fitting =
      settings_.calibration_paths > 0
          ? static_cast<std::size_t>(std::ranges::lower_bound(play, settings_.calibration_paths) -
                                     play.begin())
          : play.size();
  gather_at_event_date(pv, inputs.discount, std::span(play).first(fitting), continuation_);
  taken_.assign(paths_, 0);
  if (same_offer && offer_beats_every_fit(larger, play)) {
    for (const std::size_t j : play) taken_[j] = 1;
    return std::span<const std::uint64_t>(taken_);
  }
  const PolynomialRegression fit = fit_continuation(columns);
  estimate_.resize(play.size());
  fit.estimate_columns(columns, estimate_);
  for (std::size_t k = 0; k < play.size(); ++k) {
    taken_[play[k]] = beats(larger, offered_[play[k]], estimate_[k]);
  }
  return std::span<const std::uint64_t>(taken_);
}

// Whether the offer, the same on every path in play, wins on all of them
// whatever the fit: it is beyond twice the norm of the continuations, which
// bounds every fitted value when the fit runs on exactly these paths (a
// least-squares fit projects the continuations). An issuer's reset to an
// unbeatable value is decided so without a fit.
bool ExerciseRegression::offer_beats_every_fit(bool larger, std::span<const std::size_t> play) const {
  if (play.empty() || continuation_.size() != play.size()) return false;
  const double offer = offered_[play.front()];
  double squares = 0.0;
  for (const double c : continuation_) squares += c * c;
  const double bound = 2.0 * std::sqrt(squares);  // NaN or infinity when a continuation is
  return larger ? offer > bound : offer < -bound;
}

// The fit of the continuation in money of the event's date on the leading
// rows of `columns` whose path fits (all, or the calibration paths alone) and
// whose continuation is finite.
PolynomialRegression ExerciseRegression::fit_continuation(PolynomialRegression::Columns columns) {
  const std::size_t fitting = continuation_.size();
  std::size_t finite = 0;
  for (const double c : continuation_) finite += std::isfinite(c);
  if (finite == fitting) {
    std::vector<std::span<const double>> leading;
    for (const std::span<const double> column : columns) leading.push_back(column.first(fitting));
    return PolynomialRegression::fit_columns(leading, continuation_, settings_.basis_degree);
  }
  // Paths whose continuation is not finite stay out: the rare, slower road.
  std::vector<std::vector<double>> kept(columns.size());
  std::vector<double> target;
  for (std::size_t k = 0; k < fitting; ++k) {
    if (!std::isfinite(continuation_[k])) continue;
    for (std::size_t i = 0; i < columns.size(); ++i) kept[i].push_back(columns[i][k]);
    target.push_back(continuation_[k]);
  }
  const std::vector<std::span<const double>> views(kept.begin(), kept.end());
  return PolynomialRegression::fit_columns(views, target, settings_.basis_degree);
}

}  // namespace ravlin
