// The one owner of Python references. A raw PyObject* becomes an owner only
// through `steal` (a new reference we are handed) or `borrow` (a reference we
// take ourselves), so every call site says who owns what.
#pragma once

#include <Python.h>

#include <utility>

namespace ravlin::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    // Take the new reference before dropping the old one: the old object's
    // destructor may run arbitrary code.
    PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller (for returning to the interpreter).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  PyRef clone() const noexcept { return borrow(object_); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace ravlin::py
