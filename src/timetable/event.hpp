// The five event columns of a timetable record batch, type-checked.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "timetable/error.hpp"
#include "timetable/keys.hpp"
#include "timetable/op.hpp"
#include "timetable/record_batch.hpp"
#include "timetable/unit.hpp"

namespace ravlin {

// Validated views of the columns of the caller's record batch; they read the
// batch's buffers, which the batch keeps alive.
struct Events {
  Column time;
  Column track;
  Column op;
  Column quantity;
  Column unit;
  // The keys of the three dictionary columns, checked and copied.
  DictionaryKeys track_keys;
  DictionaryKeys op_keys;
  DictionaryKeys unit_keys;

  // Finds and checks "time", "track", "op", "quantity", "unit" in this order;
  // rejects dictionary indices outside their dictionary.
  static std::expected<Events, OpError> create(const RecordBatch& batch);

  std::size_t size() const { return static_cast<std::size_t>(time.length()); }
  // The "op" dictionary values in order (null values absent), or
  // "Error in ops column, expected strings".
  std::expected<std::vector<std::optional<std::string_view>>, OpError> ops_iter() const;
  // One Op per "op" dictionary value, in dictionary order.
  std::expected<std::vector<Op>, OpError> ops_map() const;
  // Makes Track(k) of the first unit equal to each "track" dictionary value.
  std::expected<void, OpError> identify_tracks(std::vector<Unit>& units) const;
  // The "unit" dictionary values in order (null values absent), or
  // "Error in units column, expected strings".
  std::expected<std::vector<std::optional<std::string_view>>, OpError> units_iter() const;
};

// The position of the first occurrence of each non-null value.
std::unordered_map<std::string_view, std::size_t> first_positions(
    const std::vector<std::optional<std::string_view>>& values);

// The named column as a dictionary column with 64-bit signed indices.
std::expected<Column, OpError> get_column(const RecordBatch& batch, std::string_view name);

}  // namespace ravlin
