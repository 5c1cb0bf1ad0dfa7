#include "qfd/state.hpp"

#include "model/interfaces.hpp"
#include "timetable/timetable.hpp"
#include "util/try.hpp"

namespace ravlin {

FdState FdState::create(std::size_t n_x, double max_x, std::int64_t t) {
  const std::size_t n = 2 * n_x + 1;
  const double spacing = -2.0 * max_x / static_cast<double>(2 * n_x);
  std::vector<double> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = max_x + static_cast<double>(i) * spacing;
  return FdState{Ledger(n), std::move(x), t, max_x / static_cast<double>(n_x), n};
}

std::expected<std::int64_t, ModelError> last_row_time(const TimeTable& timetable) {
  if (timetable.size() == 0) {
    return std::unexpected(
        ModelError::message("Timetable has no events: the grid needs the time of the last event"));
  }
  return timetable.ts_at(timetable.size() - 1);
}

std::expected<StepRate, AssetError> base_step_rate(const FD1FParams& params, std::int64_t t,
                                                  std::int64_t t_new) {
  RV_ASSIGN(const AssetLogFwd* base, params.assets.base_asset());
  const double y1 = year_fraction(t, params.pricing_ts);
  const double y2 = year_fraction(t_new, params.pricing_ts);
  auto rate = base->rate(y1, y2);
  if (!rate) return std::unexpected(AssetError::rate_error("discount", std::move(rate).error(), y1, y2));
  return StepRate{y1, y2, *rate};
}

}  // namespace ravlin
