// A snapper: a phrase whose outputs are stored under names (the snaps).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "expr/eval_phrase.hpp"

namespace ravlin {

struct Snapper {
  std::vector<std::string> out;
  std::unique_ptr<EvalPhrase> phrase;
};

}  // namespace ravlin
