// The operation of an event: how its value meets the value held for its track.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <variant>

#include "timetable/error.hpp"
#include "util/values.hpp"

namespace ravlin {

// IEEE maxNum / minNum: a NaN operand yields the other operand. Templates, so
// that a SIMD group of doubles chooses lane by lane exactly as one double does
// (always inlined, so a group never crosses a call).
template <typename T>
[[gnu::always_inline]] inline T max_num(T a, T b) {
  return a > b || b != b ? a : b;
}
template <typename T>
[[gnu::always_inline]] inline T min_num(T a, T b) {
  return a < b || b != b ? a : b;
}

struct Op {
  struct Add {};   // "+": payment
  struct Max {};   // ">": the holder's choice
  struct Min {};   // "<": the issuer's choice
  struct Null {};  // a null op value or row index
  struct Text {    // any other text; only "s" passes the vocabulary check
    std::string text;
  };
  using Kind = std::variant<Add, Max, Min, Null, Text>;
  Kind kind;

  // "+", ">", "<" give Add, Max, Min; anything else (also "" and "++") Text.
  static Op parse(std::string_view code);
  static Op null() { return {Null{}}; }

  bool is_add() const { return std::holds_alternative<Add>(kind); }
  bool is_max() const { return std::holds_alternative<Max>(kind); }
  bool is_min() const { return std::holds_alternative<Min>(kind); }
  bool is_choice() const { return is_max() || is_min(); }
  const Text* as_text() const { return std::get_if<Text>(&kind); }

  // "+", ">", "<", the held text, or empty for Null.
  std::string display() const;

  // target op= other element by element (Add broadcasts both ways; Max and
  // Min keep target's length, IEEE maxNum/minNum). Null and Text leave the
  // target unchanged and fail with UnknownOp.
  std::expected<void, OpError> apply(Values& target, const Values& other) const {
    // Single elements (the fixed model's every event) without the array loops.
    if (target.size() == 1 && other.size() == 1 && apply_one(target[0], other[0])) return {};
    return apply_elements(target, other);
  }
  // target op= other for "+", ">" and "<"; false, and nothing changed, for
  // the ops without an element rule.
  bool apply_one(double& target, double other) const {
    if (is_add()) {
      target = target + other;
    } else if (is_max()) {
      target = max_num(target, other);
    } else if (is_min()) {
      target = min_num(target, other);
    } else {
      return false;
    }
    return true;
  }

 private:
  std::expected<void, OpError> apply_elements(Values& target, const Values& other) const;
};

}  // namespace ravlin
