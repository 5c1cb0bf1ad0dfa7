// The named expressions of a timetable: snappers and phrases.
#pragma once

#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "expr/eval_phrase.hpp"
#include "expr/snap.hpp"
#include "timetable/error.hpp"
#include "timetable/unit.hpp"

namespace ravlin {

struct Events;

struct Expressions {
  std::unordered_map<std::string, Snapper> snappers;
  std::unordered_map<std::string, std::unique_ptr<EvalPhrase>> phrases;

  // Resolves every "unit" dictionary value once: Asset or Null, then tracks,
  // snappers and their snaps, phrases (later steps overwrite).
  std::expected<std::vector<Unit>, OpError> create_units_map(const Events& events) const;

  // "Batch not found#{name}" when absent: the text the engine has always given.
  std::expected<const Snapper*, std::string> snapper_by_name(std::string_view name) const;
  const EvalPhrase* get_phrase(std::string_view name) const;
};

}  // namespace ravlin
