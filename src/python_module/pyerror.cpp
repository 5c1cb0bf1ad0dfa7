#include "python_module/pyerror.hpp"

#include <optional>

#include "python_module/pyinterrupt.hpp"
#include "util/overloaded.hpp"

namespace ravlin::py {

namespace {

// UTF-8 text of a Python str; invalid surrogates are replaced, never raised.
std::string utf8_of(PyObject* text) {
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
  if (!bytes) {
    discard_error();
    return "<text not encodable>";
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) {
    discard_error();
    return "<text not encodable>";
  }
  return std::string(data, static_cast<std::size_t>(size));
}

// The words of each error that wraps another, before the link to it.
std::string head(const PyParseError::Asset&) { return "Error while parsing Asset"; }
std::string head(const PyParseError::Expression& k) {
  return "Error while parsing expression '" + k.name + "'";
}
std::string head(const PyParseError::WrongType& k) {
  return "Error in value of " + k.key + ", likely incorrect type.";
}
std::string head(const PyExecError::Method& k) {
  return "Error in Python method '" + k.method + "'";
}
constexpr const char* kTimetableHead = "Error while parsing Timetable";

}  // namespace

std::string type_name(PyObject* object) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  if (!name) {
    discard_error();
    return "<unknown type>";
  }
  return utf8_of(name.get());
}

std::string type_check_text(PyObject* object, std::string_view expected) {
  std::string text = "'";
  text.append(type_name(object)).append("' object cannot be converted to '");
  text.append(expected).append("'");
  return text;
}

PyException PyException::fetch() {
  PyException exception;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    // Callers fetch only after a failure; keep a message rather than nothing.
    return make(PyExc_SystemError, "error return without exception set");
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  exception.type_ = PyRef::steal(type);
  exception.value_ = PyRef::steal(value);
  exception.traceback_ = PyRef::steal(traceback);
  CallInterrupt::notice(exception);
  return exception;
}

bool PyException::ends_program() const {
  return PyErr_GivenExceptionMatches(type_.get(), PyExc_BaseException) &&
         !PyErr_GivenExceptionMatches(type_.get(), PyExc_Exception);
}

PyException PyException::clone() const {
  PyException copy;
  copy.type_ = type_.clone();
  copy.value_ = value_.clone();
  copy.traceback_ = traceback_.clone();
  return copy;
}

PyException PyException::make(PyObject* type, std::string_view message) {
  PyException exception;
  exception.type_ = PyRef::borrow(type);
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(),
                                                 static_cast<Py_ssize_t>(message.size()),
                                                 "replace"));
  exception.value_ = PyRef::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
  if (!exception.value_) discard_error();
  return exception;
}

std::string PyException::text() const {
  std::string name = "<unknown exception>";
  if (type_ && PyType_Check(type_.get())) {
    PyRef qualname = PyRef::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(type_.get())));
    if (qualname) {
      name = utf8_of(qualname.get());
    } else {
      discard_error();
    }
  }
  return name + ": " + message();
}

std::string PyException::message() const {
  PyRef str = value_ ? PyRef::steal(PyObject_Str(value_.get())) : PyRef();
  if (!str) {
    discard_error();
    return "<exception str() failed>";
  }
  return utf8_of(str.get());
}

