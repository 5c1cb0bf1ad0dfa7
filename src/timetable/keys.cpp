#include "timetable/keys.hpp"

#include <limits>

namespace ravlin {

namespace {

// Copies the keys into `out` as T, the null key as T's largest value;
// false at the first key outside [0, values).
template <typename T>
bool copy_as(const std::int64_t* keys, ValidityBits valid, std::int64_t values, std::size_t rows,
             std::uint8_t* out) {
  constexpr T kNullMark = std::numeric_limits<T>::max();
  const auto in_range = [values](std::int64_t key) { return key >= 0 && key < values; };
  bool all_in_range = true;
  for (std::size_t i = 0; i < rows; ++i) {
    T key = kNullMark;
    if (valid.is_valid(i)) {
      all_in_range &= in_range(keys[i]);
      key = static_cast<T>(keys[i]);
    }
    std::memcpy(out + i * sizeof(T), &key, sizeof(T));
  }
  return all_in_range;
}

}  // namespace

std::optional<DictionaryKeys> DictionaryKeys::copy(const Column& column) {
  const std::int64_t values = column.dictionary()->length;
  const auto rows = static_cast<std::size_t>(column.length());
  const std::int64_t* keys = column.values<std::int64_t>();
  const ValidityBits valid = column.validity();
  DictionaryKeys out;
  out.width_ = values < 0xFF ? 1 : values < 0xFFFF ? 2 : 4;
  out.bytes_.resize(rows * out.width_);
  std::uint8_t* bytes = out.bytes_.data();
  bool in_range = false;
  switch (out.width_) {
    case 1:
      in_range = copy_as<std::uint8_t>(keys, valid, values, rows, bytes);
      break;
    case 2:
      in_range = copy_as<std::uint16_t>(keys, valid, values, rows, bytes);
      break;
    default:
      in_range = copy_as<std::uint32_t>(keys, valid, values, rows, bytes);
      break;
  }
  if (!in_range) return std::nullopt;
  return out;
}

}  // namespace ravlin
