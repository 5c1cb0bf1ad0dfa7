// Fakes and builders for the model tests: phrases backed by C++ lambdas,
// flat market data and timetables built from rows.
#pragma once

#include <cmath>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "asset/assets.hpp"
#include "expr/eval_phrase.hpp"
#include "support/arrow_builders.hpp"
#include "support/timetable_builder.hpp"
#include "timetable/expressions.hpp"
#include "timetable/timetable.hpp"
#include "util/values.hpp"

namespace ravlin::testing {

using PhraseResult = std::expected<std::vector<Values>, ExprError>;
using PhraseFn = std::function<PhraseResult(const std::vector<Values>&)>;

// A phrase whose evaluation is a C++ function; it keeps the inputs of every call.
class FakePhrase final : public EvalPhrase {
 public:
  FakePhrase(std::vector<std::string> inp, PhraseFn fn)
      : inp_(std::move(inp)), fn_(std::move(fn)) {}
  const std::vector<std::string>& iter_inp() const override { return inp_; }
  PhraseResult eval(const std::vector<Values>& inputs) const override {
    calls.push_back(inputs);
    return fn_(inputs);
  }

  mutable std::vector<std::vector<Values>> calls;

 private:
  std::vector<std::string> inp_;
  PhraseFn fn_;
};

inline std::unique_ptr<FakePhrase> fake_phrase(std::vector<std::string> inp, PhraseFn fn) {
  return std::make_unique<FakePhrase>(std::move(inp), std::move(fn));
}

// A phrase of no inputs that always returns `outputs`.
inline std::unique_ptr<FakePhrase> constant_phrase(std::vector<Values> outputs) {
  return fake_phrase({}, [outputs](const std::vector<Values>&) -> PhraseResult { return outputs; });
}

inline std::unique_ptr<FakePhrase> failing_phrase(std::string message) {
  return fake_phrase({}, [message](const std::vector<Values>&) -> PhraseResult {
    return std::unexpected(ExprError{message});
  });
}

// 2024-01-01T00:00:00Z, the pricing time of the model tests.
inline constexpr std::int64_t kT0 = 1704067200000;
inline constexpr std::int64_t kMsPerYear = 31536000000;

inline std::int64_t at_years(double years) {
  return kT0 + static_cast<std::int64_t>(years * static_cast<double>(kMsPerYear));
}

// Base "USD" with the flat zero rate `rate` on [0, 10] years, and quoted
// assets with flat forwards on [0, 10] years.
inline Assets flat_assets(double rate,
                          const std::vector<std::pair<std::string, double>>& forwards) {
  std::unordered_map<std::string, AssetLogFwd> curves;
  auto add = [&](const std::string& name, std::vector<double> times, std::vector<double> logs,
                 AssetKind kind) {
    auto curve = AssetLogFwd::create(std::move(times), std::move(logs), kind);
    if (!curve) throw std::runtime_error(curve.error().text());
    curves.emplace(name, std::move(*curve));
  };
  add("USD", {1.0, 10.0}, {rate * 1.0, rate * 10.0}, AssetKind::Base);
  for (const auto& [name, forward] : forwards) {
    add(name, {0.0, 10.0}, {std::log(forward), std::log(forward)}, AssetKind::Quoted);
  }
  return Assets(std::move(curves), "USD");
}

}  // namespace ravlin::testing
