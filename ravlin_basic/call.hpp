// One pricing call: argument binding and conversion, then the model's road.
#pragma once

#include <Python.h>

#include <array>
#include <expected>

#include "python_module/pyerror.hpp"
#include "timetable/record_batch.hpp"

namespace ravlin::py {

// The four parameters of every pricing function, borrowed from the caller.
struct CallArguments {
  PyObject* events_rb;
  PyObject* py_state;
  PyObject* dataset;
  PyObject* expressions;
};

using PriceResult = std::expected<double, BoundaryError>;
using PricingRoad = PriceResult (*)(const RecordBatch& batch, const CallArguments& call);

PriceResult run_fixed(const RecordBatch& batch, const CallArguments& call);
PriceResult run_mc(const RecordBatch& batch, const CallArguments& call);
PriceResult run_fd_blackscholes(const RecordBatch& batch, const CallArguments& call);
PriceResult run_fd_hullwhite(const RecordBatch& batch, const CallArguments& call);

// Binds (events_rb, py_state, dataset, expressions) by position or keyword,
// converts them, runs the road and returns the price as a Python float (or
// null with the exception set).
PyObject* price_call(const char* function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PricingRoad road);

}  // namespace ravlin::py
