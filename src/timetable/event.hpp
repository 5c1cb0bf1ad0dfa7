// The five event columns of a timetable record batch, type-checked.
#pragma once

#include <arrow/api.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "timetable/error.hpp"
#include "timetable/op.hpp"
#include "timetable/unit.hpp"

namespace ravlin {

// Views of the columns of the caller's record batch; they own no data beyond
// a reference count on the Arrow arrays.
struct Events {
  std::shared_ptr<arrow::TimestampArray> time;
  std::shared_ptr<arrow::DictionaryArray> track;
  std::shared_ptr<arrow::DictionaryArray> op;
  std::shared_ptr<arrow::DoubleArray> quantity;
  std::shared_ptr<arrow::DictionaryArray> unit;

  // Finds and checks "time", "track", "op", "quantity", "unit" in this order;
  // rejects dictionary indices outside their dictionary.
  static std::expected<Events, OpError> create(const arrow::RecordBatch& batch);

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

// The validity bitmap of an Arrow array with the array's offset applied; an
// array without a bitmap has no nulls.
struct ValidityBits {
  const std::uint8_t* bits = nullptr;
  std::int64_t offset = 0;

  static ValidityBits of(const arrow::ArrayData& data);
  bool is_valid(std::size_t i) const {
    if (bits == nullptr) return true;
    const auto bit = static_cast<std::uint64_t>(offset) + i;
    return ((bits[bit >> 3] >> (bit & 7)) & 1) != 0;
  }
};

// The position of the first occurrence of each non-null value.
std::unordered_map<std::string_view, std::size_t> first_positions(
    const std::vector<std::optional<std::string_view>>& values);

// The named column as a dictionary column with 64-bit signed indices.
std::expected<std::shared_ptr<arrow::DictionaryArray>, OpError> get_column(
    const arrow::RecordBatch& batch, std::string_view name);

}  // namespace ravlin
