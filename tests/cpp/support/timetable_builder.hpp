// A TimeTable built from rows, for tests of the layers above the timetable.
#pragma once

#include <stdexcept>
#include <utility>

#include "support/arrow_builders.hpp"
#include "timetable/event.hpp"
#include "timetable/timetable.hpp"

namespace ravlin::testing {

// A table reads its batch's buffers in place, so the batches of test tables
// are kept for the whole test run.
inline const RecordBatch& keep_for_the_run(BatchPtr batch) {
  static std::vector<BatchPtr> kept;
  kept.push_back(std::move(batch));
  return *kept.back();
}

inline TimeTable make_timetable(const std::vector<Row>& rows,
                                const std::vector<std::optional<std::string>>& tracks,
                                const std::vector<std::optional<std::string>>& ops,
                                const std::vector<std::optional<std::string>>& units,
                                Expressions expressions = {}) {
  auto events = Events::create(keep_for_the_run(timetable_batch(rows, tracks, ops, units)));
  if (!events) throw std::runtime_error(events.error().text());
  auto table = TimeTable::create(std::move(*events), std::move(expressions));
  if (!table) throw std::runtime_error(table.error().text());
  return std::move(*table);
}

}  // namespace ravlin::testing
