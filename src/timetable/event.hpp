// The five event columns of a timetable record batch, type-checked.
#pragma once

#include <arrow/api.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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

// The named column as a dictionary column with 64-bit signed indices.
std::expected<std::shared_ptr<arrow::DictionaryArray>, OpError> get_column(
    const arrow::RecordBatch& batch, std::string_view name);

}  // namespace ravlin