void PyException::restore() && {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

PyParseError PyParseError::expr_err(std::string name, PyParseError inner) {
  return Kind{Expression{std::make_unique<PyParseError>(std::move(inner)), std::move(name)}};
}

PyParseError PyParseError::type_check(PyObject* object, std::string_view expected) {
  return Kind{WrongType{"n/a", type_check_text(object, expected)}};
}

std::string PyParseError::text() const {
  return std::visit(
      overloaded{
          [](const Python& k) { return k.inner.text(); },
          [](const Asset& k) { return head(k) + ", caused by \n" + k.inner.text(); },
          [](const Expression& k) { return head(k) + ", caused by \n" + k.inner->text(); },
          [](const InvalidValue& k) {
            return "Invalid value '" + k.value + "' for key '" + k.key + "'";
          },
          [](const MissingKey& k) { return "Py Dictionary is missing key '" + k.key + "'"; },
          [](const WrongType& k) { return head(k) + " caused by \n" + k.cause; },
          [](const Message& k) { return k.text; },
      },
      kind);
}

Causes PyParseError::causes() const {
  return std::visit(
      overloaded{
          [](const Asset& k) { return caused_by(head(k), k.inner.causes()); },
          [](const Expression& k) { return caused_by(head(k), k.inner->causes()); },
          [](const WrongType& k) { return caused_by(head(k), {k.cause}); },
          [this](const auto&) { return Causes{text()}; },
      },
      kind);
}

std::string PyTimeTableError::text() const {
  return std::string(kTimetableHead) + ", caused by \n" +
         std::visit([](const auto& k) { return k.inner.text(); }, kind);
}

Causes PyTimeTableError::causes() const {
  return caused_by(kTimetableHead,
                   std::visit([](const auto& k) { return k.inner.causes(); }, kind));
}

std::string PyExecError::text() const {
  return std::visit(
      overloaded{
          [](const Python& k) { return k.inner.text(); },
          [](const WrongType& k) { return "Error in found value, likely incorrect type: " + k.cause; },
          [](const Method& k) { return head(k) + ", caused by \n" + k.inner.text(); },
          [](const Message& k) { return "Error in Python execution:\n" + k.text; },
      },
      kind);
}

Causes PyExecError::causes() const {
  if (const auto* method = std::get_if<Method>(&kind)) {
    return caused_by(head(*method), {method->inner.text()});
  }
  return {text()};
}

namespace {

// The words that the boundary puts before an error of each type; none
// before a timetable error, whose own text opens with its context.
constexpr const char* kDatasetHead = "Error while parsing Dataset";
constexpr const char* kModelHead = "Error during model evaluation";

std::string boundary_text(const BoundaryError& error) {
  return std::visit(
      overloaded{
          [](const PyTimeTableError& e) { return e.text(); },
          [](const PyParseError& e) {
            return std::string(kDatasetHead) + ", caused by\n" + e.text();
          },
          [](const ModelError& e) { return std::string(kModelHead) + ", caused by\n" + e.text(); },
      },
      error);
}

Causes boundary_causes(const BoundaryError& error) {
  return std::visit(
      overloaded{
          [](const PyTimeTableError& e) { return e.causes(); },
          [](const PyParseError& e) { return caused_by(kDatasetHead, e.causes()); },
          [](const ModelError& e) { return caused_by(kModelHead, e.causes()); },
      },
      error);
}

PyRef utf8_text(const std::string& text) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// A tuple of str, or null with the Python error set.
PyRef text_tuple(const Causes& texts) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
  if (!tuple) return tuple;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyRef item = utf8_text(texts[i]);
    if (!item) return PyRef();
    // PyTuple_SetItem takes over the item's reference.
    if (PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item.release()) < 0) {
      return PyRef();
    }
  }
  return tuple;
}

// `causes` and `row` on the exception; false with the Python error set.
bool set_error_data(PyObject* exception, const BoundaryError& error) {
  PyRef causes = text_tuple(boundary_causes(error));
  if (!causes || PyObject_SetAttrString(exception, "causes", causes.get()) < 0) return false;
  const auto* model = std::get_if<ModelError>(&error);
  const std::optional<std::size_t> row = model != nullptr ? model->row() : std::nullopt;
  PyRef value = row ? PyRef::steal(PyLong_FromSize_t(*row)) : PyRef::borrow(Py_None);
  return value && PyObject_SetAttrString(exception, "row", value.get()) == 0;
}

}  // namespace

void raise_error(const BoundaryError& error) {
  PyRef text = utf8_text(boundary_text(error));
  if (!text) return;
  PyRef exception =
      PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_RuntimeError, text.get(), nullptr));
  if (!exception) return;
  // The message is the report; should its data not fit in memory, the
  // exception still goes up, without them.
  if (!set_error_data(exception.get(), error)) discard_error();
  PyErr_SetObject(PyExc_RuntimeError, exception.get());
}

}  // namespace ravlin::py
