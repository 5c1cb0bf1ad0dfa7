// The dictionary keys of an event column, copied out of the caller's buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "timetable/record_batch.hpp"

namespace ravlin {

// The keys are copied because Python code may rewrite the caller's buffers
// during a valuation, and a key must never index past its dictionary. Each
// is kept in the narrowest unsigned width that holds every key of the
// dictionary and a null marker (one byte for up to 255 values): a column of
// a million events then takes a megabyte, not eight.
class DictionaryKeys {
 public:
  static constexpr std::uint32_t kNull = 0xFFFFFFFFu;

  DictionaryKeys() = default;
  // The keys of a dictionary column of `rows` rows, or nothing when a
  // non-null key lies outside the dictionary. Dictionaries of 2^32 - 1
  // values or more are the caller's to refuse: their keys do not fit.
  static std::optional<DictionaryKeys> copy(const Column& column);

  // The key of row i, or kNull when the row's key is null.
  std::uint32_t at(std::size_t i) const {
    switch (width_) {
      case 1: {
        const std::uint8_t key = bytes_[i];
        return key == 0xFF ? kNull : key;
      }
      case 2: {
        std::uint16_t key;
        std::memcpy(&key, bytes_.data() + 2 * i, sizeof key);
        return key == 0xFFFF ? kNull : key;
      }
      default: {
        std::uint32_t key;
        std::memcpy(&key, bytes_.data() + 4 * i, sizeof key);
        return key;
      }
    }
  }

 private:
  std::size_t width_ = 1;
  std::vector<std::uint8_t> bytes_;
};

}  // namespace ravlin
