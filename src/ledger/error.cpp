#include "ledger/error.hpp"

#include "util/overloaded.hpp"

namespace ravlin {

namespace {
constexpr const char* kOpHead = "Error in Op";
}  // namespace

std::string LedgerError::text() const {
  return std::visit(
      overloaded{
          [](const TrackNotFound& k) { return "Track " + std::to_string(k.track) + " not found"; },
          [](const NotImplemented& k) { return "Feature Not Implemented: `" + k.feature + "`"; },
          [](const UnknownOp& k) { return "Unknown Op '" + k.op + "'"; },
          [](const Op& k) { return std::string(kOpHead) + ", caused by \n" + k.inner.text(); },
      },
      kind);
}

Causes LedgerError::causes() const {
  if (const auto* op = std::get_if<Op>(&kind)) return caused_by(kOpHead, op->inner.causes());
  return {text()};
}

}  // namespace ravlin
