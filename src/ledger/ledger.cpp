#include "ledger/ledger.hpp"

#include <algorithm>
#include <bit>

#include "util/portable.hpp"
#include "util/try.hpp"

namespace ravlin {

namespace {

LedgerError length_error(const LengthMismatch& mismatch) {
  return LedgerError(OpError::message(mismatch.text()));
}

// An argument array combines with the ledger's arrays when it has n elements or one.
std::expected<void, LedgerError> check_fits(const Values& values, std::size_t n) {
  if (broadcast_length(n, values.size()) == n) return {};
  return std::unexpected(length_error(LengthMismatch{n, values.size()}));
}

// Paths on which the choice takes the offer: ">" where value > pv, "<" where
// value < pv; a comparison with NaN is false.
Mask exercise_mask(const Op& op, const Values& pv, const Values& value) {
  Mask mask(pv.size());
  const bool larger = op.is_max();
  for (std::size_t j = 0; j < pv.size(); ++j) {
    const double v = at_broadcast(value, j);
    mask[j] = larger ? v > pv[j] : v < pv[j];
  }
  return mask;
}

// pv takes value on the paths where `taken` is set, by blending the bits of
// the two under a mask: no branch on unpredictable decisions, and the loop
// vectorises.
RAVLIN_CLONES void take_where(std::span<const std::uint64_t> taken,
                                                         const Values& value, Values& pv) {
  double* out = pv.data();
  const bool one = value.size() == 1;
  const double* offered = value.data();
  for (std::size_t j = 0; j < pv.size(); ++j) {
    const std::uint64_t mask = std::uint64_t{0} - static_cast<std::uint64_t>(taken[j] != 0);
    const auto offer = std::bit_cast<std::uint64_t>(offered[one ? 0 : j]);
    const auto kept = std::bit_cast<std::uint64_t>(out[j]);
    out[j] = std::bit_cast<double>((offer & mask) | (kept & ~mask));
  }
}

// The complement 1 - w of a weight array, element by element.
Values complement(const Values& weight) {
  Values out(weight.size());
  for (std::size_t j = 0; j < weight.size(); ++j) out[j] = 1.0 - weight[j];
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Present values

namespace {

// Track keys up to this bound are indexed; larger ones (not dictionary
// indices of any real timetable) are only hashed.
constexpr std::uint64_t kIndexedTracks = 1 << 16;

}  // namespace

Ledger::Ledger(const Ledger& other)
    : pvs_(other.pvs_), choices_(other.choices_), cashflows_(other.cashflows_), n_(other.n_) {}

Ledger& Ledger::operator=(const Ledger& other) {
  if (this != &other) {
    pvs_ = other.pvs_;
    by_track_.clear();
    choices_ = other.choices_;
    cashflows_ = other.cashflows_;
    n_ = other.n_;
  }
  return *this;
}

void Ledger::remember_entry(std::uint64_t track, Values& entry) {
  if (track >= kIndexedTracks) return;
  if (track >= by_track_.size()) by_track_.resize(track + 1, nullptr);
  by_track_[track] = &entry;
}

Values& Ledger::new_track_entry(std::uint64_t track) {
  Values& entry = pvs_.try_emplace(track, n_, 0.0).first->second;
  remember_entry(track, entry);
  return entry;
}

std::expected<const Values*, LedgerError> Ledger::pv_vec(std::uint64_t track) const {
  if (const Values* known = known_entry(track)) return known;
  const auto found = pvs_.find(track);
  if (found == pvs_.end()) return std::unexpected(LedgerError::track_not_found(track));
  return &found->second;
}

std::expected<Values*, LedgerError> Ledger::checked_entry(std::uint64_t track) {
  Values& pv = track_entry(track);
  if (pv.size() != n_) return std::unexpected(length_error(LengthMismatch{n_, pv.size()}));
  return &pv;
}

// ---------------------------------------------------------------------------
// Events

std::expected<void, LedgerError> Ledger::one_track_event(const Op& op, std::uint64_t track,
                                                         Values value, std::uint64_t event,
                                                         std::uint32_t flags) {
  RV_TRY(check_fits(value, n_));
  // Both records see the present value from before this event.
  if (flags & kFlagCashflow) {
    if (op.is_add()) {
      RV_TRY(cf_insert(event, track, value));
    } else if (op.is_choice()) {
      RV_TRY(record_exercise(op, track, value, event));
    }
  }
  if ((flags & kFlagChoices) && op.is_choice()) RV_TRY(record_choice(op, track, value, event));
  RV_TRY(op.apply(track_entry(track), value));
  return {};
}

std::expected<void, LedgerError> Ledger::record_exercise(const Op& op, std::uint64_t track,
                                                         const Values& value,
                                                         std::uint64_t event) {
  RV_ASSIGN(const Values* pv, checked_entry(track));
  return record_taken(track, exercise_mask(op, *pv, value), value, event);
}

std::expected<void, LedgerError> Ledger::record_taken(std::uint64_t track, const Mask& take,
                                                      const Values& value,
                                                      std::uint64_t event) {
  // Cash flows recorded so far come later in time: they do not happen on
  // the paths where the choice takes the offer.
  if (const auto flows = cashflows_.find(track); flows != cashflows_.end()) {
    for (auto& [later_event, flow] : flows->second) {
      for (std::size_t j = 0; j < flow.size(); ++j) {
        if (take[j]) flow[j] = 0.0;
      }
    }
  }
  if (is_single_zero(value)) return {};
  return cf_insert(event, track, filter(take, value));
}

std::expected<void, LedgerError> Ledger::one_track_choice(const Op& op, std::uint64_t track,
                                                          Values value,
                                                          std::span<const std::uint64_t> taken,
                                                          std::uint64_t event,
                                                          std::uint32_t flags) {
  if (!op.is_choice()) return std::unexpected(LedgerError::Kind{LedgerError::UnknownOp{op.display()}});
  RV_TRY(check_fits(value, n_));
  if (taken.size() != n_) return std::unexpected(length_error(LengthMismatch{n_, taken.size()}));
  RV_ASSIGN(Values* pv, checked_entry(track));
  if (flags & kFlagCashflow) {
    RV_TRY(record_taken(track, Mask(taken.begin(), taken.end()), value, event));
  }
  if (flags & kFlagChoices) choices_.insert(event, track, ChoiceArray(taken.begin(), taken.end()));
  take_where(taken, value, *pv);
  return {};
}

std::expected<void, LedgerError> Ledger::record_choice(const Op& op, std::uint64_t track,
                                                       const Values& value,
                                                       std::uint64_t event) {
  RV_ASSIGN(const Values* pv, checked_entry(track));
  ChoiceArray choice(n_, 0);
  RV_TRY(update_choice(*pv, choice, value, op, 1));
  choices_.insert(event, track, std::move(choice));
  return {};
}

std::expected<void, LedgerError> Ledger::one_track_weights(const Values& weight,
                                                           std::uint64_t track, Values value,
                                                           std::uint64_t event,
                                                           std::uint32_t flags) {
  RV_TRY(check_fits(weight, n_));
  RV_TRY(check_fits(value, n_));
  if (flags & kFlagCashflow) {
    // Later cash flows survive only on the continuing share.
    RV_TRY(cf_scale(track, complement(weight)));
    if (!is_single_zero(value)) {
      auto paid = multiply(weight, value);
      if (!paid) return std::unexpected(length_error(paid.error()));
      RV_TRY(cf_insert(event, track, *paid));
    }
  }
  RV_ASSIGN(Values* pv, checked_entry(track));
  for (std::size_t j = 0; j < n_; ++j) {
    const double w = at_broadcast(weight, j);
    (*pv)[j] = (*pv)[j] * (1.0 - w) + at_broadcast(value, j) * w;
  }
  return {};
}

// ---------------------------------------------------------------------------
// Cash flows

std::expected<void, LedgerError> Ledger::cf_insert(std::uint64_t event, std::uint64_t track,
                                                   const Values& value) {
  auto flow = broadcast_to(value, n_);
  if (!flow) return std::unexpected(LedgerError::track_not_found(track));
  cashflows_[track].insert_or_assign(event, std::move(*flow));
  return {};
}

std::expected<void, LedgerError> Ledger::cf_scale(std::uint64_t track, const Values& factor) {
  RV_TRY(check_fits(factor, n_));
  const auto flows = cashflows_.find(track);
  if (flows == cashflows_.end()) return {};
  for (auto& [event, flow] : flows->second) {
    if (auto scaled = multiply_in_place(flow, factor); !scaled) {
      return std::unexpected(length_error(scaled.error()));
    }
  }
  return {};
}

}  // namespace ravlin
