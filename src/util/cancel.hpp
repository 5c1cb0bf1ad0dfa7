// Stopping a long calculation from outside. The calculation counts the work
// it does; after every so much of it, it asks the caller's poll function
// whether to go on. The core knows nothing of what the poll looks at (the
// Python layer checks for Ctrl-C there).
#pragma once

#include <cstddef>
#include <cstdint>

namespace ravlin {

struct CancelHook {
  // True when the calculation should stop; null never stops it.
  bool (*poll)(void* context) = nullptr;
  void* context = nullptr;
};

// The work of an event over `elements` values: the elements, and the
// event's own bookkeeping counted as a few dozen more.
constexpr std::size_t event_work(std::size_t elements) noexcept {
  constexpr std::size_t kBookkeeping = 64;
  return elements < SIZE_MAX - kBookkeeping ? elements + kBookkeeping : SIZE_MAX;
}

class CancelCheck {
 public:
  // Work units (element operations, about a nanosecond each) between polls:
  // frequent enough to answer within a fraction of a millisecond, rare
  // enough to cost nothing measurable.
  static constexpr std::size_t kPollEvery = 1 << 16;

  explicit CancelCheck(CancelHook hook) noexcept : hook_(hook) {}

  // Counts `work` units; true once the poll asked to stop, and from then on.
  bool stop_after(std::size_t work) noexcept {
    if (stopped_) return true;
    if (hook_.poll == nullptr) return false;
    if (work < kPollEvery - pending_) {
      pending_ += work;
      return false;
    }
    pending_ = 0;
    stopped_ = hook_.poll(hook_.context);
    return stopped_;
  }

 private:
  CancelHook hook_;
  std::size_t pending_ = 0;
  bool stopped_ = false;
};

}  // namespace ravlin
