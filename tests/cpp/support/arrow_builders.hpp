// Builders of timetable record batches for the C++ tests, through the Arrow
// C data interface as the module receives them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "timetable/record_batch.hpp"

namespace ravlin::testing {

// A column of a test batch: a recipe that exports a fresh schema and array
// each time a batch is made of it, so one column can serve several batches.
struct ColumnSpec {
  std::function<void(ArrowSchema*, ArrowArray*)> make;
  std::int64_t length;
};
using ColumnPtr = std::shared_ptr<const ColumnSpec>;
using BatchPtr = std::shared_ptr<const RecordBatch>;

enum class TimeUnit { Second, Milli, Micro, Nano };

// A dictionary column with int64 indices (nullopt = null index) over UTF-8
// values (nullopt = null value).
ColumnPtr dict_column(const std::vector<std::optional<std::int64_t>>& keys,
                      const std::vector<std::optional<std::string>>& values);
ColumnPtr time_column(const std::vector<std::optional<std::int64_t>>& ms);
ColumnPtr double_column(const std::vector<double>& values);

// One row of a timetable: a null std::optional is a null entry.
struct Row {
  std::optional<std::int64_t> track;
  std::optional<std::int64_t> time;
  std::optional<std::int64_t> op;
  double quantity;
  std::optional<std::int64_t> unit;
};

// Rows [offset, offset + length) of a batch, selected by the struct array's
// own offset (as a sliced struct array from any producer carries it).
struct Slice {
  std::int64_t offset;
  std::int64_t length;
};

// A record batch with the five event columns, over the given dictionaries.
BatchPtr timetable_batch(const std::vector<Row>& rows,
                         const std::vector<std::optional<std::string>>& tracks,
                         const std::vector<std::optional<std::string>>& ops,
                         const std::vector<std::optional<std::string>>& units,
                         std::optional<Slice> slice = std::nullopt);

// Columns of other types, for the type checks of the event columns.
ColumnPtr int64_column(const std::vector<std::optional<std::int64_t>>& values);
ColumnPtr int32_column(const std::vector<std::optional<std::int32_t>>& values);
ColumnPtr float32_column(const std::vector<float>& values);
ColumnPtr string_column(const std::vector<std::optional<std::string>>& values);
ColumnPtr large_string_column(const std::vector<std::string>& values);
ColumnPtr timestamp_column(TimeUnit unit, const std::vector<std::int64_t>& values,
                           const std::string& timezone = "");
// A dictionary column over any index column and any value column.
ColumnPtr dictionary_of(const ColumnPtr& indices, const ColumnPtr& dictionary);

using NamedColumn = std::pair<std::string, ColumnPtr>;
// A record batch of the given columns in the given order (names may repeat);
// the row count is the length of the first column unless a slice is given.
BatchPtr batch_of(const std::vector<NamedColumn>& columns,
                  std::optional<Slice> slice = std::nullopt);

}  // namespace ravlin::testing
