#pragma once

namespace ravlin {

// Visitor built from lambdas, one per alternative of a variant.
template <typename... Fs>
struct overloaded : Fs... {
  using Fs::operator()...;
};
template <typename... Fs>
overloaded(Fs...) -> overloaded<Fs...>;

}  // namespace ravlin
