#include "python_module/pyinterrupt.hpp"

#include <utility>

#include "python_module/pygil.hpp"

namespace ravlin::py {

namespace {

// Each thread runs its own calls, and a callback
// may start another call: the innermost one is current.
thread_local CallInterrupt* current = nullptr;

}  // namespace

CallInterrupt::CallInterrupt() noexcept : outer_(current) { current = this; }

CallInterrupt::~CallInterrupt() { current = outer_; }

void CallInterrupt::restore() {
  if (kept_) std::move(*kept_).restore();
  kept_.reset();
}

void CallInterrupt::notice(const PyException& exception) {
  if (current != nullptr && exception.ends_program()) current->keep(exception.clone());
}

bool CallInterrupt::poll(void* context) {
  auto* self = static_cast<CallInterrupt*>(context);
  if (self->raised()) return true;
  if (ReleasedGil::active() && !self->poll_due()) return false;
  const WithGil gil;
  if (PyErr_CheckSignals() == 0) return false;
  // Whatever the signal handler raised ends the call, as it would end a
  // loop written in Python.
  self->keep(PyException::fetch());
  return true;
}

bool CallInterrupt::poll_due() noexcept {
  const auto now = std::chrono::steady_clock::now();
  if (now < next_poll_) return false;
  next_poll_ = now + kReleasedPollInterval;
  return true;
}

void CallInterrupt::keep(PyException exception) {
  if (!kept_) kept_ = std::move(exception);
}

void discard_error() {
  if (PyErr_Occurred()) PyException::fetch();
}

}  // namespace ravlin::py
