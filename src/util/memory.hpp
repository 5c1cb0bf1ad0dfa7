// The memory that value arrays may take. A calculation can be asked for
// arrays of any length (PATHS, N_X, an array handed back by a callback); one
// that the machine cannot hold must fail before it is allocated and filled,
// as MemoryError at the entry point, instead of driving the host into its
// out-of-memory killer. All live value arrays of the process together may
// take half of the machine's physical memory: the other half is left for
// NumPy's copies of them (phrase inputs, statistics), the interpreter and
// the rest of the machine.
#pragma once

#include <cstddef>
#include <new>
#include <string>

namespace ravlin {

// A request beyond the limit; a std::bad_alloc that says why.
class MemoryLimitExceeded : public std::bad_alloc {
 public:
  MemoryLimitExceeded(std::size_t count, std::size_t size);
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

// Half of the physical memory, in bytes.
std::size_t value_memory_limit() noexcept;
// Counts `count` elements of `size` bytes against the limit, or throws
// MemoryLimitExceeded (nothing counted) when they would pass it.
void reserve_value_memory(std::size_t count, std::size_t size);
void release_value_memory(std::size_t bytes) noexcept;
// Throws MemoryLimitExceeded unless `count` elements of `size` bytes would
// fit now; counts nothing (for buffers that are not value arrays).
void check_value_memory(std::size_t count, std::size_t size);

}  // namespace ravlin
