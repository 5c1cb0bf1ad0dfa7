// Ctrl-C during a pricing call. While a call runs, its CallInterrupt is the
// thread's current one. The core polls it through a CancelHook, which runs
// Python's signal handlers; and an exception that is meant to end the
// program rather than be handled (KeyboardInterrupt, SystemExit: a
// BaseException that is no Exception) is kept there whenever our code takes
// it from Python, also from a user's callback. The call then ends with that
// exception itself, not with a RuntimeError that carries its text.
#pragma once

#include <Python.h>

#include <chrono>
#include <optional>

#include "python_module/pyerror.hpp"
#include "util/cancel.hpp"

namespace ravlin::py {

class CallInterrupt {
 public:
  // Becomes the thread's current interrupt; the previous one (of a call that
  // runs this one from a callback) comes back when this one ends.
  CallInterrupt() noexcept;
  ~CallInterrupt();
  CallInterrupt(const CallInterrupt&) = delete;
  CallInterrupt& operator=(const CallInterrupt&) = delete;

  // Polls for signals; a raised one stops the calculation and is kept. A
  // calculation that runs without the interpreter lock polls at most every
  // kReleasedPollInterval: taking the lock back waits for the Python thread
  // that holds it, up to its switch interval.
  CancelHook hook() noexcept { return {&poll, this}; }
  bool raised() const noexcept { return kept_.has_value(); }
  // Raises the kept exception as the current Python error.
  void restore();

  // Keeps a copy of `exception` for the current call when it ends the program.
  static void notice(const PyException& exception);

 private:
  static constexpr std::chrono::milliseconds kReleasedPollInterval{50};

  static bool poll(void* context);
  bool poll_due() noexcept;
  void keep(PyException exception);

  CallInterrupt* outer_;
  std::optional<PyException> kept_;
  std::chrono::steady_clock::time_point next_poll_{};
};

// Clears the current Python error; one that ends the program is kept for the
// end of the call (see CallInterrupt), never lost.
void discard_error();

}  // namespace ravlin::py
