#include "util/memory.hpp"

#include <atomic>
#include <limits>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace ravlin {

namespace {

std::atomic<std::size_t> in_use{0};

// The machine's memory in bytes; the largest size_t where the system does
// not say, which leaves only the allocator to refuse.
std::size_t physical_memory() noexcept {
#if defined(_WIN32)
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return std::numeric_limits<std::size_t>::max();
  return static_cast<std::size_t>(status.ullTotalPhys);
#elif defined(_SC_PHYS_PAGES)
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return std::numeric_limits<std::size_t>::max();
  return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page_size);
#else
  return std::numeric_limits<std::size_t>::max();
#endif
}

// Whether `count` elements of `size` bytes fit beside `used` bytes.
bool fits(std::size_t count, std::size_t size, std::size_t used) noexcept {
  const std::size_t limit = value_memory_limit();
  return used <= limit && count <= (limit - used) / size;
}

}  // namespace

MemoryLimitExceeded::MemoryLimitExceeded(std::size_t count, std::size_t size)
    : text_("Cannot allocate " + std::to_string(count) + " x " + std::to_string(size) +
            " bytes for value arrays: they may take " + std::to_string(value_memory_limit()) +
            " bytes in all (half of physical memory), of which " +
            std::to_string(in_use.load()) + " are in use") {}

std::size_t value_memory_limit() noexcept {
  static const std::size_t limit = physical_memory() / 2;
  return limit;
}

void reserve_value_memory(std::size_t count, std::size_t size) {
  std::size_t used = in_use.load(std::memory_order_relaxed);
  do {
    if (!fits(count, size, used)) throw MemoryLimitExceeded(count, size);
  } while (!in_use.compare_exchange_weak(used, used + count * size, std::memory_order_relaxed));
}

void release_value_memory(std::size_t bytes) noexcept {
  in_use.fetch_sub(bytes, std::memory_order_relaxed);
}

void check_value_memory(std::size_t count, std::size_t size) {
  if (!fits(count, size, in_use.load(std::memory_order_relaxed))) {
    throw MemoryLimitExceeded(count, size);
  }
}

}  // namespace ravlin
