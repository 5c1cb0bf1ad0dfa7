// Per-track present values, updated event by event in the backward walk,
// with optional records of choices and cash flows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "ledger/error.hpp"
#include "ledger/util.hpp"
#include "timetable/op.hpp"
#include "util/values.hpp"

namespace ravlin {

// Bits of the FLAGS word that the ledger consults.
inline constexpr std::uint32_t kFlagPvVec = 1;
inline constexpr std::uint32_t kFlagChoices = 2;
inline constexpr std::uint32_t kFlagCashflow = 8;

using PvMap = std::unordered_map<std::uint64_t, Values>;
// Track key -> event index -> cash flow on each path.
using CashflowMap = std::unordered_map<std::uint64_t, std::unordered_map<std::uint64_t, Values>>;

class Ledger {
 public:
  explicit Ledger(std::size_t n) : n_(n) {}
  // A copy finds its own entries again: the index of the original points
  // into the original's map.
  Ledger(const Ledger& other);
  Ledger& operator=(const Ledger& other);
  Ledger(Ledger&&) noexcept = default;
  Ledger& operator=(Ledger&&) noexcept = default;

  std::size_t n() const { return n_; }
  // The track's present values, created as n zeros on first use.
  Values& track_entry(std::uint64_t track) {
    if (Values* known = known_entry(track)) return *known;
    return new_track_entry(track);
  }
  // Every stored array, to change in place; the reference serves one sweep
  // over them (the index of entries is dropped, as the map may change).
  PvMap& pvs_by_track_mut() {
    by_track_.clear();
    return pvs_;
  }
  const PvMap& pvs() const { return pvs_; }
  std::expected<const Values*, LedgerError> pv_vec(std::uint64_t track) const;

  // A payment ("+") or a choice (">", "<") of `value` on one track.
  std::expected<void, LedgerError> one_track_event(const Op& op, std::uint64_t track,
                                                   Values value, std::uint64_t event,
                                                   std::uint32_t flags);
  // one_track_event of a single-element value. Without records, on a
  // single-path present value, the op is applied in place: the fixed
  // model's every payment, so it builds no array for it.
  std::expected<void, LedgerError> one_element_event(const Op& op, std::uint64_t track,
                                                     double value, std::uint64_t event,
                                                     std::uint32_t flags) {
    if ((flags & (kFlagCashflow | kFlagChoices)) == 0) {
      Values& pv = track_entry(track);
      if (pv.size() == 1 && op.apply_one(pv[0], value)) return {};
    }
    return one_track_event(op, track, Values::scalar(value), event, flags);
  }
  // A choice (">", "<") decided elsewhere: `value` is taken on the paths
  // where `taken` is 1, the continuation is kept where it is 0; choices and
  // cash flows record that decision.
  std::expected<void, LedgerError> one_track_choice(const Op& op, std::uint64_t track,
                                                    Values value,
                                                    std::span<const std::uint64_t> taken,
                                                    std::uint64_t event, std::uint32_t flags);
  // A conditional payment: `value` on the share `weight`, continuation on 1 - weight.
  std::expected<void, LedgerError> one_track_weights(const Values& weight, std::uint64_t track,
                                                     Values value, std::uint64_t event,
                                                     std::uint32_t flags);
  // Records `value` (broadcast to n) as the cash flow of `event` into `track`;
  // a length that is neither n nor 1 gives TrackNotFound(track).
  std::expected<void, LedgerError> cf_insert(std::uint64_t event, std::uint64_t track,
                                             const Values& value);
  // Multiplies every recorded cash flow of `track` by `factor`; a factor that
  // does not broadcast to n is refused before anything changes.
  std::expected<void, LedgerError> cf_scale(std::uint64_t track, const Values& factor);

  ChoiceMap& choices() { return choices_; }
  CashflowMap& cashflows() { return cashflows_; }

 private:
  // The stored present values of `track` (created as zeros), checked to hold n
  // elements before they are read path by path.
  std::expected<Values*, LedgerError> checked_entry(std::uint64_t track);
  // Cash flows of an exercise at a ">" or "<" event.
  std::expected<void, LedgerError> record_exercise(const Op& op, std::uint64_t track,
                                                   const Values& value, std::uint64_t event);
  // Zeroes the track's later cash flows where the offer is taken and records
  // the offer there.
  std::expected<void, LedgerError> record_taken(std::uint64_t track, const Mask& take,
                                                const Values& value, std::uint64_t event);
  // The choice taken on each path at a ">" or "<" event.
  std::expected<void, LedgerError> record_choice(const Op& op, std::uint64_t track,
                                                 const Values& value, std::uint64_t event);

  // The entry of `track`, looked up (created as zeros when absent) and remembered.
  Values& new_track_entry(std::uint64_t track);
  // The entry of `track` when it was found before, else null.
  Values* known_entry(std::uint64_t track) const {
    return track < by_track_.size() ? by_track_[track] : nullptr;
  }
  void remember_entry(std::uint64_t track, Values& entry);

  PvMap pvs_;
  // The entries of the small track keys (dictionary indices, so dense),
  // found once in the map: an event then reaches its track's present values
  // by index instead of by hashing. The map's nodes do not move, so the
  // pointers hold until an entry is erased.
  std::vector<Values*> by_track_;
  ChoiceMap choices_;
  CashflowMap cashflows_;
  std::size_t n_;
};

}  // namespace ravlin
