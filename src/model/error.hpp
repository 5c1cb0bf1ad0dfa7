// The error of everything that happens during pricing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "asset/error.hpp"
#include "expr/error.hpp"
#include "ledger/error.hpp"
#include "timetable/error.hpp"
#include "util/causes.hpp"
#include "util/values.hpp"

namespace ravlin {

class TimeTable;

struct ModelError {
  struct Asset {
    AssetError inner;
  };
  struct Ledger {
    LedgerError inner;
  };
  struct Phrase {
    ExprError inner;
  };
  struct Op {
    OpError inner;
  };
  struct Event {
    std::string event;
    std::string cause;
    std::size_t row;     // the event's row in the timetable
    Causes cause_chain;  // the chain of `cause`, which may be an error's text
  };
  struct NotImplemented {
    std::string feature;
  };
  struct EventSpecs {
    std::string text;
  };
  struct Message {
    std::string text;
    Causes chain = {};  // the chain of `text` when it is an error's text
  };
  using Kind = std::variant<Asset, Ledger, Phrase, Op, Event, NotImplemented, EventSpecs, Message>;
  Kind kind;

  ModelError(Kind k) : kind(std::move(k)) {}
  ModelError(AssetError inner) : kind(Asset{std::move(inner)}) {}
  ModelError(LedgerError inner) : kind(Ledger{std::move(inner)}) {}
  ModelError(ExprError inner) : kind(Phrase{std::move(inner)}) {}
  ModelError(OpError inner) : kind(Op{std::move(inner)}) {}
  // Value arrays that cannot be combined are a model fault naming both lengths.
  ModelError(LengthMismatch mismatch) : kind(Message{mismatch.text()}) {}

  static ModelError message(std::string text) { return Kind{Message{std::move(text)}}; }
  // Another error's text, keeping its chain.
  static ModelError message(std::string text, Causes chain) {
    return Kind{Message{std::move(text), std::move(chain)}};
  }
  static ModelError event_specs(std::string text) { return Kind{EventSpecs{std::move(text)}}; }
  static ModelError not_implemented(std::string f) { return Kind{NotImplemented{std::move(f)}}; }
  // A calculation stopped by its caller through the CancelHook.
  static ModelError cancelled() { return message("Calculation cancelled"); }
  // The cause wrapped with the description of event `index`.
  static ModelError event_error(const TimeTable& timetable, std::size_t index, std::string cause);
  static ModelError event_error(const TimeTable& timetable, std::size_t index,
                                const ModelError& cause);
  static ModelError event_in_past(const TimeTable& timetable, std::size_t index,
                                  std::int64_t current_time);
  std::string text() const;
  Causes causes() const;
  // The timetable row of the event the error arose at, if it names one.
  std::optional<std::size_t> row() const;
};

}  // namespace ravlin
