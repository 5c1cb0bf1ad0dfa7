#include "python_module/pyunit.hpp"

#include <array>
#include <string>

#include "python_module/pyexpr.hpp"
#include "python_module/pyinterrupt.hpp"
#include "python_module/pyutils.hpp"

namespace ravlin::py {

namespace {

void set_events_type_error(const std::string& reason) {
  PyErr_SetString(PyExc_TypeError, ("argument 'events_rb': " + reason).c_str());
}

std::string module_and_name(PyObject* object) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
  std::string module_name = "builtins";
  if (!module || !convert(module.get(), module_name)) discard_error();
  return module_name + "." + type_name(object);
}

}  // namespace

namespace {

// The producer's capsules: a TypeError it raises (also for a method that is
// not callable) names the argument like every other type fault of it; any
// other exception reaches the caller unchanged.
PyRef call_producer(PyObject* method) {
  PyRef capsules = PyRef::steal(PyObject_CallNoArgs(method));
  if (!capsules && PyErr_ExceptionMatches(PyExc_TypeError)) {
    set_events_type_error(PyException::fetch().message());
  }
  return capsules;
}

bool are_array_capsules(PyObject* capsules) {
  return PyTuple_Check(capsules) && PyTuple_Size(capsules) == 2 &&
         PyCapsule_IsValid(PyTuple_GetItem(capsules, 0), "arrow_schema") &&
         PyCapsule_IsValid(PyTuple_GetItem(capsules, 1), "arrow_array");
}

}  // namespace

std::optional<RecordBatch> import_record_batch(PyObject* events_rb) {
  PyRef method = PyRef::steal(PyObject_GetAttrString(events_rb, "__arrow_c_array__"));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return std::nullopt;
    PyErr_Clear();
    set_events_type_error("Expected instance of pyarrow.lib.RecordBatch, got " +
                          module_and_name(events_rb));
    return std::nullopt;
  }
  PyRef capsules = call_producer(method.get());
  if (!capsules) return std::nullopt;
  if (!are_array_capsules(capsules.get())) {
    set_events_type_error("__arrow_c_array__ must return a tuple of the capsules "
                          "'arrow_schema' and 'arrow_array'");
    return std::nullopt;
  }
  auto* schema = static_cast<ArrowSchema*>(
      PyCapsule_GetPointer(PyTuple_GetItem(capsules.get(), 0), "arrow_schema"));
  auto* array = static_cast<ArrowArray*>(
      PyCapsule_GetPointer(PyTuple_GetItem(capsules.get(), 1), "arrow_array"));
  if (schema->release == nullptr || array->release == nullptr) {
    set_events_type_error("the Arrow capsules have already been consumed");
    return std::nullopt;
  }
  // The import moves both structs out of the capsules (marking them
  // released), so the capsules' destructors have nothing left to free.
  auto batch = RecordBatch::import(schema, array);
  if (!batch) {
    const RecordBatch::ImportError& fault = batch.error();
    PyErr_SetString(fault.type_error ? PyExc_TypeError : PyExc_ValueError,
                    ("argument 'events_rb': " + fault.reason).c_str());
    return std::nullopt;
  }
  return std::move(*batch);
}

std::expected<std::unique_ptr<EvalPhrase>, PyParseError> CreateTimeTable::create_phrase(
    PyObject* entry) {
  RV_ASSIGN(PyRef fn, get_any(entry, "fn"));
  RV_ASSIGN(auto inp, get_typed<std::vector<std::string>>(entry, "inp"));
  return std::make_unique<PyPhrase>(std::move(inp), std::move(fn));
}

namespace {

// One entry of the expressions dictionary, stored into its table.
std::expected<void, PyParseError> read_expression(const std::string& name, PyObject* entry,
                                                  Expressions& expressions) {
  RV_ASSIGN(auto type, get_typed<std::string>(entry, "type"));
  if (type == "snapper") {
    RV_ASSIGN(auto phrase, CreateTimeTable::create_phrase(entry));
    RV_ASSIGN(auto out, get_typed<std::vector<std::string>>(entry, "out"));
    expressions.snappers.insert_or_assign(name, Snapper{std::move(out), std::move(phrase)});
  } else if (type == "phrase") {
    RV_ASSIGN(auto phrase, CreateTimeTable::create_phrase(entry));
    expressions.phrases.insert_or_assign(name, std::move(phrase));
  } else if (type == "batch") {
    return std::unexpected(PyParseError::message("Batch is not supported in this package"));
  } else {
    return std::unexpected(
        PyParseError::Kind{PyParseError::InvalidValue{"type", std::move(type)}});
  }
  return {};
}

std::expected<Expressions, PyParseError> read_expressions(PyObject* dict) {
  Expressions expressions;
  // A snapshot of the items: reading an entry may run Python code that
  // changes the dictionary.
  PyRef items = PyRef::steal(PyDict_Items(dict));
  if (!items) return std::unexpected(PyParseError::fetch());
  for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);
    PyObject* key = PyTuple_GetItem(item, 0);
    PyObject* entry = PyTuple_GetItem(item, 1);
    std::string name;
    if (!convert(key, name)) return std::unexpected(PyParseError::fetch());
    if (!PyDict_Check(entry)) return std::unexpected(PyParseError::type_check(entry, "PyDict"));
    if (auto read = read_expression(name, entry, expressions); !read) {
      return std::unexpected(PyParseError::expr_err(name, std::move(read).error()));
    }
  }
  return expressions;
}

bool is_op_code(std::string_view code) {
  constexpr std::array<std::string_view, 4> kCodes = {"+", ">", "<", "s"};
  for (auto known : kCodes) {
    if (code == known) return true;
  }
  return false;
}

std::expected<void, PyTimeTableError> check_op_vocabulary(const Events& events) {
  RV_ASSIGN(auto codes, events.ops_iter());
  for (const auto& code : codes) {
    if (code && !is_op_code(*code)) {
      return std::unexpected(PyParseError(
          PyParseError::Kind{PyParseError::InvalidValue{"Op", std::string(*code)}}));
    }
  }
  return {};
}

}  // namespace

std::expected<TimeTable, PyTimeTableError> CreateTimeTable::create_timetable(
    const RecordBatch& batch, PyObject* expressions) {
  RV_ASSIGN(Events events, Events::create(batch));
  RV_ASSIGN(Expressions parsed, read_expressions(expressions));
  RV_TRY(check_op_vocabulary(events));
  RV_ASSIGN(TimeTable timetable, TimeTable::create(std::move(events), std::move(parsed)));
  return timetable;
}

}  // namespace ravlin::py
