// Builders of timetable record batches for the C++ tests.
#pragma once

#include <arrow/api.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
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

// Columns of other types, for the type checks of the event columns.
std::shared_ptr<arrow::Array> int64_column(const std::vector<std::optional<std::int64_t>>& values);
std::shared_ptr<arrow::Array> int32_column(const std::vector<std::optional<std::int32_t>>& values);
std::shared_ptr<arrow::Array> float32_column(const std::vector<float>& values);
std::shared_ptr<arrow::Array> string_column(const std::vector<std::optional<std::string>>& values);
std::shared_ptr<arrow::Array> large_string_column(const std::vector<std::string>& values);
std::shared_ptr<arrow::Array> timestamp_column(arrow::TimeUnit::type unit,
                                               const std::vector<std::int64_t>& values,
                                               const std::string& timezone = "");
// A dictionary column over any index array and any value array.
std::shared_ptr<arrow::Array> dictionary_of(const std::shared_ptr<arrow::Array>& indices,
                                            const std::shared_ptr<arrow::Array>& dictionary);

using NamedColumn = std::pair<std::string, std::shared_ptr<arrow::Array>>;
// A record batch of the given columns in the given order (names may repeat);
// the row count is the length of the first column.
std::shared_ptr<arrow::RecordBatch> batch_of(const std::vector<NamedColumn>& columns);

}  // namespace ravlin::testing
