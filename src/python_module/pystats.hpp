// The statistics of a valuation, handed to `py_state.set_stat`.
#pragma once

#include <Python.h>

#include <cstdint>
#include <expected>

#include "ledger/ledger.hpp"
#include "model/error.hpp"

namespace ravlin::py {

// "PV_VEC" (bit 1, a copy), "CHOICES" (bit 2) and "CASHFLOW" (bit 8), the
// latter two moved out of the ledger into NumPy without copying. Only a
// missing track 0 under bit 1 is reported; Python-side failures are swallowed.
std::expected<void, ModelError> py_save_stats(std::uint32_t flags, Ledger& ledger,
                                              PyObject* py_state);
// A copy of `values` as `py_state.set_stat(name, array)`; a Python-side
// failure is swallowed as above.
void py_save_array(const char* name, const Values& values, PyObject* py_state);

}  // namespace ravlin::py
