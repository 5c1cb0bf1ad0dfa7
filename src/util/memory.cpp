#include "util/memory.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <limits>
#include <optional>
#include <string>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace ravlin {

namespace {

constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

std::atomic<std::size_t> in_use{0};

// The machine's memory in bytes; the largest size_t where the system does
// not say, which leaves only the allocator to refuse.
std::size_t physical_memory() noexcept {
#if defined(_WIN32)
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return kUnlimited;
  return static_cast<std::size_t>(status.ullTotalPhys);
#elif defined(_SC_PHYS_PAGES)
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return kUnlimited;
  return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page_size);
#else
  return kUnlimited;
#endif
}

// The process's address-space limit (ulimit -v), where the system has one.
std::size_t address_space_limit() noexcept {
#if defined(_WIN32)
  return kUnlimited;
#else
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnlimited;
  return static_cast<std::size_t>(limit.rlim_cur);
#endif
}

// The whole text of a small system file, or nothing where it cannot be read.
// Plain open/read rather than C++ streams: streams would bind the module to
// C library symbols newer than the oldest systems it loads on.
std::optional<std::string> read_small_file(const std::string& path) {
#if defined(_WIN32)
  (void)path;
  return std::nullopt;
#else
  const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  while (text.size() < (1u << 20)) {  // a control group file is a few lines
    const ssize_t got = read(file, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  close(file);
  return text;
#endif
}

// The limit a control group's file holds: a number of bytes, or "max" (none).
std::size_t limit_in(const std::string& file) {
  const std::optional<std::string> text = read_small_file(file);
  if (!text) return kUnlimited;
  std::string_view word(*text);
  const std::size_t first = word.find_first_not_of(" \t\n");
  if (first == word.npos) return kUnlimited;
  word.remove_prefix(first);
  word = word.substr(0, word.find_first_of(" \t\n"));
  std::size_t bytes = 0;
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), bytes);
  return error == std::errc{} && end == word.data() + word.size() ? bytes : kUnlimited;
}

// The lowest limit in `file` of the group at `group` under `mount` and of
// every group above it (a group cannot use more than its parents allow).
std::size_t lowest_limit(const std::string& mount, std::string_view group, const char* file) {
  std::size_t lowest = kUnlimited;
  std::string dir(group);
  if (!dir.empty() && dir.front() != '/') dir.insert(dir.begin(), '/');
  while (!dir.empty() && dir.back() == '/') dir.pop_back();
  while (true) {
    lowest = std::min(lowest, limit_in(mount + dir + "/" + file));
    if (dir.empty()) return lowest;
    dir.erase(dir.rfind('/'));  // it starts with '/' while not empty
  }
}

// Whether a v1 hierarchy's comma-separated controllers include the memory controller.
bool names_memory(std::string_view controllers) noexcept {
  while (true) {
    const std::size_t comma = controllers.find(',');
    if (controllers.substr(0, comma) == "memory") return true;
    if (comma == controllers.npos) return false;
    controllers.remove_prefix(comma + 1);
  }
}

std::size_t available_memory() noexcept {
  const std::size_t machine = std::min(physical_memory(), address_space_limit());
  try {
    const std::optional<std::string> groups = read_small_file("/proc/self/cgroup");
    return groups ? std::min(machine, cgroup_memory_limit("/sys/fs/cgroup", *groups)) : machine;
  } catch (...) {  // the groups cannot be read: the machine's memory is all we know
    return machine;
  }
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
            " bytes in all (half of the memory available), of which " +
            std::to_string(in_use.load()) + " are in use") {}

std::size_t cgroup_memory_limit(const std::string& root, std::string_view self_cgroup) {
  std::size_t lowest = kUnlimited;
  // Each line is "hierarchy:controllers:path"; v2's has hierarchy 0 and no controllers.
  for (std::size_t start = 0; start < self_cgroup.size();) {
    const std::size_t stop = std::min(self_cgroup.find('\n', start), self_cgroup.size());
    const std::string_view line = self_cgroup.substr(start, stop - start);
    start = stop + 1;
    const std::size_t first = line.find(':');
    const std::size_t second = first == line.npos ? line.npos : line.find(':', first + 1);
    if (second == line.npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view group = line.substr(second + 1);
    if (line.substr(0, first) == "0" && controllers.empty()) {
      lowest = std::min({lowest, lowest_limit(root, group, "memory.max"),
                         lowest_limit(root + "/unified", group, "memory.max")});
    } else if (names_memory(controllers)) {
      lowest = std::min(lowest, lowest_limit(root + "/memory", group, "memory.limit_in_bytes"));
    }
  }
  return lowest;
}

std::size_t value_memory_limit() noexcept {
  static const std::size_t limit = available_memory() / 2;
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
