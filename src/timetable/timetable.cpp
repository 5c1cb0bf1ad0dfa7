#include "timetable/timetable.hpp"

#include <algorithm>

#include "util/format.hpp"
#include "util/try.hpp"

namespace ravlin {

namespace {

// The operation of every row whose op key is null.
const Op& null_op() {
  static const Op op = Op::null();
  return op;
}

// The values buffer of a primitive or dictionary-index array, offset applied.
template <typename T>
const T* values_of(const arrow::Array& array) {
  return array.data()->GetValues<T>(1);
}

}  // namespace

std::expected<TimeTable, OpError> TimeTable::create(Events events, Expressions expressions) {
  RV_ASSIGN(auto units, expressions.create_units_map(events));
  RV_ASSIGN(auto ops, events.ops_map());

  TimeTable table;
  table.ops_ = std::move(ops);
  table.units_ = std::move(units);
  table.size_ = static_cast<std::size_t>(events.time->length());
  table.time_ = values_of<std::int64_t>(*events.time);
  table.quantity_ = values_of<double>(*events.quantity);
  table.track_keys_ = values_of<std::int64_t>(*events.track);
  table.op_keys_ = values_of<std::int64_t>(*events.op);
  table.unit_keys_ = values_of<std::int64_t>(*events.unit);
  table.time_valid_ = ValidityBits::of(*events.time->data());
  table.track_valid_ = ValidityBits::of(*events.track->data());
  table.op_valid_ = ValidityBits::of(*events.op->data());
  table.unit_valid_ = ValidityBits::of(*events.unit->data());
  // The buffers belong to the Arrow arrays, so the cached pointers survive
  // moving the views and the table.
  table.events_ = std::move(events);
  table.expressions_ = std::move(expressions);
  return table;
}

std::optional<std::int64_t> TimeTable::ts_opt(std::size_t i) const {
  if (!time_valid_.is_valid(i)) return std::nullopt;
  return time_[i];
}

const Op& TimeTable::op_at(std::size_t i) const {
  if (!op_valid_.is_valid(i)) return null_op();
  return ops_[static_cast<std::size_t>(op_keys_[i])];
}

std::optional<std::uint64_t> TimeTable::unit_key_at(std::size_t i) const {
  if (!unit_valid_.is_valid(i)) return std::nullopt;
  return static_cast<std::uint64_t>(unit_keys_[i]);
}

std::string TimeTable::unit_desc_at(std::size_t i) const {
  const auto key = unit_key_at(i);
  return key ? units_[*key].desc() : std::string("<none>");
}

std::expected<std::uint64_t, std::string> TimeTable::track_key_at(std::size_t i) const {
  if (!track_valid_.is_valid(i)) {
    return std::unexpected(std::string("No track specified at event#") + std::to_string(i));
  }
  return static_cast<std::uint64_t>(track_keys_[i]);
}

std::optional<std::size_t> TimeTable::next_idx(std::size_t start, std::size_t end,
                                               std::uint64_t track) const {
  end = std::min(end, size_);
  for (std::size_t i = start; i < end; ++i) {
    if (track_valid_.is_valid(i) && static_cast<std::uint64_t>(track_keys_[i]) == track) {
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

std::expected<const Batch*, std::string> TimeTable::batch_by_name(std::string_view name) const {
  return expressions_.batch_by_name(name);
}

}  // namespace ravlin
