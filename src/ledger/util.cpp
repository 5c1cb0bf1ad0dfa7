#include "ledger/util.hpp"

#include <stdexcept>

namespace ravlin {

namespace {

LedgerError length_error(const LengthMismatch& mismatch) {
  return LedgerError(OpError::message(mismatch.text()));
}

// Writes `mark` on every path where `takes(pv, value)` holds.
template <typename Takes>
void mark_taken(const Values& pv, ChoiceArray& choice, const Values& value, std::uint64_t mark,
                Takes takes) {
  for (std::size_t j = 0; j < pv.size(); ++j) {
    if (takes(pv[j], at_broadcast(value, j))) choice[j] = mark;
  }
}

}  // namespace

void ChoiceMap::insert(std::uint64_t event, std::uint64_t track, ChoiceArray choice) {
  map[event].insert_or_assign(track, std::move(choice));
}

std::expected<void, LedgerError> update_choice(const Values& pv, ChoiceArray& choice,
                                               const Values& value, const Op& op,
                                               std::uint64_t mark) {
  if (!op.is_choice()) return std::unexpected(LedgerError::Kind{LedgerError::UnknownOp{op.display()}});
  if (choice.size() != pv.size()) {
    return std::unexpected(length_error(LengthMismatch{pv.size(), choice.size()}));
  }
  // The offer broadcasts onto the continuation, never the other way round.
  if (broadcast_length(pv.size(), value.size()) != pv.size()) {
    return std::unexpected(length_error(LengthMismatch{pv.size(), value.size()}));
  }
  // Strict comparisons: ties and NaN on either side keep the entry.
  if (op.is_max()) {
    mark_taken(pv, choice, value, mark, [](double p, double v) { return p < v; });
  } else {
    mark_taken(pv, choice, value, mark, [](double p, double v) { return p > v; });
  }
  return {};
}

Values filter(const Mask& mask, const Values& value) {
  if (broadcast_length(mask.size(), value.size()) != mask.size()) {
    throw std::invalid_argument("filter: " + LengthMismatch{mask.size(), value.size()}.text());
  }
  Values out(mask.size());
  for (std::size_t j = 0; j < mask.size(); ++j) out[j] = mask[j] ? at_broadcast(value, j) : 0.0;
  return out;
}

}  // namespace ravlin
