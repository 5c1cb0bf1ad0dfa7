#include "support/arrow_builders.hpp"

#include <stdexcept>

namespace ravlin::testing {

namespace {

void check(ArrowErrorCode code, const char* what) {
  if (code != NANOARROW_OK) throw std::runtime_error(std::string("nanoarrow: ") + what);
}

// An array of `type` (set on `schema` by `set_type`) filled by `append`.
template <typename SetType, typename Append>
void build(ArrowSchema* schema, ArrowArray* array, SetType set_type, Append append) {
  ArrowSchemaInit(schema);
  check(set_type(schema), "schema type");
  ArrowError error{};
  check(ArrowArrayInitFromSchema(array, schema, &error), "array init");
  check(ArrowArrayStartAppending(array), "start appending");
  append(array);
  check(ArrowArrayFinishBuildingDefault(array, &error), error.message);
}

template <typename SetType, typename Append>
ColumnPtr column(std::int64_t length, SetType set_type, Append append) {
  return std::make_shared<const ColumnSpec>(ColumnSpec{
      [set_type, append](ArrowSchema* schema, ArrowArray* array) {
        build(schema, array, set_type, append);
      },
      length});
}

auto of_type(ArrowType type) {
  return [type](ArrowSchema* schema) { return ArrowSchemaSetType(schema, type); };
}

template <typename T>
auto append_optional_ints(std::vector<std::optional<T>> values) {
  return [values](ArrowArray* array) {
    for (const auto& v : values) {
      check(v ? ArrowArrayAppendInt(array, *v) : ArrowArrayAppendNull(array, 1), "append");
    }
  };
}

auto append_optional_strings(std::vector<std::optional<std::string>> values) {
  return [values](ArrowArray* array) {
    for (const auto& v : values) {
      if (v) {
        const ArrowStringView text{v->data(), static_cast<std::int64_t>(v->size())};
        check(ArrowArrayAppendString(array, text), "append");
      } else {
        check(ArrowArrayAppendNull(array, 1), "append");
      }
    }
  };
}

template <typename T>
auto append_doubles(std::vector<T> values) {
  return [values](ArrowArray* array) {
    for (const T v : values) check(ArrowArrayAppendDouble(array, v), "append");
  };
}

ArrowTimeUnit arrow_unit(TimeUnit unit) {
  switch (unit) {
    case TimeUnit::Second: return NANOARROW_TIME_UNIT_SECOND;
    case TimeUnit::Milli: return NANOARROW_TIME_UNIT_MILLI;
    case TimeUnit::Micro: return NANOARROW_TIME_UNIT_MICRO;
    case TimeUnit::Nano: return NANOARROW_TIME_UNIT_NANO;
  }
  return NANOARROW_TIME_UNIT_MILLI;
}

// The struct array of a batch, owning its children.
struct StructPrivate {
  std::vector<ArrowArray*> children;
};

void release_struct(ArrowArray* array) {
  auto* owned = static_cast<StructPrivate*>(array->private_data);
  for (ArrowArray* child : owned->children) {
    if (child->release != nullptr) child->release(child);
    delete child;
  }
  delete owned;
  delete[] array->buffers;
  array->release = nullptr;
}

}  // namespace

ColumnPtr dict_column(const std::vector<std::optional<std::int64_t>>& keys,
                      const std::vector<std::optional<std::string>>& values) {
  return dictionary_of(int64_column(keys), string_column(values));
}

ColumnPtr time_column(const std::vector<std::optional<std::int64_t>>& ms) {
  const auto set_type = [](ArrowSchema* schema) {
    return ArrowSchemaSetTypeDateTime(schema, NANOARROW_TYPE_TIMESTAMP,
                                      NANOARROW_TIME_UNIT_MILLI, nullptr);
  };
  return column(static_cast<std::int64_t>(ms.size()), set_type, append_optional_ints(ms));
}

ColumnPtr double_column(const std::vector<double>& values) {
  return column(static_cast<std::int64_t>(values.size()), of_type(NANOARROW_TYPE_DOUBLE),
                append_doubles(values));
}

BatchPtr timetable_batch(const std::vector<Row>& rows,
                         const std::vector<std::optional<std::string>>& tracks,
                         const std::vector<std::optional<std::string>>& ops,
                         const std::vector<std::optional<std::string>>& units,
                         std::optional<Slice> slice) {
  std::vector<std::optional<std::int64_t>> track_keys, times, op_keys, unit_keys;
  std::vector<double> quantities;
  for (const Row& row : rows) {
    track_keys.push_back(row.track);
    times.push_back(row.time);
    op_keys.push_back(row.op);
    quantities.push_back(row.quantity);
    unit_keys.push_back(row.unit);
  }
  return batch_of({{"track", dict_column(track_keys, tracks)},
                   {"time", time_column(times)},
                   {"op", dict_column(op_keys, ops)},
                   {"quantity", double_column(quantities)},
                   {"unit", dict_column(unit_keys, units)}},
                  slice.value_or(Slice{0, static_cast<std::int64_t>(rows.size())}));
}

ColumnPtr int64_column(const std::vector<std::optional<std::int64_t>>& values) {
  return column(static_cast<std::int64_t>(values.size()), of_type(NANOARROW_TYPE_INT64),
                append_optional_ints(values));
}

ColumnPtr int32_column(const std::vector<std::optional<std::int32_t>>& values) {
  return column(static_cast<std::int64_t>(values.size()), of_type(NANOARROW_TYPE_INT32),
                append_optional_ints(values));
}

ColumnPtr float32_column(const std::vector<float>& values) {
  return column(static_cast<std::int64_t>(values.size()), of_type(NANOARROW_TYPE_FLOAT),
                append_doubles(values));
}

ColumnPtr string_column(const std::vector<std::optional<std::string>>& values) {
  return column(static_cast<std::int64_t>(values.size()), of_type(NANOARROW_TYPE_STRING),
                append_optional_strings(values));
}

ColumnPtr large_string_column(const std::vector<std::string>& values) {
  return column(static_cast<std::int64_t>(values.size()), of_type(NANOARROW_TYPE_LARGE_STRING),
                append_optional_strings({values.begin(), values.end()}));
}

ColumnPtr timestamp_column(TimeUnit unit, const std::vector<std::int64_t>& values,
                           const std::string& timezone) {
  const auto set_type = [unit, timezone](ArrowSchema* schema) {
    return ArrowSchemaSetTypeDateTime(schema, NANOARROW_TYPE_TIMESTAMP, arrow_unit(unit),
                                      timezone.empty() ? nullptr : timezone.c_str());
  };
  return column(static_cast<std::int64_t>(values.size()), set_type,
                append_optional_ints(std::vector<std::optional<std::int64_t>>(values.begin(),
                                                                              values.end())));
}

ColumnPtr dictionary_of(const ColumnPtr& indices, const ColumnPtr& dictionary) {
  return std::make_shared<const ColumnSpec>(ColumnSpec{
      [indices, dictionary](ArrowSchema* schema, ArrowArray* array) {
        indices->make(schema, array);
        check(ArrowSchemaAllocateDictionary(schema), "dictionary schema");
        ArrowSchema values_schema;
        ArrowArray values;
        dictionary->make(&values_schema, &values);
        ArrowSchemaMove(&values_schema, schema->dictionary);
        // The index array was built by nanoarrow without a dictionary slot.
        check(ArrowArrayAllocateDictionary(array), "dictionary array");
        ArrowArrayMove(&values, array->dictionary);
      },
      indices->length});
}

BatchPtr batch_of(const std::vector<NamedColumn>& columns, std::optional<Slice> slice) {
  const auto count = static_cast<std::int64_t>(columns.size());
  ArrowSchema schema;
  ArrowSchemaInit(&schema);
  check(ArrowSchemaSetTypeStruct(&schema, count), "struct schema");

  ArrowArray array{};
  auto* owned = new StructPrivate;
  for (std::int64_t i = 0; i < count; ++i) {
    const auto& [name, recipe] = columns[static_cast<std::size_t>(i)];
    ArrowSchema* field = schema.children[i];
    field->release(field);
    auto* child = new ArrowArray;
    recipe->make(field, child);
    check(ArrowSchemaSetName(field, name.c_str()), "field name");
    owned->children.push_back(child);
  }
  const std::int64_t rows = columns.empty() ? 0 : columns.front().second->length;
  array.offset = slice ? slice->offset : 0;
  array.length = slice ? slice->length : rows;
  array.null_count = 0;
  array.n_buffers = 1;
  array.buffers = new const void*[1]{nullptr};
  array.n_children = count;
  array.children = owned->children.data();
  array.private_data = owned;
  array.release = release_struct;

  auto batch = RecordBatch::import(&schema, &array);
  if (!batch) throw std::runtime_error(batch.error().reason);
  return std::make_shared<const RecordBatch>(std::move(*batch));
}

}  // namespace ravlin::testing
