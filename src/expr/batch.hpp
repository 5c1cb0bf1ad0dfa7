// A batch: a pay function that sets several output tracks from input tracks.
// The Python module refuses batch expressions, so no batch is ever built from
// Python; the type serves the models' batch branch.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "expr/eval_phrase.hpp"

namespace ravlin {

struct Batch {
  std::vector<std::uint64_t> out_tracks;
  std::vector<std::optional<std::uint64_t>> inp_tracks;
  std::unique_ptr<EvalPhrase> pay_fn;

  const std::vector<std::string>& iter_inp() const { return pay_fn->iter_inp(); }
  std::expected<std::vector<Values>, ExprError> eval_pay_fn(
      const std::vector<Values>& inputs) const {
    return pay_fn->eval(inputs);
  }
};

}  // namespace ravlin
