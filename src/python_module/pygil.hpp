// The interpreter lock around a calculation. A pricing call that lets other
// Python threads run (the RELEASE_GIL switch of our own) releases it while
// the core computes, and every call from the core back into Python takes it
// back for just that call.
//
// The core reaches Python only through this folder's implementations of its
// interfaces (PyPhrase::eval for every phrase and snapper, wherever the core
// evaluates them; the Monte Carlo state's methods; the CallInterrupt poll;
// the statistics handed to set_stat). Each opens a WithGil before it touches
// a Python object, so whatever new road the core finds to them holds the
// lock; a class added here for the core to call must do the same.
#pragma once

#include <Python.h>

#include <utility>

namespace ravlin::py {

// Releases the lock of this thread for its scope when `release` is true;
// does nothing otherwise.
class ReleasedGil {
 public:
  explicit ReleasedGil(bool release) noexcept;
  ~ReleasedGil();
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

  // Whether this thread runs without the lock now.
  static bool active() noexcept;

 private:
  PyThreadState* state_ = nullptr;
  PyThreadState* outer_ = nullptr;
};

// Holds the lock for its scope: takes it back when this thread's calculation
// released it, and releases it again at the end; does nothing when the lock
// is held already.
class WithGil {
 public:
  WithGil() noexcept;
  ~WithGil();
  WithGil(const WithGil&) = delete;
  WithGil& operator=(const WithGil&) = delete;

 private:
  PyThreadState* state_;
};

// body(), run without the lock when `release` is true.
template <typename Body>
auto without_gil(bool release, Body&& body) {
  const ReleasedGil gil(release);
  return std::forward<Body>(body)();
}

}  // namespace ravlin::py
