// The state shared by the forward and backward passes of the fixed and Monte
// Carlo models, and the backward pass itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <expected>
#include <string>
#include <unordered_map>

#include "ledger/depgraph.hpp"
#include "timetable/op.hpp"
#include "ledger/ledger.hpp"
#include "model/error.hpp"
#include "util/cancel.hpp"
#include "util/values.hpp"

namespace ravlin {

class TimeTable;

struct FwdModelStateGeneric {
  EvGraph graph;
  std::unordered_map<std::string, Values> snaps;
  Ledger ledger;
  // Discount factor from the valuation time to the event being processed.
  Values discount;

  std::size_t paths() const { return ledger.n(); }
  // Gives up the ledger; the graph, snaps and discount are released.
  Ledger into_ledger() && { return std::move(ledger); }
};

// Decides choice events on estimated continuations instead of each path's
// own future (Monte Carlo exercise by regression).
class ChoiceDecider {
 public:
  virtual ~ChoiceDecider() = default;
  // 1 on the paths where the choice `op` of event `event` takes `offer` over
  // the continuation `pv`, 0 elsewhere; valid until the next call.
  virtual ValuesOr<std::span<const std::uint64_t>> decide(const Op& op, std::uint64_t event,
                                                          const Values& pv,
                                                          const Values& offer) = 0;
};

// Event graph of the timetable, no snaps, an empty ledger of n paths, discount [1.0].
FwdModelStateGeneric create_fwd_state(const TimeTable& timetable, std::size_t n);

// Applies the saved states to the ledger from the last event to the first;
// `cancel` can stop it between events; with `decider`, choices are decided
// by it.
std::expected<void, ModelError> evolve_pvs_backward(FwdModelStateGeneric& state,
                                                    const TimeTable& timetable,
                                                    std::uint32_t flags, CancelHook cancel = {},
                                                    ChoiceDecider* decider = nullptr);

}  // namespace ravlin
