// Building the timetable from the events record batch and the expressions.
#pragma once

#include <Python.h>

#include <expected>
#include <memory>
#include <optional>

#include "python_module/pyerror.hpp"
#include "timetable/timetable.hpp"

namespace ravlin::py {

// `events_rb` as a record batch, through `__arrow_c_array__`. On failure the
// Python error (a TypeError or ValueError naming the argument, or the
// producer's own exception) is set.
std::optional<RecordBatch> import_record_batch(PyObject* events_rb);

struct CreateTimeTable {
  // Columns, then expressions, then the op vocabulary, then units and ops.
  static std::expected<TimeTable, PyTimeTableError> create_timetable(
      const RecordBatch& batch, PyObject* expressions);
  // The phrase of one expression entry: "fn", then "inp".
  static std::expected<std::unique_ptr<EvalPhrase>, PyParseError> create_phrase(PyObject* entry);
};

}  // namespace ravlin::py
