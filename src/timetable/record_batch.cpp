#include "timetable/record_batch.hpp"

#include <cstring>

namespace ravlin {

namespace {

std::string error_text(const ArrowError& error, const char* fallback) {
  return error.message[0] != '\0' ? std::string(error.message) : std::string(fallback);
}

bool has_top_level_nulls(const ArrowArray& array) {
  if (array.null_count == 0 || array.n_buffers < 1 || array.buffers[0] == nullptr) return false;
  if (array.null_count > 0) return true;
  // Unknown null count: read the bits of the struct's own rows.
  const auto* bits = static_cast<const std::uint8_t*>(array.buffers[0]);
  for (std::int64_t i = array.offset; i < array.offset + array.length; ++i) {
    if (((bits[i >> 3] >> (i & 7)) & 1) == 0) return true;
  }
  return false;
}

std::expected<void, RecordBatch::ImportError> check_struct(const ArrowSchema& schema,
                                                           const ArrowArray& array) {
  using Error = RecordBatch::ImportError;
  if (schema.format == nullptr || std::strcmp(schema.format, "+s") != 0) {
    return std::unexpected(Error{true, std::string("Expected a struct array, got format '") +
                                           (schema.format ? schema.format : "") + "'"});
  }
  if (schema.n_children < 0 || array.n_children != schema.n_children ||
      (schema.n_children > 0 && (schema.children == nullptr || array.children == nullptr))) {
    return std::unexpected(Error{false, "The struct array's children do not match its schema"});
  }
  for (std::int64_t i = 0; i < schema.n_children; ++i) {
    if (schema.children[i] == nullptr || array.children[i] == nullptr) {
      return std::unexpected(Error{false, "The struct array has a missing child"});
    }
  }
  if (array.length < 0 || array.offset < 0) {
    return std::unexpected(Error{false, "The struct array has a negative length or offset"});
  }
  if (has_top_level_nulls(array)) {
    return std::unexpected(
        Error{false, "The struct array has top-level nulls, which a record batch cannot hold"});
  }
  return {};
}

}  // namespace

void ArrowArrayViewReset::operator()(ArrowArrayView* view) const noexcept {
  ::ArrowArrayViewReset(view);
  delete view;
}

void RecordBatch::ReleaseSchema::operator()(ArrowSchema* schema) const noexcept {
  if (schema->release != nullptr) schema->release(schema);
  delete schema;
}

void RecordBatch::ReleaseArray::operator()(ArrowArray* array) const noexcept {
  if (array->release != nullptr) array->release(array);
  delete array;
}

namespace {

// Whether bits offset .. offset + count - 1 of `bits` are all set: a byte at
// a time up to a byte boundary, then eight bytes at a time.
bool all_set(const std::uint8_t* bits, std::int64_t offset, std::int64_t count) {
  auto bit = static_cast<std::uint64_t>(offset);
  const auto end = bit + static_cast<std::uint64_t>(count);
  const auto set = [bits](std::uint64_t b) { return ((bits[b >> 3] >> (b & 7)) & 1) != 0; };
  for (; bit < end && (bit & 7) != 0; ++bit) {
    if (!set(bit)) return false;
  }
  for (; bit + 64 <= end; bit += 64) {
    std::uint64_t word;
    std::memcpy(&word, bits + (bit >> 3), sizeof word);
    if (word != ~std::uint64_t{0}) return false;
  }
  for (; bit < end; ++bit) {
    if (!set(bit)) return false;
  }
  return true;
}

}  // namespace

Column::Column(ArrowSchemaView type, ArrowArrayViewPtr view, std::int64_t first, std::int64_t rows)
    : type_(type), view_(std::move(view)), first_(first), rows_(rows) {
  const std::uint8_t* bits = view_->buffer_views[0].data.as_uint8;
  if (bits != nullptr && !all_set(bits, first_, rows_)) validity_ = {bits, first_};
}

ArrowType Column::dictionary_type() const {
  return view_->dictionary != nullptr ? view_->dictionary->storage_type
                                      : NANOARROW_TYPE_UNINITIALIZED;
}

std::expected<RecordBatch, RecordBatch::ImportError> RecordBatch::import(ArrowSchema* schema,
                                                                       ArrowArray* array) {
  // Ownership first: whatever fails below, the producer's memory is released.
  RecordBatch batch;
  batch.schema_.reset(new ArrowSchema);
  batch.array_.reset(new ArrowArray);
  ArrowSchemaMove(schema, batch.schema_.get());
  ArrowArrayMove(array, batch.array_.get());
  if (auto checked = check_struct(*batch.schema_, *batch.array_); !checked) {
    return std::unexpected(std::move(checked).error());
  }
  return batch;
}

std::optional<std::size_t> RecordBatch::find_column(std::string_view name) const {
  for (std::int64_t i = 0; i < schema_->n_children; ++i) {
    const char* field = schema_->children[i]->name;
    if (field != nullptr && name == field) return static_cast<std::size_t>(i);
  }
  return std::nullopt;
}

std::expected<Column, RecordBatch::ColumnFault> RecordBatch::column(std::size_t index,
                                                                    TypeTest accepts) const {
  const ArrowSchema& field = *schema_->children[index];
  const ArrowArray& data = *array_->children[index];
  ArrowError error{};
  ArrowSchemaView type{};
  if (ArrowSchemaViewInit(&type, &field, &error) != NANOARROW_OK || !accepts(type)) {
    return std::unexpected(ColumnFault{true, {}});
  }
  // The struct's offset and length select the batch's rows of each child.
  const std::int64_t rows = array_->length;
  if (data.length < 0 || data.offset < 0 || data.length - array_->offset < rows) {
    return std::unexpected(ColumnFault{true, {}});
  }
  ArrowArrayViewPtr view(new ArrowArrayView);
  ArrowArrayViewInitFromType(view.get(), NANOARROW_TYPE_UNINITIALIZED);
  if (ArrowArrayViewInitFromSchema(view.get(), &field, &error) != NANOARROW_OK) {
    return std::unexpected(ColumnFault{true, {}});
  }
  if (ArrowArrayViewSetArray(view.get(), &data, &error) != NANOARROW_OK) {
    return std::unexpected(ColumnFault{false, error_text(error, "malformed buffers")});
  }
  // Dictionary keys are range-checked by the timetable with its own message;
  // everything else (string offsets in order and inside their data, ...) is
  // checked here, before any value is read.
  ArrowArrayView* content = view->dictionary != nullptr ? view->dictionary : view.get();
  if (ArrowArrayViewValidate(content, NANOARROW_VALIDATION_LEVEL_FULL, &error) != NANOARROW_OK) {
    return std::unexpected(ColumnFault{false, error_text(error, "malformed buffers")});
  }
  return Column(type, std::move(view), data.offset + array_->offset, rows);
}

std::optional<std::string_view> dictionary_string(const ArrowArrayView& dictionary,
                                                  std::int64_t i) {
  if (ArrowArrayViewIsNull(&dictionary, i)) return std::nullopt;
  const ArrowStringView text = ArrowArrayViewGetStringUnsafe(&dictionary, i);
  return std::string_view(text.data, static_cast<std::size_t>(text.size_bytes));
}

}  // namespace ravlin
