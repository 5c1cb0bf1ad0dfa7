#include "ledger/exercise.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>

#include "ledger/regression.hpp"

namespace ravlin {

namespace {

// Offers within this share of their largest magnitude count as equal, so
// that an offer that is the same in money of the event's date stays the same
// after the division by the path's discount.
constexpr double kSameOffer = 1e-12;

// Whether `a` is what the chooser prefers to `b`: ">" the larger, "<" the smaller.
bool beats(bool larger, double a, double b) { return larger ? a > b : a < b; }

// value / discount on each path; NaN where the discount is not a positive
// finite number, so that such paths neither enter a fit nor exercise.
Values at_event_date(const Values& value, const Values& discount, std::size_t paths) {
  Values out(paths);
  for (std::size_t j = 0; j < paths; ++j) out[j] = at_broadcast(value, j) / at_broadcast(discount, j);
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  for (std::size_t j = 0; j < paths; ++j) {
    const double d = at_broadcast(discount, j);
    out[j] = d > 0.0 && d <= std::numeric_limits<double>::max() ? out[j] : kNaN;
  }
  return out;
}

// One element when every path holds the same value.
Values compact(const Values& values) {
  const bool same = std::ranges::all_of(values, [&](double v) { return v == values[0]; });
  return same && !values.empty() ? Values::scalar(values[0]) : values;
}

// The paths where exercise can matter, in order, into `play`: the offer is better for the
// chooser than its least favourable value over all paths (a put out of the
// money is never exercised). When the offer is the same on every path, every
// path with a finite offer.
void in_play(bool larger, const Values& offer, std::vector<std::size_t>& play) {
  double worst = larger ? std::numeric_limits<double>::infinity()
                        : -std::numeric_limits<double>::infinity();
  double magnitude = 0.0;
  for (const double v : offer) {
    if (!std::isfinite(v)) continue;
    worst = larger ? std::min(worst, v) : std::max(worst, v);
    magnitude = std::max(magnitude, std::abs(v));
  }
  const double tolerance = kSameOffer * magnitude;
  const double threshold = larger ? worst + tolerance : worst - tolerance;
  // Lists the paths where `keep` holds, without branching on it.
  play.resize(offer.size());
  const auto select = [&](auto keep) {
    std::size_t count = 0;
    for (std::size_t j = 0; j < offer.size(); ++j) {
      play[count] = j;
      count += keep(offer[j]);
    }
    return count;
  };
  std::size_t count = select([&](double v) { return std::isfinite(v) && beats(larger, v, threshold); });
  if (count == 0) count = select([](double v) { return std::isfinite(v); });
  play.resize(count);
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
  std::vector<Values> own_offer;
  own_offer.push_back(at_event_date(offer, inputs.discount, paths_));
  const Values& offered = own_offer.front();
  const std::vector<Values>& regressors =
      inputs.regressors.empty() ? own_offer : inputs.regressors;

  std::vector<std::size_t>& play = play_;
  in_play(larger, offered, play);
  // The calibration paths alone fit, when there are some.
  const std::span<const std::size_t> fitting(
      play.begin(), settings_.calibration_paths > 0
                        ? std::ranges::lower_bound(play, settings_.calibration_paths)
                        : play.end());
  const Values continuation = at_event_date(pv, inputs.discount, paths_);
  const auto fit = PolynomialRegression::fit(regressors, continuation, fitting,
                                             settings_.basis_degree);
  const Values estimate = fit.estimate(regressors, play, paths_);
  taken_.assign(paths_, 0);
  for (const std::size_t j : play) taken_[j] = beats(larger, offered[j], estimate[j]);
  return std::span<const std::uint64_t>(taken_);
}

}  // namespace ravlin
