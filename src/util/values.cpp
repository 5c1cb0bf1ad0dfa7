#include "util/values.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <unordered_map>
#include <vector>

#include "util/memory.hpp"

namespace ravlin {

namespace {

// Large buffers (one per path of a simulation, say) freed during a pricing
// call are kept for the next buffer of the same size in that call: through
// the system allocator they would be handed back and faulted in again at
// every event. Small buffers always use the system allocator. Under
// AddressSanitizer nothing is kept, so that every buffer keeps its redzones.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kPoolBytes = std::numeric_limits<std::size_t>::max();
#else
constexpr std::size_t kPoolBytes = 64 * 1024;
#endif
// What a call may hold in freed buffers beyond what it uses.
constexpr std::size_t kMaxKeptBytes = std::size_t{1} << 30;

class BufferPool {
 public:
  BufferPool() = default;
  BufferPool(const BufferPool&) = delete;
  BufferPool& operator=(const BufferPool&) = delete;
  ~BufferPool() {
    for (auto& [bytes, buffers] : free_) {
      for (void* buffer : buffers) ::operator delete(buffer);
    }
  }

  void* take(std::size_t bytes) {
    auto found = free_.find(bytes);
    if (found == free_.end() || found->second.empty()) return nullptr;
    void* buffer = found->second.back();
    found->second.pop_back();
    kept_ -= bytes;
    return buffer;
  }

  bool keep(void* buffer, std::size_t bytes) {
    if (kept_ + bytes > kMaxKeptBytes) return false;
    free_[bytes].push_back(buffer);
    kept_ += bytes;
    return true;
  }

