#include "python_module/pygil.hpp"

namespace ravlin::py {

namespace {

// The thread state that this thread's calculation saved when it released the
// lock; null while the thread holds it.
thread_local PyThreadState* released = nullptr;

}  // namespace

ReleasedGil::ReleasedGil(bool release) noexcept {
  if (!release) return;
  state_ = PyEval_SaveThread();
  outer_ = std::exchange(released, state_);
}

ReleasedGil::~ReleasedGil() {
  if (state_ == nullptr) return;
  released = outer_;
  PyEval_RestoreThread(state_);
}

bool ReleasedGil::active() noexcept { return released != nullptr; }

WithGil::WithGil() noexcept : state_(std::exchange(released, nullptr)) {
  if (state_ != nullptr) PyEval_RestoreThread(state_);
}

WithGil::~WithGil() {
  if (state_ == nullptr) return;
  PyEval_SaveThread();
  released = state_;
}

}  // namespace ravlin::py
