#include "ledger/error.hpp"

#include "util/overloaded.hpp"

namespace ravlin {

std::string LedgerError::text() const {
  return std::visit(
      overloaded{
          [](const TrackNotFound& k) { return "Track " + std::to_string(k.track) + " not found"; },
          [](const NotImplemented& k) { return "Feature Not Implemented: `" + k.feature + "`"; },
          [](const UnknownOp& k) { return "Unknown Op '" + k.op + "'"; },
          [](const Op& k) { return "Error in Op, caused by \n" + k.inner.text(); },
      },
      kind);
}

}  // namespace ravlin
