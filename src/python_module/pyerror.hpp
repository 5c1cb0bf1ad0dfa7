// The error types of the Python boundary, the live Python exceptions they
// hold, and the raising of errors as Python exceptions.
#pragma once

#include <Python.h>

#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "asset/error.hpp"
#include "expr/error.hpp"
#include "model/error.hpp"
#include "python_module/pyref.hpp"
#include "timetable/error.hpp"

namespace ravlin::py {

// A raised Python exception, kept alive so that it can be shown or re-raised.
class PyException {
 public:
  // Takes the current Python error (which must be set) and clears it.
  static PyException fetch();
  // A new exception of `type` with `message`, not raised.
  static PyException make(PyObject* type, std::string_view message);

  // "{type name}: {str(value)}", or "{type name}: <exception str() failed>".
  std::string text() const;
  // "{str(value)}" alone, or "<exception str() failed>".
  std::string message() const;
  // A BaseException that is no Exception (KeyboardInterrupt, SystemExit).
  bool ends_program() const;
  // Another owner of the same exception.
  PyException clone() const;
  // Raises it again as the current Python error.
  void restore() &&;

 private:
  PyRef type_;
  PyRef value_;
  PyRef traceback_;
};

// "'{actual type}' object cannot be converted to '{expected}'".
std::string type_check_text(PyObject* object, std::string_view expected);
// The name of the object's type, as Python shows it ("int", "ndarray").
std::string type_name(PyObject* object);

struct PyParseError {
  struct Python {
    PyException inner;
  };
  struct Asset {
    AssetError inner;
  };
  struct Expression {
    std::unique_ptr<PyParseError> inner;
    std::string name;
  };
  struct InvalidValue {
    std::string key;
    std::string value;
  };
  struct MissingKey {
    std::string key;
  };
  struct WrongType {
    std::string key;
    std::string cause;
  };
  struct Message {
    std::string text;
  };
  using Kind = std::variant<Python, Asset, Expression, InvalidValue, MissingKey, WrongType, Message>;
  Kind kind;

  PyParseError(Kind k) : kind(std::move(k)) {}
  PyParseError(PyException inner) : kind(Python{std::move(inner)}) {}
  PyParseError(AssetError inner) : kind(Asset{std::move(inner)}) {}
  static PyParseError fetch() { return PyException::fetch(); }
  static PyParseError message(std::string text) { return Kind{Message{std::move(text)}}; }
  static PyParseError expr_err(std::string name, PyParseError inner);
  // A failed type check of a Python object: WrongType with key "n/a".
  static PyParseError type_check(PyObject* object, std::string_view expected);
  std::string text() const;
  Causes causes() const;
};

struct PyTimeTableError {
  struct Parse {
    PyParseError inner;
  };
  struct Op {
    OpError inner;
  };
  using Kind = std::variant<Parse, Op>;
  Kind kind;

  PyTimeTableError(PyParseError inner) : kind(Parse{std::move(inner)}) {}
  PyTimeTableError(OpError inner) : kind(Op{std::move(inner)}) {}
  std::string text() const;
  Causes causes() const;
};

struct PyExecError {
  struct Python {
    PyException inner;
  };
  struct WrongType {
    std::string cause;
  };
  struct Method {
    std::string method;
    PyException inner;
  };
  struct Message {
    std::string text;
  };
  using Kind = std::variant<Python, WrongType, Method, Message>;
  Kind kind;

  PyExecError(Kind k) : kind(std::move(k)) {}
  PyExecError(PyException inner) : kind(Python{std::move(inner)}) {}
  static PyExecError fetch() { return PyException::fetch(); }
  static PyExecError type_check(PyObject* object, std::string_view expected) {
    return Kind{WrongType{type_check_text(object, expected)}};
  }
  // `inner`, raised by (or about the result of) the method `method`.
  static PyExecError method_error(std::string method, PyException inner) {
    return Kind{Method{std::move(method), std::move(inner)}};
  }
  // The current Python error, raised by the method `method`.
  static PyExecError method_failed(std::string method) {
    return method_error(std::move(method), PyException::fetch());
  }
  static PyExecError message(std::string text) { return Kind{Message{std::move(text)}}; }
  std::string text() const;
  Causes causes() const;

  ExprError to_expr_error() const { return ExprError{text(), causes()}; }
  ModelError to_model_error() const { return ModelError::message(text(), causes()); }
};

// Any error that reaches a pricing entry point.
using BoundaryError = std::variant<PyTimeTableError, PyParseError, ModelError>;

// Sets the Python exception for an error: RuntimeError with the error's
// chain after the prefix of its type as its message, and as attributes the
// chain's messages (`causes`, a tuple of str, outermost first) and the
// timetable row of the failing event (`row`, an int, or None).
void raise_error(const BoundaryError& error);

}  // namespace ravlin::py
