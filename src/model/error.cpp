#include "model/error.hpp"

#include "timetable/timetable.hpp"
#include "util/overloaded.hpp"

namespace ravlin {

ModelError ModelError::event_error(const TimeTable& timetable, std::size_t index,
                                   std::string cause) {
  return Kind{Event{timetable.event_desc(index), std::move(cause)}};
}

ModelError ModelError::event_in_past(const TimeTable& timetable, std::size_t index,
                                     std::int64_t current_time) {
  return event_error(timetable, index,
                     "event time is earlier than the current time " + std::to_string(current_time));
}

std::string ModelError::text() const {
  return std::visit(
      overloaded{
          [](const Asset& k) { return k.inner.text(); },
          [](const Ledger& k) { return k.inner.text(); },
          [](const Phrase& k) { return "Error in Phrase Evaluation, caused by \n" + k.inner.text(); },
          [](const Op& k) { return k.inner.text(); },
          [](const Event& k) { return "Error at event:\n  " + k.event + ", caused by \n" + k.cause; },
          [](const NotImplemented& k) { return "Feature Not Implemented: `" + k.feature + "`"; },
          [](const EventSpecs& k) { return "Error in Event Specs: " + k.text; },
          [](const Message& k) { return k.text; },
      },
      kind);
}

}  // namespace ravlin
