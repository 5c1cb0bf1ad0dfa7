// Builders of timetable record batches for the C++ tests.
#pragma once

#include <arrow/api.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ravlin::testing {

// A dictionary column with int64 indices (nullopt = null index) over UTF-8
// values (nullopt = null value).
std::shared_ptr<arrow::Array> dict_column(const std::vector<std::optional<std::int64_t>>& keys,
                                          const std::vector<std::optional<std::string>>& values);
std::shared_ptr<arrow::Array> time_column(const std::vector<std::optional<std::int64_t>>& ms);
std::shared_ptr<arrow::Array> double_column(const std::vector<double>& values);

// One row of a timetable: a null std::optional is a null entry.
struct Row {
  std::optional<std::int64_t> track;
  std::optional<std::int64_t> time;
  std::optional<std::int64_t> op;
  double quantity;
  std::optional<std::int64_t> unit;
};

// A record batch with the five event columns, over the given dictionaries.
std::shared_ptr<arrow::RecordBatch> timetable_batch(
    const std::vector<Row>& rows, const std::vector<std::optional<std::string>>& tracks,
    const std::vector<std::optional<std::string>>& ops,
    const std::vector<std::optional<std::string>>& units);

}  // namespace ravlin::testing
