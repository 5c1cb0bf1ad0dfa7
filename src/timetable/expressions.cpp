#include "timetable/expressions.hpp"

#include "timetable/event.hpp"
#include "util/try.hpp"

namespace ravlin {

namespace {

using Positions = std::unordered_map<std::string_view, std::size_t>;

// Makes the first unit value equal to `name`, if any, the given unit.
void resolve(std::vector<Unit>& units, const Positions& positions, std::string_view name,
             Unit unit) {
  const auto found = positions.find(name);
  if (found != positions.end()) units[found->second] = std::move(unit);
}

std::string not_found(std::string_view name) { return "Batch not found#" + std::string(name); }

}  // namespace

std::expected<std::vector<Unit>, OpError> Expressions::create_units_map(
    const Events& events) const {
  RV_ASSIGN(const auto names, events.units_iter());
  std::vector<Unit> units;
  units.reserve(names.size());
  for (const auto& name : names) {
    units.push_back(name ? Unit{Unit::Asset{std::string(*name)}} : Unit{Unit::Null{}});
  }
  RV_TRY(events.identify_tracks(units));

  // Each later kind overwrites what an earlier one made of the same value.
  const Positions positions = first_positions(names);
  for (const auto& [name, snapper] : snappers) {
    resolve(units, positions, name, Unit{Unit::Snapper{name}});
    for (const std::string& out : snapper.out) {
      resolve(units, positions, out, Unit{Unit::Snap{out}});
    }
  }
  for (const auto& entry : phrases) {
    resolve(units, positions, entry.first, Unit{Unit::Phrase{entry.first}});
  }
  return units;
}

std::expected<const Snapper*, std::string> Expressions::snapper_by_name(
    std::string_view name) const {
  const auto found = snappers.find(std::string(name));
  if (found == snappers.end()) return std::unexpected(not_found(name));
  return &found->second;
}


const EvalPhrase* Expressions::get_phrase(std::string_view name) const {
  const auto found = phrases.find(std::string(name));
  return found == phrases.end() ? nullptr : found->second.get();
}

}  // namespace ravlin
