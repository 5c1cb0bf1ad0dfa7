#include "timetable/op.hpp"

#include "util/overloaded.hpp"

namespace ravlin {

namespace {

// Function objects, so the element loops inline them and vectorise.
constexpr auto larger = [](double a, double b) { return max_num(a, b); };
constexpr auto smaller = [](double a, double b) { return min_num(a, b); };

// target[i] = pick(target[i], other[i]); `other` may hold a single element.
// The target keeps its length, so an `other` of another length (not 1) is
// refused before anything is written.
template <typename Pick>
std::expected<void, OpError> choose_in_place(Values& target, const Values& other, Pick pick) {
  if (other.size() != target.size() && other.size() != 1) {
    return std::unexpected(
        OpError::message(LengthMismatch{target.size(), other.size()}.text()));
  }
  if (other.size() == target.size()) {
    for (std::size_t i = 0; i < target.size(); ++i) target[i] = pick(target[i], other[i]);
  } else {
    const double b = other[0];
    for (double& a : target) a = pick(a, b);
  }
  return {};
}

}  // namespace

Op Op::parse(std::string_view code) {
  if (code == "+") return {Add{}};
  if (code == ">") return {Max{}};
  if (code == "<") return {Min{}};
  return {Text{std::string(code)}};
}

std::string Op::display() const {
  return std::visit(overloaded{
                        [](const Add&) { return std::string("+"); },
                        [](const Max&) { return std::string(">"); },
                        [](const Min&) { return std::string("<"); },
                        [](const Null&) { return std::string(); },
                        [](const Text& t) { return t.text; },
                    },
                    kind);
}

std::expected<void, OpError> Op::apply_elements(Values& target, const Values& other) const {
  return std::visit(
      overloaded{
          [&](const Add&) -> std::expected<void, OpError> {
            auto added = add_in_place(target, other);
            if (!added) return std::unexpected(OpError::message(added.error().text()));
            return {};
          },
          [&](const Max&) { return choose_in_place(target, other, larger); },
          [&](const Min&) { return choose_in_place(target, other, smaller); },
          [&](const auto&) -> std::expected<void, OpError> {
            return std::unexpected(OpError::unknown_op(display()));
          },
      },
      kind);
}

}  // namespace ravlin
