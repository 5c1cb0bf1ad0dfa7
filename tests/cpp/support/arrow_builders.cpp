#include "support/arrow_builders.hpp"

#include <stdexcept>

namespace ravlin::testing {

namespace {

template <typename T>
std::shared_ptr<T> ok_or_throw(arrow::Result<std::shared_ptr<T>> result) {
  if (!result.ok()) throw std::runtime_error(result.status().ToString());
  return *result;
}

void check(const arrow::Status& status) {
  if (!status.ok()) throw std::runtime_error(status.ToString());
}

}  // namespace

std::shared_ptr<arrow::Array> dict_column(const std::vector<std::optional<std::int64_t>>& keys,
                                          const std::vector<std::optional<std::string>>& values) {
  arrow::Int64Builder key_builder;
  for (const auto& key : keys) {
    check(key ? key_builder.Append(*key) : key_builder.AppendNull());
  }
  arrow::StringBuilder value_builder;
  for (const auto& value : values) {
    check(value ? value_builder.Append(*value) : value_builder.AppendNull());
  }
  auto indices = ok_or_throw(key_builder.Finish());
  auto dictionary = ok_or_throw(value_builder.Finish());
  auto type = arrow::dictionary(arrow::int64(), arrow::utf8());
  return std::make_shared<arrow::DictionaryArray>(type, indices, dictionary);
}

std::shared_ptr<arrow::Array> time_column(const std::vector<std::optional<std::int64_t>>& ms) {
  arrow::TimestampBuilder builder(arrow::timestamp(arrow::TimeUnit::MILLI),
                                  arrow::default_memory_pool());
  for (const auto& t : ms) check(t ? builder.Append(*t) : builder.AppendNull());
  return ok_or_throw(builder.Finish());
}

std::shared_ptr<arrow::Array> double_column(const std::vector<double>& values) {
  arrow::DoubleBuilder builder;
  check(builder.AppendValues(values));
  return ok_or_throw(builder.Finish());
}

std::shared_ptr<arrow::RecordBatch> timetable_batch(
    const std::vector<Row>& rows, const std::vector<std::optional<std::string>>& tracks,
    const std::vector<std::optional<std::string>>& ops,
    const std::vector<std::optional<std::string>>& units) {
  std::vector<std::optional<std::int64_t>> track_keys, times, op_keys, unit_keys;
  std::vector<double> quantities;
  for (const Row& row : rows) {
    track_keys.push_back(row.track);
    times.push_back(row.time);
    op_keys.push_back(row.op);
    quantities.push_back(row.quantity);
    unit_keys.push_back(row.unit);
  }
  auto dict_type = arrow::dictionary(arrow::int64(), arrow::utf8());
  auto schema = arrow::schema({
      arrow::field("track", dict_type),
      arrow::field("time", arrow::timestamp(arrow::TimeUnit::MILLI)),
      arrow::field("op", dict_type),
      arrow::field("quantity", arrow::float64()),
      arrow::field("unit", dict_type),
  });
  return arrow::RecordBatch::Make(
      schema, static_cast<std::int64_t>(rows.size()),
      {dict_column(track_keys, tracks), time_column(times), dict_column(op_keys, ops),
       double_column(quantities), dict_column(unit_keys, units)});
}

std::shared_ptr<arrow::Array> int64_column(const std::vector<std::optional<std::int64_t>>& values) {
  arrow::Int64Builder builder;
  for (const auto& v : values) check(v ? builder.Append(*v) : builder.AppendNull());
  return ok_or_throw(builder.Finish());
}

std::shared_ptr<arrow::Array> int32_column(const std::vector<std::optional<std::int32_t>>& values) {
  arrow::Int32Builder builder;
  for (const auto& v : values) check(v ? builder.Append(*v) : builder.AppendNull());
  return ok_or_throw(builder.Finish());
}

std::shared_ptr<arrow::Array> float32_column(const std::vector<float>& values) {
  arrow::FloatBuilder builder;
  check(builder.AppendValues(values));
  return ok_or_throw(builder.Finish());
}

std::shared_ptr<arrow::Array> string_column(const std::vector<std::optional<std::string>>& values) {
  arrow::StringBuilder builder;
  for (const auto& v : values) check(v ? builder.Append(*v) : builder.AppendNull());
  return ok_or_throw(builder.Finish());
}

std::shared_ptr<arrow::Array> large_string_column(const std::vector<std::string>& values) {
  arrow::LargeStringBuilder builder;
  check(builder.AppendValues(values));
  return ok_or_throw(builder.Finish());
}

std::shared_ptr<arrow::Array> timestamp_column(arrow::TimeUnit::type unit,
                                               const std::vector<std::int64_t>& values,
                                               const std::string& timezone) {
  arrow::TimestampBuilder builder(arrow::timestamp(unit, timezone), arrow::default_memory_pool());
  check(builder.AppendValues(values));
  return ok_or_throw(builder.Finish());
}

std::shared_ptr<arrow::Array> dictionary_of(const std::shared_ptr<arrow::Array>& indices,
                                            const std::shared_ptr<arrow::Array>& dictionary) {
  auto type = arrow::dictionary(indices->type(), dictionary->type());
  return std::make_shared<arrow::DictionaryArray>(type, indices, dictionary);
}

std::shared_ptr<arrow::RecordBatch> batch_of(const std::vector<NamedColumn>& columns) {
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  for (const auto& [name, array] : columns) {
    fields.push_back(arrow::field(name, array->type()));
    arrays.push_back(array);
  }
  const std::int64_t rows = columns.empty() ? 0 : columns.front().second->length();
  return arrow::RecordBatch::Make(arrow::schema(fields), rows, arrays);
}

}  // namespace ravlin::testing
