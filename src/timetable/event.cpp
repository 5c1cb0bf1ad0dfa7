#include "timetable/event.hpp"

#include "util/try.hpp"

namespace ravlin {

namespace {

using ColumnTest = bool (*)(const arrow::Array&);

std::optional<int> find_column(const arrow::RecordBatch& batch, std::string_view name) {
  // The first field of that name: duplicate names are legal in a schema.
  const auto& fields = batch.schema()->fields();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i]->name() == name) return static_cast<int>(i);
  }
  return std::nullopt;
}

bool is_millisecond_timestamp(const arrow::Array& array) {
  return array.type_id() == arrow::Type::TIMESTAMP &&
         static_cast<const arrow::TimestampType&>(*array.type()).unit() == arrow::TimeUnit::MILLI;
}

bool is_int64_dictionary(const arrow::Array& array) {
  return array.type_id() == arrow::Type::DICTIONARY &&
         static_cast<const arrow::DictionaryType&>(*array.type()).index_type()->id() ==
             arrow::Type::INT64 &&
         array.data()->dictionary != nullptr;
}

bool is_float64(const arrow::Array& array) { return array.type_id() == arrow::Type::DOUBLE; }

std::string not_found(std::string_view name) {
  return "Column '" + std::string(name) + "' not found";
}

std::string wrong_type(std::string_view name) {
  return "Couldn't convert column '" + std::string(name) + "', likely incorrect type";
}

// The named column viewed as `ArrayT` once `has_type` accepts it. A column
// whose length is not the batch's row count cannot serve as an event column.
template <typename ArrayT>
std::expected<std::shared_ptr<ArrayT>, OpError> typed_column(const arrow::RecordBatch& batch,
                                                             std::string_view name,
                                                             ColumnTest has_type) {
  const auto index = find_column(batch, name);
  if (!index) return std::unexpected(OpError::message(not_found(name)));
  auto array = batch.column(*index);
  if (!array || array->length() != batch.num_rows() || !has_type(*array)) {
    return std::unexpected(OpError::message(wrong_type(name)));
  }
  auto typed = std::dynamic_pointer_cast<ArrayT>(array);
  if (!typed) return std::unexpected(OpError::message(wrong_type(name)));
  return typed;
}

// Every non-null key must select a value of the dictionary; later reads of
// the per-value tables rely on it.
std::expected<void, OpError> check_keys_in_range(const arrow::DictionaryArray& column,
                                                 std::string_view name) {
  const arrow::ArrayData& data = *column.data();
  const std::int64_t values = data.dictionary->length;
  const std::int64_t* keys = data.GetValues<std::int64_t>(1);
  const ValidityBits valid = ValidityBits::of(data);
  const auto rows = static_cast<std::size_t>(data.length);
  for (std::size_t i = 0; i < rows; ++i) {
    if (valid.is_valid(i) && (keys == nullptr || keys[i] < 0 || keys[i] >= values)) {
      return std::unexpected(OpError::message("Dictionary index out of range in column '" +
                                              std::string(name) + "'"));
    }
  }
  return {};
}

// The dictionary values of a column, which must be UTF-8 strings.
std::expected<std::vector<std::optional<std::string_view>>, OpError> string_values(
    const arrow::DictionaryArray& column, const char* message) {
  const auto& dictionary = column.dictionary();
  if (dictionary->type_id() != arrow::Type::STRING) {
    return std::unexpected(OpError::message(message));
  }
  const auto& strings = static_cast<const arrow::StringArray&>(*dictionary);
  const ValidityBits valid = ValidityBits::of(*strings.data());
  std::vector<std::optional<std::string_view>> out;
  out.reserve(static_cast<std::size_t>(strings.length()));
  for (std::int64_t i = 0; i < strings.length(); ++i) {
    if (valid.is_valid(static_cast<std::size_t>(i))) {
      out.emplace_back(strings.GetView(i));
    } else {
      out.emplace_back(std::nullopt);
    }
  }
  return out;
}

}  // namespace

ValidityBits ValidityBits::of(const arrow::ArrayData& data) {
  const auto& bitmap = data.buffers.empty() ? nullptr : data.buffers[0];
  if (!bitmap) return {};
  return {bitmap->data(), data.offset};
}

std::unordered_map<std::string_view, std::size_t> first_positions(
    const std::vector<std::optional<std::string_view>>& values) {
  std::unordered_map<std::string_view, std::size_t> positions;
  positions.reserve(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i]) positions.try_emplace(*values[i], i);  // keeps the first
  }
  return positions;
}

std::expected<std::shared_ptr<arrow::DictionaryArray>, OpError> get_column(
    const arrow::RecordBatch& batch, std::string_view name) {
  return typed_column<arrow::DictionaryArray>(batch, name, is_int64_dictionary);
}

std::expected<Events, OpError> Events::create(const arrow::RecordBatch& batch) {
  Events events;
  RV_ASSIGN(events.time, typed_column<arrow::TimestampArray>(batch, "time",
                                                             is_millisecond_timestamp));
  RV_ASSIGN(events.track, get_column(batch, "track"));
  RV_ASSIGN(events.op, get_column(batch, "op"));
  RV_ASSIGN(events.quantity, typed_column<arrow::DoubleArray>(batch, "quantity", is_float64));
  RV_ASSIGN(events.unit, get_column(batch, "unit"));
  RV_TRY(check_keys_in_range(*events.track, "track"));
  RV_TRY(check_keys_in_range(*events.op, "op"));
  RV_TRY(check_keys_in_range(*events.unit, "unit"));
  return events;
}

std::expected<std::vector<std::optional<std::string_view>>, OpError> Events::ops_iter() const {
  return string_values(*op, "Error in ops column, expected strings");
}

std::expected<std::vector<std::optional<std::string_view>>, OpError> Events::units_iter() const {
  return string_values(*unit, "Error in units column, expected strings");
}

std::expected<std::vector<Op>, OpError> Events::ops_map() const {
  RV_ASSIGN(const auto codes, ops_iter());
  std::vector<Op> ops;
  ops.reserve(codes.size());
  for (const auto& code : codes) ops.push_back(code ? Op::parse(*code) : Op::null());
  return ops;
}

std::expected<void, OpError> Events::identify_tracks(std::vector<Unit>& units) const {
  RV_ASSIGN(const auto tracks, string_values(*track, "Error in tracks column, expected strings"));
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
