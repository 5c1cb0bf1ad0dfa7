#include "model/error.hpp"

#include "timetable/timetable.hpp"
#include "util/overloaded.hpp"

namespace ravlin {

namespace {

constexpr const char* kPhraseHead = "Error in Phrase Evaluation";

std::string head(const ModelError::Event& k) { return "Error at event:\n  " + k.event; }

}  // namespace

ModelError ModelError::event_error(const TimeTable& timetable, std::size_t index,
                                   std::string cause) {
  Causes chain{cause};
  return Kind{Event{timetable.event_desc(index), std::move(cause), index, std::move(chain)}};
}

ModelError ModelError::event_error(const TimeTable& timetable, std::size_t index,
                                   const ModelError& cause) {
  return Kind{Event{timetable.event_desc(index), cause.text(), index, cause.causes()}};
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
          [](const Phrase& k) {
            return std::string(kPhraseHead) + ", caused by \n" + k.inner.text();
          },
          [](const Op& k) { return k.inner.text(); },
          [](const Event& k) { return head(k) + ", caused by \n" + k.cause; },
          [](const NotImplemented& k) { return "Feature Not Implemented: `" + k.feature + "`"; },
          [](const EventSpecs& k) { return "Error in Event Specs: " + k.text; },
          [](const Message& k) { return k.text; },
      },
      kind);
}

Causes ModelError::causes() const {
  return std::visit(
      overloaded{
          [](const Asset& k) { return k.inner.causes(); },
          [](const Ledger& k) { return k.inner.causes(); },
          [](const Phrase& k) { return caused_by(kPhraseHead, k.inner.causes()); },
          [](const Op& k) { return k.inner.causes(); },
          [](const Event& k) { return caused_by(head(k), k.cause_chain); },
          [](const Message& k) { return k.chain.empty() ? Causes{k.text} : k.chain; },
          [this](const auto&) { return Causes{text()}; },
      },
      kind);
}

std::optional<std::size_t> ModelError::row() const {
  if (const auto* event = std::get_if<Event>(&kind)) return event->row;
  return std::nullopt;
}

}  // namespace ravlin
