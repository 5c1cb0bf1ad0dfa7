#include "timetable/timetable.hpp"

#include <algorithm>

#include "util/format.hpp"
#include "util/try.hpp"

namespace ravlin {

const Op TimeTable::null_op_ = Op::null();

std::expected<TimeTable, OpError> TimeTable::create(Events events, Expressions expressions) {
  RV_ASSIGN(auto units, expressions.create_units_map(events));
  RV_ASSIGN(auto ops, events.ops_map());
  // Keys are below their dictionary's length (checked with the columns), so
  // they fit the width of DictionaryKeys unless a dictionary holds four
  // billion values.
  for (const Column* column : {&events.track, &events.op, &events.unit}) {
    if (column->dictionary()->length >= static_cast<std::int64_t>(kNullKey)) {
      return std::unexpected(OpError::message("A dictionary of the timetable holds more than " +
                                              std::to_string(kNullKey - 1) + " values"));
    }
  }

  TimeTable table;
  table.ops_ = std::move(ops);
  table.units_ = std::move(units);
  table.size_ = events.size();
  table.time_ = events.time.values<std::int64_t>();
  table.quantity_ = events.quantity.values<double>();
  table.time_valid_ = events.time.validity();
  table.track_keys_ = std::move(events.track_keys);
  table.op_keys_ = std::move(events.op_keys);
  table.unit_keys_ = std::move(events.unit_keys);
  table.expressions_ = std::move(expressions);
  return table;
}

std::string TimeTable::unit_desc_at(std::size_t i) const {
  const auto key = unit_key_at(i);
  return key ? units_[*key].desc() : std::string("<none>");
}

std::string TimeTable::no_track_text(std::size_t i) {
  return std::string("No track specified at event#") + std::to_string(i);
}

std::optional<std::size_t> TimeTable::next_idx(std::size_t start, std::size_t end,
                                               std::uint64_t track) const {
  end = std::min(end, size_);
  for (std::size_t i = start; i < end; ++i) {
    const std::uint32_t key = track_keys_.at(i);
    if (key != kNullKey && key == track) {
      return i - start;
    }
  }
  return std::nullopt;
}

std::string TimeTable::event_desc(std::size_t i) const {
  std::string track_text("<none>");
  if (const auto track = track_key_at(i)) track_text = Unit{Unit::Track{*track}}.desc();
  std::string out("#");
  out += std::to_string(i);
  out += ": track: ";
  out += quote(track_text);
  out += ", time: ";
  out += format_event_time(ts_at(i));
  out += ", op: ";
  out += op_at(i).display();
  out += ", qty: ";
  out += format_double(quantity_at(i));
  out += ", unit: ";
  out += quote(unit_desc_at(i));
  return out;
}

const EvalPhrase* TimeTable::get_phrase(std::string_view name) const {
  return expressions_.get_phrase(name);
}

std::expected<const Snapper*, std::string> TimeTable::snapper_by_name(
    std::string_view name) const {
  return expressions_.snapper_by_name(name);
}

}  // namespace ravlin
