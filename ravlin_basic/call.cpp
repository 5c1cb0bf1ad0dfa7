#include "ravlin_basic/call.hpp"

#include <string>

#include "python_module/pyapi.hpp"
#include "python_module/pygil.hpp"
#include "python_module/pyinterrupt.hpp"
#include "python_module/pymc.hpp"
#include "python_module/pystats.hpp"
#include "python_module/pyunit.hpp"
#include "qfd/engine.hpp"

namespace ravlin::py {

namespace {

constexpr std::array<const char*, 4> kParameters = {"events_rb", "py_state", "dataset",
                                                    "expressions"};

// The host's binding rules: positional first, then keywords; missing,
// duplicated and unknown arguments are TypeErrors.
bool bind_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::array<PyObject*, 4>& bound) {
  bound.fill(nullptr);
  if (nargs > 4) {
    PyErr_Format(PyExc_TypeError, "%s() takes 4 positional arguments but %zd were given",
                 function, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];
  // The names are a tuple (immutable) that the caller holds for the call.
  const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = PyTuple_GetItem(kwnames, k);
    std::size_t slot = kParameters.size();
    for (std::size_t p = 0; p < kParameters.size(); ++p) {
      if (PyUnicode_CompareWithASCIIString(name, kParameters[p]) == 0) slot = p;
    }
    if (slot == kParameters.size()) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, name);
      return false;
    }
    if (bound[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                   kParameters[slot]);
      return false;
    }
    bound[slot] = args[nargs + k];
  }
  std::string missing;
  int count = 0;
  for (std::size_t p = 0; p < kParameters.size(); ++p) {
    if (bound[p] != nullptr) continue;
    if (count > 0) missing += ", ";
    missing += std::string("'") + kParameters[p] + "'";
    ++count;
  }
  if (count > 0) {
    PyErr_Format(PyExc_TypeError, "%s() missing %d required positional argument%s: %s", function,
                 count, count == 1 ? "" : "s", missing.c_str());
    return false;
  }
  return true;
}

bool check_dict(PyObject* object, const char* parameter) {
  if (PyDict_Check(object)) return true;
  PyErr_Format(PyExc_TypeError, "argument '%s': %s", parameter,
               type_check_text(object, "PyDict").c_str());
  return false;
}

}  // namespace

PriceResult run_fixed(const RecordBatch& batch, const CallArguments& call) {
  RV_ASSIGN(TimeTable timetable, CreateTimeTable::create_timetable(batch, call.expressions));
  RV_ASSIGN(Fixed model, fixed_from_dataset(call.dataset));
  RV_ASSIGN(const bool release, release_gil(call.dataset, "FIXED"));
  RV_ASSIGN(Ledger ledger,
            without_gil(release, [&] { return model.calculate(timetable, call.cancel); }));
  RV_ASSIGN(double price, model.price(ledger));
  RV_TRY(py_save_stats(model.flags(), ledger, call.py_state));
  return price;
}

PriceResult run_mc(const RecordBatch& batch, const CallArguments& call) {
  RV_ASSIGN(TimeTable timetable, CreateTimeTable::create_timetable(batch, call.expressions));
  RV_ASSIGN(MCParams params, get_mc_params(call.dataset));
  MCPy model(std::move(params), call.py_state);
  RV_ASSIGN(Ledger ledger, mc_calculate(model, timetable, call.cancel));
  RV_ASSIGN(double price, mc_price(ledger, model.params().exercise.priced_from()));
  RV_TRY(py_save_stats(model.params().flags, ledger, call.py_state));
  return price;
}

namespace {

// The statistics of FLAGS first, then, when "NODES" asks for them, the
// node coordinates.
template <typename GridModel>
PriceResult run_grid(GridModel& model, const TimeTable& timetable, const CallArguments& call) {
  Values nodes;
  RV_ASSIGN(const bool release, release_gil(call.dataset, "FD"));
  RV_ASSIGN(Ledger ledger, without_gil(release, [&] {
              return calculate_fd(model, timetable, call.cancel,
                                  model.params().nodes ? &nodes : nullptr);
            }));
  RV_ASSIGN(double price, price_fd(model, ledger));
  RV_TRY(py_save_stats(model.params().flags, ledger, call.py_state));
  if (model.params().nodes) py_save_array("NODES", nodes, call.py_state);
  return price;
}

}  // namespace

PriceResult run_fd_blackscholes(const RecordBatch& batch, const CallArguments& call) {
  RV_ASSIGN(TimeTable timetable, CreateTimeTable::create_timetable(batch, call.expressions));
  RV_ASSIGN(BlackScholesCN model, black_scholes_from_dataset(call.dataset));
  return run_grid(model, timetable, call);
}

PriceResult run_fd_hullwhite(const RecordBatch& batch, const CallArguments& call) {
  RV_ASSIGN(TimeTable timetable, CreateTimeTable::create_timetable(batch, call.expressions));
  RV_ASSIGN(HullWhiteCN model, hull_white_from_dataset(call.dataset));
  return run_grid(model, timetable, call);
}

PyObject* price_call(const char* function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PricingRoad road) {
  std::array<PyObject*, 4> bound{};
  if (!bind_arguments(function, args, nargs, kwnames, bound)) return nullptr;
  CallInterrupt interrupt;
  const CallArguments call{bound[0], bound[1], bound[2], bound[3], interrupt.hook()};
  // Large value buffers freed during the call serve later ones of it.
  const ValuesPoolScope pool;
  auto batch = import_record_batch(call.events_rb);
  if (!batch) return nullptr;
  if (!check_dict(call.dataset, "dataset") || !check_dict(call.expressions, "expressions")) {
    return nullptr;
  }
  PriceResult price = road(*batch, call);
  // Ctrl-C, or a KeyboardInterrupt out of a callback, ends the call as
  // itself, whatever became of the calculation.
  if (interrupt.raised()) {
    interrupt.restore();
    return nullptr;
  }
  if (!price) {
    raise_error(price.error());
    return nullptr;
  }
  return PyFloat_FromDouble(*price);
}

}  // namespace ravlin::py
