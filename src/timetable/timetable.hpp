// The parsed contract that every model walks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <ranges>
#include <string>
#include <string_view>
#include <vector>

#include "timetable/event.hpp"
#include "timetable/expressions.hpp"
#include "timetable/keys.hpp"
#include "timetable/op.hpp"
#include "timetable/unit.hpp"

namespace ravlin {

class TimeTable {
 public:
  // Builds the units list, then the operations list.
  static std::expected<TimeTable, OpError> create(Events events, Expressions expressions);

  std::size_t size() const { return size_; }

  // Stored time of event i, validity bit not examined.
  std::int64_t ts_at(std::size_t i) const { return time_[i]; }
  // Time of event i, absent when null (the element of ts_iter).
  std::optional<std::int64_t> ts_opt(std::size_t i) const {
    if (!time_valid_.is_valid(i)) return std::nullopt;
    return time_[i];
  }
  // All event times in row order, each absent when null.
  auto ts_iter() const {
    return std::views::iota(std::size_t{0}, size_) |
           std::views::transform([this](std::size_t i) { return ts_opt(i); });
  }
  const Op& op_at(std::size_t i) const {
    const std::uint32_t key = op_keys_.at(i);
    return key == kNullKey ? null_op_ : ops_[key];
  }
  double quantity_at(std::size_t i) const { return quantity_[i]; }
  std::optional<std::uint64_t> unit_key_at(std::size_t i) const {
    const std::uint32_t key = unit_keys_.at(i);
    if (key == kNullKey) return std::nullopt;
    return key;
  }
  const Unit& unit_by_key(std::uint64_t key) const { return units_[key]; }
  std::string unit_desc_at(std::size_t i) const;
  // "No track specified at event#{i}" when the track index is null.
  std::expected<std::uint64_t, std::string> track_key_at(std::size_t i) const {
    const std::uint32_t key = track_keys_.at(i);
    if (key == kNullKey) return std::unexpected(no_track_text(i));
    return key;
  }
  // Offset from `start` of the first event in [start, end) on `track`.
  std::optional<std::size_t> next_idx(std::size_t start, std::size_t end,
                                      std::uint64_t track) const;
  // "#{i}: track: "Track(k)", time: Single(...), op: +, qty: 100, unit: "Asset(USD)""
  std::string event_desc(std::size_t i) const;

  const EvalPhrase* get_phrase(std::string_view name) const;
  std::expected<const Snapper*, std::string> snapper_by_name(std::string_view name) const;

  const std::vector<Op>& ops() const { return ops_; }
  const std::vector<Unit>& units() const { return units_; }
  const Expressions& expressions() const { return expressions_; }

 private:
  TimeTable() = default;

  // The key of a row whose dictionary index is null.
  static constexpr std::uint32_t kNullKey = DictionaryKeys::kNull;
  static std::string no_track_text(std::size_t i);
  // The operation of every row whose op key is null.
  static const Op null_op_;

  std::vector<Op> ops_;
  std::vector<Unit> units_;
  Expressions expressions_;
  // Times and quantities are read in place from the batch's buffers (which
  // outlive the table), with the array offsets applied; keys are copies
  // (DictionaryKeys says why).
  std::size_t size_ = 0;
  const std::int64_t* time_ = nullptr;
  const double* quantity_ = nullptr;
  ValidityBits time_valid_;
  DictionaryKeys track_keys_;
  DictionaryKeys op_keys_;
  DictionaryKeys unit_keys_;
};

}  // namespace ravlin
