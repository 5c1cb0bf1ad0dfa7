#include "timetable/error.hpp"

#include "util/overloaded.hpp"

namespace ravlin {

std::string OpError::text() const {
  return std::visit(overloaded{
                        [](const UnknownOp& k) { return "Unknown Op '" + k.op + "'"; },
                        [](const Message& k) { return k.text; },
                    },
                    kind);
}

}  // namespace ravlin
