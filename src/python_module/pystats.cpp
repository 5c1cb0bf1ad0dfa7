#include "python_module/pystats.hpp"

#include <utility>

#include "python_module/numpy.hpp"
#include "python_module/pyexpr.hpp"
#include "python_module/pygil.hpp"
#include "python_module/pyinterrupt.hpp"
#include "python_module/pyref.hpp"

namespace ravlin::py {

namespace {

template <typename Buffer>
void delete_buffer(PyObject* capsule) {
  delete static_cast<Buffer*>(PyCapsule_GetPointer(capsule, nullptr));
}

// A 1-D NumPy array over `buffer`, which moves to the heap and is owned by
// the array's base object: no element is copied.
template <typename Buffer>
PyRef adopt_as_numpy(Buffer&& buffer, int typenum) {
  auto* owned = new Buffer(std::forward<Buffer>(buffer));
  PyRef capsule = PyRef::steal(PyCapsule_New(owned, nullptr, &delete_buffer<Buffer>));
  if (!capsule) {
    delete owned;
    return {};
  }
  npy_intp size = static_cast<npy_intp>(owned->size());
  PyRef array = PyRef::steal(PyArray_SimpleNewFromData(1, &size, typenum, owned->data()));
  if (!array) return {};
  // SetBaseObject takes the capsule's reference, also when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) {
    return {};
  }
  return array;
}

PyRef make_index(std::uint64_t index) { return PyRef::steal(PyLong_FromUnsignedLongLong(index)); }

// Calls py_state.set_stat(name, value); a Python failure is discarded.
void set_stat(PyObject* py_state, const char* name, PyObject* value) {
  if (value == nullptr) {
    discard_error();
    return;
  }
  PyRef result = PyRef::steal(PyObject_CallMethod(py_state, "set_stat", "sO", name, value));
  if (!result) discard_error();
}

// Stores `value` under `key` in `dict`; a failure is discarded.
void set_item(PyObject* dict, PyRef key, PyRef value) {
  if (!dict || !key || !value || PyDict_SetItem(dict, key.get(), value.get()) < 0) discard_error();
}

// outer key -> (inner key -> array), draining the ledger's nested map.
template <typename NestedMap>
PyRef drain_nested(NestedMap& map, int typenum) {
  PyRef outer = PyRef::steal(PyDict_New());
  for (auto& [outer_key, inner_map] : map) {
    PyRef inner = PyRef::steal(PyDict_New());
    for (auto& [inner_key, buffer] : inner_map) {
      set_item(inner.get(), make_index(inner_key), adopt_as_numpy(std::move(buffer), typenum));
    }
    set_item(outer.get(), make_index(outer_key), std::move(inner));
  }
  map.clear();
  return outer;
}

}  // namespace

std::expected<void, ModelError> py_save_stats(std::uint32_t flags, Ledger& ledger,
                                              PyObject* py_state) {
  const WithGil gil;
  if (flags & kFlagPvVec) {
    RV_ASSIGN(const Values* pv, ledger.pv_vec(0));
    py_save_array("PV_VEC", *pv, py_state);
  }
  if (flags & kFlagChoices) {
    PyRef choices = drain_nested(ledger.choices().map, NPY_UINT64);
    set_stat(py_state, "CHOICES", choices.get());
  }
  if (flags & kFlagCashflow) {
    PyRef cashflows = drain_nested(ledger.cashflows(), NPY_DOUBLE);
    set_stat(py_state, "CASHFLOW", cashflows.get());
  }
  return {};
}

void py_save_array(const char* name, const Values& values, PyObject* py_state) {
  const WithGil gil;
  PyRef array = to_numpy(values);
  set_stat(py_state, name, array.get());
}

}  // namespace ravlin::py
