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

// Items of a caller's containers are held as strong references: another
// thread (or code that a conversion runs) may change the container and drop
// the item while it is in use. CPython 3.13 reads them atomically with a new
// reference (needed where the interpreter runs without its lock); older ones,
// and the stable ABI of 3.11, borrow and take a reference at once, under the
// interpreter lock that is then always held.
#if PY_VERSION_HEX >= 0x030D0000 && (!defined(Py_LIMITED_API) || Py_LIMITED_API >= 0x030D0000)
#define RAVLIN_STRONG_ITEMS 1
#else
#define RAVLIN_STRONG_ITEMS 0
#endif

// Item `index` of a list, or null with IndexError (or TypeError) set.
inline PyRef list_item(PyObject* list, Py_ssize_t index) noexcept {
#if RAVLIN_STRONG_ITEMS
  return PyRef::steal(PyList_GetItemRef(list, index));
#else
  return PyRef::borrow(PyList_GetItem(list, index));
#endif
}

// The value of `key` in a dict: 1 and `out` set when present, 0 when
// absent, -1 with the Python error set when the lookup raised.
inline int dict_item(PyObject* dict, PyObject* key, PyRef& out) noexcept {
#if RAVLIN_STRONG_ITEMS
  PyObject* value = nullptr;
  const int found = PyDict_GetItemRef(dict, key, &value);
  out = PyRef::steal(value);
  return found;
#else
  PyObject* value = PyDict_GetItemWithError(dict, key);
  out = PyRef::borrow(value);
  if (value != nullptr) return 1;
  return PyErr_Occurred() ? -1 : 0;
#endif
}

}  // namespace ravlin::py
