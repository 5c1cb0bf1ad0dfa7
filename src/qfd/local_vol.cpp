#include "qfd/local_vol.hpp"

#include <algorithm>
#include <cmath>

#include "util/format.hpp"

namespace ravlin {

namespace {

bool rises_strictly(const std::vector<double>& values) {
  for (std::size_t k = 0; k < values.size(); ++k) {
    if (!std::isfinite(values[k]) || (k > 0 && !(values[k] > values[k - 1]))) return false;
  }
  return true;
}

}  // namespace

std::expected<LocalVolTable, std::string> LocalVolTable::create(std::vector<double> times,
                                                                std::vector<double> spots,
                                                                std::vector<double> vols) {
  if (times.empty() || spots.empty()) return std::unexpected("needs at least one time and one price");
  if (vols.size() != times.size() * spots.size()) {
    return std::unexpected("needs " + std::to_string(times.size()) + " rows of " +
                           std::to_string(spots.size()) + " volatilities, got " +
                           std::to_string(vols.size()) + " values");
  }
  if (!rises_strictly(times)) return std::unexpected("the times must be finite and rise strictly");
  if (!rises_strictly(spots) || !(spots.front() > 0.0)) {
    return std::unexpected("the prices must be positive, finite and rise strictly");
  }
  for (const double vol : vols) {
    if (!(vol >= 0.0) || !std::isfinite(vol)) {
      return std::unexpected("the volatilities must be finite and not negative, got " +
                             format_double(vol));
    }
  }
  std::vector<double> log_spots(spots.size());
  std::transform(spots.begin(), spots.end(), log_spots.begin(), [](double s) { return std::log(s); });
  if (log_spots.size() == 1) {
    // One price: a second column like it, so that every node has a cell.
    log_spots.push_back(log_spots.front() + 1.0);
    std::vector<double> doubled;
    doubled.reserve(2 * vols.size());
    for (const double vol : vols) doubled.insert(doubled.end(), {vol, vol});
    vols = std::move(doubled);
  }
  return LocalVolTable(std::move(times), std::move(log_spots), std::move(vols));
}

void LocalVolTable::place_nodes(std::span<const double> x) {
  cell_.resize(x.size());
  weight_.resize(x.size());
  const std::size_t last = log_spots_.size() - 1;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double at = std::clamp(x[i], log_spots_.front(), log_spots_.back());
    const auto above = std::upper_bound(log_spots_.begin(), log_spots_.end(), at);
    const std::size_t k = std::min<std::size_t>(
        static_cast<std::size_t>(std::max<std::ptrdiff_t>(above - log_spots_.begin() - 1, 0)),
        last - 1);
    cell_[i] = k;
    weight_[i] = (at - log_spots_[k]) / (log_spots_[k + 1] - log_spots_[k]);
  }
}

LocalVolTable::Rows LocalVolTable::rows_at(double years) const {
  if (!(years > times_.front())) return {0, 0.0};
  if (years >= times_.back()) return {times_.size() - 1, 0.0};
  const auto above = std::upper_bound(times_.begin(), times_.end(), years);
  const auto first = static_cast<std::size_t>(above - times_.begin() - 1);
  return {first, (years - times_[first]) / (times_[first + 1] - times_[first])};
}

}  // namespace ravlin
