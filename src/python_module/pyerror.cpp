#include "python_module/pyerror.hpp"

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
          [](const Asset& k) { return "Error while parsing Asset, caused by \n" + k.inner.text(); },
          [](const Expression& k) {
            return "Error while parsing expression '" + k.name + "', caused by \n" +
                   k.inner->text();
          },
          [](const InvalidValue& k) {
            return "Invalid value '" + k.value + "' for key '" + k.key + "'";
          },
          [](const MissingKey& k) { return "Py Dictionary is missing key '" + k.key + "'"; },
          [](const WrongType& k) {
            return "Error in value of " + k.key + ", likely incorrect type. caused by \n" + k.cause;
          },
          [](const Message& k) { return k.text; },
      },
      kind);
}

std::string PyTimeTableError::text() const {
  return std::visit(
      overloaded{
          [](const Parse& k) { return "Error while parsing Timetable, caused by \n" + k.inner.text(); },
          [](const Op& k) { return "Error while parsing Timetable, caused by \n" + k.inner.text(); },
      },
      kind);
}

std::string PyExecError::text() const {
  return std::visit(
      overloaded{
          [](const Python& k) { return k.inner.text(); },
          [](const WrongType& k) { return "Error in found value, likely incorrect type: " + k.cause; },
          [](const Method& k) {
            return "Error in Python method '" + k.method + "', caused by \n" + k.inner.text();
          },
          [](const Message& k) { return "Error in Python execution:\n" + k.text; },
      },
      kind);
}

void raise_error(const BoundaryError& error) {
  const std::string message = std::visit(
      overloaded{
          [](const PyTimeTableError& e) { return e.text(); },
          [](const PyParseError& e) { return "Error while parsing Dataset, caused by\n" + e.text(); },
          [](const ModelError& e) { return "Error during model evaluation, caused by\n" + e.text(); },
      },
      error);
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
      message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_RuntimeError, text.get());
}

}  // namespace ravlin::py
