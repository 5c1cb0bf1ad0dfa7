// The `_ravlin` module: four pricing functions, one road each through
// timetable, dataset, model, valuation, price and statistics.
#define RAVLIN_IMPORT_NUMPY
#include "python_module/numpy.hpp"

#include <exception>
#include <new>
#include <string>

#include "ravlin_basic/call.hpp"
#include "util/memory.hpp"

namespace {

using namespace ravlin;
using namespace ravlin::py;

// Runs a body on the interpreter's thread; an internal fault (a C++
// exception) becomes a Python exception instead of crossing into the
// interpreter. Never returns null without an exception set.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    PyObject* result = body();
    if (result == nullptr && !PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "Internal error: no result and no exception");
    }
    return result;
  } catch (const MemoryLimitExceeded& limit) {
    PyErr_SetString(PyExc_MemoryError, limit.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& fault) {
    PyErr_Format(PyExc_SystemError, "Internal error: %s", fault.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "Internal error: unknown fault");
  }
  return nullptr;
}

PyObject* py_mc_price(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return price_call("mc_price", args, nargs, kwnames, run_mc); });
}

PyObject* py_fixed_price(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return price_call("fixed_price", args, nargs, kwnames, run_fixed); });
}

PyObject* py_fd_hullwhite_price(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded(
      [&] { return price_call("fd_hullwhite_price", args, nargs, kwnames, run_fd_hullwhite); });
}

PyObject* py_fd_blackscholes_price(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&] {
    return price_call("fd_blackscholes_price", args, nargs, kwnames, run_fd_blackscholes);
  });
}

#define RAVLIN_DOC(name, sentence, module)                                               \
  name "(events_rb, py_state, dataset, expressions)\n--\n\n"                              \
       "Takes the timetable as a pyarrow record batch and calculates price using " sentence \
       ".\nIt wraps the calculate function of the " module " module."

PyMethodDef kMethods[] = {
    {"mc_price", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_mc_price)),
     METH_FASTCALL | METH_KEYWORDS, RAVLIN_DOC("mc_price", "monte carlo simulation", "mc")},
    {"fixed_price", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_fixed_price)),
     METH_FASTCALL | METH_KEYWORDS, RAVLIN_DOC("fixed_price", "monte carlo simulation", "mc")},
    {"fd_hullwhite_price",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_fd_hullwhite_price)),
     METH_FASTCALL | METH_KEYWORDS,
     RAVLIN_DOC("fd_hullwhite_price", "finite difference grid", "fd")},
    {"fd_blackscholes_price",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_fd_blackscholes_price)),
     METH_FASTCALL | METH_KEYWORDS,
     RAVLIN_DOC("fd_blackscholes_price", "finite difference grid", "fd")},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_ravlin", "basic", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* create_module() {
  if (PyArray_ImportNumPyAPI() < 0) return nullptr;
  PyRef module = PyRef::steal(PyModule_Create(&kModule));
  if (!module) return nullptr;
  if (PyModule_AddFunctions(module.get(), kMethods) < 0) return nullptr;
#ifdef Py_GIL_DISABLED
  // Safe without the interpreter lock: every item read from a caller's list
  // or dict is held by a strong reference of our own (python_module/pyref.hpp), and
  // what the module shares between calls is per thread or atomic.
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return nullptr;
#endif
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__ravlin() { return guarded(create_module); }
