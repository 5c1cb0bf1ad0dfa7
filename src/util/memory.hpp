// The memory that value arrays may take. A calculation can be asked for
// arrays of any length (PATHS, N_X, an array handed back by a callback); one
// that the machine cannot hold must fail before it is allocated and filled,
// as MemoryError at the entry point, instead of driving the host into its
// out-of-memory killer. All live value arrays of the process together may
// take half of the memory available to the process: the other half is left
// for NumPy's copies of them (phrase inputs, statistics), the interpreter and
// the rest of the machine. The memory available is the physical memory, or
// less where the process's control group (or one above it) or its
// address-space limit allows less, as inside a container.
#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <string_view>

namespace ravlin {

// A request beyond the limit; a std::bad_alloc that says why.
class MemoryLimitExceeded : public std::bad_alloc {
 public:
  MemoryLimitExceeded(std::size_t count, std::size_t size);
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

// Half of the memory available to the process, in bytes.
std::size_t value_memory_limit() noexcept;
// The lowest memory limit of the control groups that `self_cgroup` (the text
// of /proc/self/cgroup) names, and of every group above them, read from the
// hierarchies mounted under `root` (cgroup v2 at `root` or `root`/unified,
// v1 at `root`/memory); SIZE_MAX where none is set.
std::size_t cgroup_memory_limit(const std::string& root, std::string_view self_cgroup);
// Counts `count` elements of `size` bytes against the limit, or throws
// MemoryLimitExceeded (nothing counted) when they would pass it.
void reserve_value_memory(std::size_t count, std::size_t size);
void release_value_memory(std::size_t bytes) noexcept;
// Throws MemoryLimitExceeded unless `count` elements of `size` bytes would
// fit now; counts nothing (for buffers that are not value arrays).
void check_value_memory(std::size_t count, std::size_t size);

}  // namespace ravlin
