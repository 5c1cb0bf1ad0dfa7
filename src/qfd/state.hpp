// The grid state of the finite-difference engine and its settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <vector>

#include "asset/assets.hpp"
#include "ledger/ledger.hpp"
#include "model/error.hpp"
#include "model/settings.hpp"

namespace ravlin {

class TimeTable;

struct FD1FParams : ModelSettings {
  std::size_t n_x = 0;    // nodes on each side of the middle node
  double max_x = 0.0;     // half-width of the grid
  std::size_t n = 0;      // 2 * n_x + 1
  double timestep = 0.0;  // regular step, years
  // Ours: hand back each node's coordinate at the pricing time.
  bool nodes = false;
};

struct FdState {
  Ledger ledger;
  std::vector<double> x;  // from c + max_x at node 0 down to c - max_x
  std::int64_t t;
  double dx;
  std::size_t n;

  // Grid centred on 0 at time t; n_x >= 1.
  static FdState create(std::size_t n_x, double max_x, std::int64_t t);
  Ledger into_ledger() && { return std::move(ledger); }
};

// The time of the timetable's last row, where the grid starts.
std::expected<std::int64_t, ModelError> last_row_time(const TimeTable& timetable);

// The base curve's rate over the step from the grid's time `t` back to
// `t_new`, with the step's ends as year fractions from the pricing time.
struct StepRate {
  double y1;  // later end
  double y2;  // earlier end
  double rate;
};
// A curve failure is the RateError of "discount" over the step.
std::expected<StepRate, AssetError> base_step_rate(const FD1FParams& params, std::int64_t t,
                                                  std::int64_t t_new);

}  // namespace ravlin
