// Choice estimation: recording the decision taken on each path at a choice event.
#pragma once

#include <cstdint>
#include <expected>
#include <unordered_map>
#include <vector>

#include "ledger/error.hpp"
#include "timetable/op.hpp"
#include "util/values.hpp"

namespace ravlin {

using ChoiceArray = std::vector<std::uint64_t>;
using Mask = std::vector<bool>;

// Event index -> track key -> choice taken on each path.
struct ChoiceMap {
  std::unordered_map<std::uint64_t, std::unordered_map<std::uint64_t, ChoiceArray>> map;
  void insert(std::uint64_t event, std::uint64_t track, ChoiceArray choice);
};

// Writes `mark` where the op takes `value` over `pv` (">": pv < value,
// "<": pv > value); ties and NaN keep the entry. Other ops: UnknownOp.
std::expected<void, LedgerError> update_choice(const Values& pv, ChoiceArray& choice,
                                               const Values& value, const Op& op,
                                               std::uint64_t mark);

// `value` where the mask is true, 0.0 elsewhere (a length-1 value broadcast).
Values filter(const Mask& mask, const Values& value);

}  // namespace ravlin
