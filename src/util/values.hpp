// The value array of the engine (one element per path, per grid node, or a
// single element) and the element-wise helpers that implement the broadcast
// rule once: a length-1 array stands for any length; other lengths must match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>

#include "util/try.hpp"
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace ravlin {

// Releases a heap buffer of `bytes`: into the pricing call's pool of freed
// buffers when one is open and the buffer is large, else to the system.
struct PoolFree {
  std::size_t bytes = 0;
  void operator()(double* buffer) const noexcept;
};

// Opens a pool of freed buffers for the pricing call on this thread: large
// value buffers freed while it is open serve later ones of the same size, and
// are handed back to the system when it closes. Scopes nest (the outermost
// owns the pool); buffers that outlive it are freed as usual.
class ValuesPoolScope {
 public:
  ValuesPoolScope();
  ValuesPoolScope(const ValuesPoolScope&) = delete;
  ValuesPoolScope& operator=(const ValuesPoolScope&) = delete;
  ~ValuesPoolScope();

 private:
  void* outer_;
  void* own_ = nullptr;
};

// A contiguous array of doubles that keeps a single element inline, so the
// one-path fixed model and scalar values cost no heap allocation.
class Values {
 public:
  Values() noexcept : data_(&inline_) {}
  explicit Values(std::size_t size, double fill = 0.0) : data_(&inline_) {
    if (size <= 1) {
      size_ = size;
      inline_ = fill;
    } else {
      fill_heap(size, fill);
    }
  }
  Values(std::initializer_list<double> items);
  explicit Values(std::span<const double> items);
  static Values scalar(double value) { return Values(1, value); }
  // `size` elements left as the allocator gives them, for a caller that
  // writes every one before reading any: no pass of zeros first.
  static Values for_overwrite(std::size_t size) {
    Values out;
    out.allocate(size);
    return out;
  }

  Values(const Values& other);
  // Moves are inline: the engines move values through every event.
  Values(Values&& other) noexcept
      : size_(other.size_), data_(&inline_), inline_(other.inline_), heap_(std::move(other.heap_)) {
    if (heap_) data_ = heap_.get();
    other.size_ = 0;
    other.data_ = &other.inline_;
  }
  Values& operator=(const Values& other);
  Values& operator=(Values&& other) noexcept {
    if (this != &other) {
      size_ = other.size_;
      inline_ = other.inline_;
      heap_ = std::move(other.heap_);
      data_ = heap_ ? heap_.get() : &inline_;
      other.size_ = 0;
      other.data_ = &other.inline_;
    }
    return *this;
  }
  ~Values() = default;

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  double* data() noexcept { return data_; }
  const double* data() const noexcept { return data_; }
  double& operator[](std::size_t i) noexcept { return data_[i]; }
  double operator[](std::size_t i) const noexcept { return data_[i]; }
  double* begin() noexcept { return data_; }
  double* end() noexcept { return data_ + size_; }
  const double* begin() const noexcept { return data_; }
  const double* end() const noexcept { return data_ + size_; }
  std::span<const double> span() const noexcept { return {data_, size_}; }

  bool operator==(const Values& other) const noexcept;

 private:
  void allocate(std::size_t size);
  void fill_heap(std::size_t size, double fill);

  std::size_t size_ = 0;
  double* data_;
  double inline_ = 0.0;
  std::unique_ptr<double[], PoolFree> heap_;
};

// Two lengths that the broadcast rule cannot combine.
struct LengthMismatch {
  std::size_t left;
  std::size_t right;
  std::string text() const;
};

template <typename T>
using ValuesOr = std::expected<T, LengthMismatch>;

// The common length of two operands, or nothing when they cannot be combined.
inline std::optional<std::size_t> broadcast_length(std::size_t left, std::size_t right) noexcept {
  if (left == right || right == 1) return left;
  if (left == 1) return right;
  return std::nullopt;
}
inline ValuesOr<std::size_t> checked_length(std::size_t left, std::size_t right) {
  if (auto length = broadcast_length(left, right)) return *length;
  return std::unexpected(LengthMismatch{left, right});
}

// Element `i` of an operand broadcast to a longer length.
inline double at_broadcast(const Values& v, std::size_t i) noexcept {
  return v.size() == 1 ? v[0] : v[i];
}

ValuesOr<Values> multiply(const Values& left, const Values& right);
ValuesOr<Values> add(const Values& left, const Values& right);
// left *= right, element by element; left takes the broadcast length.
ValuesOr<void> multiply_in_place(Values& left, const Values& right);
// The same with `right` any doubles, such as a buffer lent for the call.
ValuesOr<void> multiply_in_place(Values& left, std::span<const double> right);
// left * (right * scale), element by element (the product right * scale is
// taken first), as a new array; `left` any doubles.
ValuesOr<Values> multiply_scaled(std::span<const double> left, const Values& right, double scale);
// left *= right * scale, element by element (the product right * scale is
// taken first); left takes the broadcast length.
ValuesOr<void> multiply_scaled_in_place(Values& left, const Values& right, double scale);
// left += right, element by element; left takes the broadcast length.
ValuesOr<void> add_in_place(Values& left, const Values& right);
Values scaled(const Values& values, double factor);
// `values` repeated to `length` when it holds one element; otherwise a copy.
ValuesOr<Values> broadcast_to(const Values& values, std::size_t length);
// The single-element array holding 0.0 (a payment of nothing).
bool is_single_zero(const Values& values) noexcept;

}  // namespace ravlin