 private:
  std::unordered_map<std::size_t, std::vector<void*>> free_;
  std::size_t kept_ = 0;
};

// The pool of the pricing call running on this thread, if any.
thread_local BufferPool* active_pool = nullptr;

double* allocate_buffer(std::size_t bytes) {
  if (bytes >= kPoolBytes && active_pool != nullptr) {
    if (void* buffer = active_pool->take(bytes)) return static_cast<double*>(buffer);
  }
  return static_cast<double*>(::operator new(bytes));
}

}  // namespace

ValuesPoolScope::ValuesPoolScope() : outer_(active_pool) {
  if (outer_ == nullptr) {
    own_ = new BufferPool;
    active_pool = static_cast<BufferPool*>(own_);
  }
}

ValuesPoolScope::~ValuesPoolScope() {
  if (own_ != nullptr) {
    active_pool = nullptr;
    delete static_cast<BufferPool*>(own_);
  }
}

void PoolFree::operator()(double* buffer) const noexcept {
  release_value_memory(bytes);
  if (bytes >= kPoolBytes && active_pool != nullptr) {
    try {
      if (active_pool->keep(buffer, bytes)) return;
    } catch (const std::bad_alloc&) {
      // No room to remember it: hand it back instead.
    }
  }
  ::operator delete(buffer);
}

void Values::allocate(std::size_t size) {
  size_ = size;
  if (size <= 1) {
    heap_.reset();
    data_ = &inline_;
  } else {
    reserve_value_memory(size, sizeof(double));
    const std::size_t bytes = size * sizeof(double);
    double* buffer = nullptr;
    try {
      buffer = allocate_buffer(bytes);
    } catch (...) {
      release_value_memory(bytes);
      throw;
    }
    heap_ = std::unique_ptr<double[], PoolFree>(buffer, PoolFree{bytes});
    data_ = heap_.get();
  }
}

void Values::fill_heap(std::size_t size, double fill) {
  allocate(size);
  std::fill(data_, data_ + size_, fill);
}

Values::Values(std::initializer_list<double> items) : data_(&inline_) {
  allocate(items.size());
  std::copy(items.begin(), items.end(), data_);
}

Values::Values(std::span<const double> items) : data_(&inline_) {
  allocate(items.size());
  std::copy(items.begin(), items.end(), data_);
}

Values::Values(const Values& other) : data_(&inline_) {
  allocate(other.size_);
  std::copy(other.begin(), other.end(), data_);
}

Values& Values::operator=(const Values& other) {
  if (this != &other) {
    if (size_ != other.size_) allocate(other.size_);
    std::copy(other.begin(), other.end(), data_);
  }
  return *this;
}

bool Values::operator==(const Values& other) const noexcept {
  return std::equal(begin(), end(), other.begin(), other.end());
}

std::string LengthMismatch::text() const {
  return "Value arrays of lengths " + std::to_string(left) + " and " + std::to_string(right) +
         " cannot be combined";
}

namespace {

template <typename Combine>
ValuesOr<Values> combine(std::span<const double> left, std::span<const double> right,
                         Combine combine_one) {
  auto length = checked_length(left.size(), right.size());
  if (!length) return std::unexpected(length.error());
  Values out = Values::for_overwrite(*length);
  if (left.size() == right.size()) {
    for (std::size_t i = 0; i < *length; ++i) out[i] = combine_one(left[i], right[i]);
  } else if (left.size() == 1) {
    const double a = left[0];
    for (std::size_t i = 0; i < *length; ++i) out[i] = combine_one(a, right[i]);
  } else {
    const double b = right[0];
    for (std::size_t i = 0; i < *length; ++i) out[i] = combine_one(left[i], b);
  }
  return out;
}

template <typename Combine>
ValuesOr<void> combine_in_place(Values& left, std::span<const double> right, Combine combine_one) {
  if (left.size() == 1 && right.size() != 1) {
    auto result = combine(left.span(), right, combine_one);
    if (!result) return std::unexpected(result.error());
    left = std::move(*result);
    return {};
  }
  auto length = checked_length(left.size(), right.size());
  if (!length) return std::unexpected(length.error());
  if (right.size() == left.size()) {
    for (std::size_t i = 0; i < left.size(); ++i) left[i] = combine_one(left[i], right[i]);
  } else {
    const double b = right[0];
    for (double& a : left) a = combine_one(a, b);
  }
  return {};
}

constexpr auto times = [](double a, double b) { return a * b; };
// a * (b * scale): the product b * scale is taken first.
constexpr auto times_scaled = [](double scale) {
  return [scale](double a, double b) { return a * (b * scale); };
};

}  // namespace

ValuesOr<Values> multiply(const Values& left, const Values& right) {
  return combine(left.span(), right.span(), times);
}

ValuesOr<Values> add(const Values& left, const Values& right) {
  return combine(left.span(), right.span(), [](double a, double b) { return a + b; });
}

ValuesOr<void> multiply_in_place(Values& left, const Values& right) {
  return multiply_in_place(left, right.span());
}

ValuesOr<void> multiply_in_place(Values& left, std::span<const double> right) {
  return combine_in_place(left, right, times);
}

ValuesOr<Values> multiply_scaled(std::span<const double> left, const Values& right, double scale) {
  return combine(left, right.span(), times_scaled(scale));
}

ValuesOr<void> multiply_scaled_in_place(Values& left, const Values& right, double scale) {
  return combine_in_place(left, right.span(), times_scaled(scale));
}

ValuesOr<void> add_in_place(Values& left, const Values& right) {
  return combine_in_place(left, right.span(), [](double a, double b) { return a + b; });
}

Values scaled(const Values& values, double factor) {
  Values out = Values::for_overwrite(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) out[i] = values[i] * factor;
  return out;
}

ValuesOr<Values> broadcast_to(const Values& values, std::size_t length) {
  if (values.size() == length) return values;
  if (values.size() == 1) return Values(length, values[0]);
  return std::unexpected(LengthMismatch{values.size(), length});
}

bool is_single_zero(const Values& values) noexcept {
  return values.size() == 1 && values[0] == 0.0;
}

}  // namespace ravlin
