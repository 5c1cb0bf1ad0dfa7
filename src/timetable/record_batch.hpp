// A record batch received through the Arrow C data interface, and validated
// views of its columns. The batch owns the producer's schema and array
// (released when the batch goes); views read the producer's buffers in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "nanoarrow/nanoarrow.h"

namespace ravlin {

// The validity bitmap of a column with its offset applied; no bitmap means
// no nulls.
struct ValidityBits {
  const std::uint8_t* bits = nullptr;
  std::int64_t offset = 0;

  bool is_valid(std::size_t i) const {
    if (bits == nullptr) return true;
    const auto bit = static_cast<std::uint64_t>(offset) + i;
    return ((bits[bit >> 3] >> (bit & 7)) & 1) != 0;
  }
};

struct ArrowArrayViewReset {
  void operator()(ArrowArrayView* view) const noexcept;
};
using ArrowArrayViewPtr = std::unique_ptr<ArrowArrayView, ArrowArrayViewReset>;

// One column of a batch, seen from the batch's first row: element i of the
// column is row i of the batch, whatever offsets the array and the batch carry.
class Column {
 public:
  Column(ArrowSchemaView type, ArrowArrayViewPtr view, std::int64_t first, std::int64_t rows);

  const ArrowSchemaView& type() const { return type_; }
  std::int64_t length() const { return rows_; }
  // The fixed-width values of row 0 onward (buffer 1 of a primitive array).
  template <typename T>
  const T* values() const {
    return static_cast<const T*>(view_->buffer_views[1].data.data) + first_;
  }
  // No bitmap when the column has none or its bits over the batch's rows
  // are all set (producers often keep an all-valid bitmap), so that readers
  // take the path without per-row tests.
  ValidityBits validity() const { return validity_; }
  // The dictionary of a dictionary column (all its values, whatever the rows).
  const ArrowArrayView* dictionary() const { return view_->dictionary; }
  ArrowType dictionary_type() const;

 private:
  ArrowSchemaView type_;
  ArrowArrayViewPtr view_;
  std::int64_t first_;  // position of the batch's row 0 in the column's buffers
  std::int64_t rows_;
  ValidityBits validity_;
};

class RecordBatch {
 public:
  // Takes both structs over (the sources are marked released). A schema that
  // is not a struct, a struct with top-level nulls or children that do not
  // match are refused with a reason; `type_error` tells a type fault from a
  // malformed array.
  struct ImportError {
    bool type_error;
    std::string reason;
  };
  static std::expected<RecordBatch, ImportError> import(ArrowSchema* schema, ArrowArray* array);

  std::int64_t num_rows() const { return array_->length; }
  // The first column of that name: names may repeat in a schema.
  std::optional<std::size_t> find_column(std::string_view name) const;
  // Column `index` as a validated view; `accepts` decides on its type before
  // any buffer is read. A type it refuses, or a length that does not cover
  // the batch's rows, gives nothing; a column whose buffers are malformed
  // (offsets out of order, dictionary values past their data, ...) gives the
  // reason.
  using TypeTest = bool (*)(const ArrowSchemaView&);
  struct ColumnFault {
    bool wrong_type;
    std::string reason;
  };
  std::expected<Column, ColumnFault> column(std::size_t index, TypeTest accepts) const;

 private:
  RecordBatch() = default;

  struct ReleaseSchema {
    void operator()(ArrowSchema* schema) const noexcept;
  };
  struct ReleaseArray {
    void operator()(ArrowArray* array) const noexcept;
  };
  std::unique_ptr<ArrowSchema, ReleaseSchema> schema_;
  std::unique_ptr<ArrowArray, ReleaseArray> array_;
};

// Row i of a validated string dictionary (utf8 values), or nothing when null.
std::optional<std::string_view> dictionary_string(const ArrowArrayView& dictionary,
                                                  std::int64_t i);

}  // namespace ravlin
