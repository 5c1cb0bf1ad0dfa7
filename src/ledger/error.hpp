// Errors of the valuation ledger.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "timetable/error.hpp"

namespace ravlin {

struct LedgerError {
  struct TrackNotFound {
    std::uint64_t track;
  };
  struct NotImplemented {
    std::string feature;
  };
  struct UnknownOp {
    std::string op;
  };
  struct Op {
    OpError inner;
  };
  using Kind = std::variant<TrackNotFound, NotImplemented, UnknownOp, Op>;
  Kind kind;

  LedgerError(Kind k) : kind(std::move(k)) {}
  LedgerError(OpError inner) : kind(Op{std::move(inner)}) {}
  static LedgerError track_not_found(std::uint64_t track) { return Kind{TrackNotFound{track}}; }
  std::string text() const;
  Causes causes() const;
};

}  // namespace ravlin
