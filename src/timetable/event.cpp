#include "timetable/event.hpp"

#include "util/try.hpp"

namespace ravlin {

namespace {

bool is_millisecond_timestamp(const ArrowSchemaView& type) {
  return type.type == NANOARROW_TYPE_TIMESTAMP && type.time_unit == NANOARROW_TIME_UNIT_MILLI;
}

bool is_int64_dictionary(const ArrowSchemaView& type) {
  return type.type == NANOARROW_TYPE_DICTIONARY && type.storage_type == NANOARROW_TYPE_INT64;
}

bool is_float64(const ArrowSchemaView& type) { return type.type == NANOARROW_TYPE_DOUBLE; }

std::string not_found(std::string_view name) {
  return "Column '" + std::string(name) + "' not found";
}

std::string wrong_type(std::string_view name) {
  return "Couldn't convert column '" + std::string(name) + "', likely incorrect type";
}

// The named column once `accepts` takes its type. A column whose length does
// not cover the batch's rows cannot serve as an event column either; one
// whose buffers are malformed is named with the fault.
std::expected<Column, OpError> typed_column(const RecordBatch& batch, std::string_view name,
                                            RecordBatch::TypeTest accepts) {
  const auto index = batch.find_column(name);
  if (!index) return std::unexpected(OpError::message(not_found(name)));
  auto column = batch.column(*index, accepts);
  if (!column) {
    const RecordBatch::ColumnFault& fault = column.error();
    if (fault.wrong_type) return std::unexpected(OpError::message(wrong_type(name)));
    return std::unexpected(
        OpError::message("Invalid column '" + std::string(name) + "': " + fault.reason));
  }
  return std::move(*column);
}

// The keys of a dictionary column, each of which must select a value of the
// dictionary: later reads of the per-value tables rely on it.
std::expected<DictionaryKeys, OpError> checked_keys(const Column& column, std::string_view name) {
  auto keys = DictionaryKeys::copy(column);
  if (!keys) {
    return std::unexpected(OpError::message("Dictionary index out of range in column '" +
                                            std::string(name) + "'"));
  }
  return std::move(*keys);
}

// The dictionary values of a column, which must be UTF-8 strings.
std::expected<std::vector<std::optional<std::string_view>>, OpError> string_values(
    const Column& column, const char* message) {
  if (column.dictionary_type() != NANOARROW_TYPE_STRING) {
    return std::unexpected(OpError::message(message));
  }
  const ArrowArrayView& strings = *column.dictionary();
  std::vector<std::optional<std::string_view>> out;
  out.reserve(static_cast<std::size_t>(strings.length));
  for (std::int64_t i = 0; i < strings.length; ++i) out.push_back(dictionary_string(strings, i));
  return out;
}

}  // namespace

std::unordered_map<std::string_view, std::size_t> first_positions(
    const std::vector<std::optional<std::string_view>>& values) {
  std::unordered_map<std::string_view, std::size_t> positions;
  positions.reserve(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i]) positions.try_emplace(*values[i], i);  // keeps the first
  }
  return positions;
}

std::expected<Column, OpError> get_column(const RecordBatch& batch, std::string_view name) {
  return typed_column(batch, name, is_int64_dictionary);
}

std::expected<Events, OpError> Events::create(const RecordBatch& batch) {
  RV_ASSIGN(Column time, typed_column(batch, "time", is_millisecond_timestamp));
  RV_ASSIGN(Column track, get_column(batch, "track"));
  RV_ASSIGN(Column op, get_column(batch, "op"));
  RV_ASSIGN(Column quantity, typed_column(batch, "quantity", is_float64));
  RV_ASSIGN(Column unit, get_column(batch, "unit"));
  RV_ASSIGN(DictionaryKeys track_keys, checked_keys(track, "track"));
  RV_ASSIGN(DictionaryKeys op_keys, checked_keys(op, "op"));
  RV_ASSIGN(DictionaryKeys unit_keys, checked_keys(unit, "unit"));
  return Events{std::move(time),       std::move(track),   std::move(op),
                std::move(quantity),   std::move(unit),    std::move(track_keys),
                std::move(op_keys),    std::move(unit_keys)};
}

std::expected<std::vector<std::optional<std::string_view>>, OpError> Events::ops_iter() const {
  return string_values(op, "Error in ops column, expected strings");
}

std::expected<std::vector<std::optional<std::string_view>>, OpError> Events::units_iter() const {
  return string_values(unit, "Error in units column, expected strings");
}

std::expected<std::vector<Op>, OpError> Events::ops_map() const {
  RV_ASSIGN(const auto codes, ops_iter());
  std::vector<Op> ops;
  ops.reserve(codes.size());
  for (const auto& code : codes) ops.push_back(code ? Op::parse(*code) : Op::null());
  return ops;
}

std::expected<void, OpError> Events::identify_tracks(std::vector<Unit>& units) const {
  RV_ASSIGN(const auto tracks, string_values(track, "Error in tracks column, expected strings"));
  RV_ASSIGN(const auto unit_names, units_iter());
  const auto positions = first_positions(unit_names);
  for (std::size_t k = 0; k < tracks.size(); ++k) {
    if (!tracks[k]) return std::unexpected(OpError::message("Missing Track Value"));
    const auto found = positions.find(*tracks[k]);
    if (found != positions.end() && found->second < units.size()) {
      units[found->second] = Unit{Unit::Track{k}};
    }
  }
  return {};
}

}  // namespace ravlin
