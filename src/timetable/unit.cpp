#include "timetable/unit.hpp"

#include "util/overloaded.hpp"

namespace ravlin {

std::string Unit::desc() const {
  return std::visit(overloaded{
                        [](const Track& u) { return "Track(" + std::to_string(u.key) + ")"; },
                        [](const Asset& u) { return "Asset(" + u.name + ")"; },
                        [](const Null&) { return std::string("<none>"); },
                        [](const Snapper& u) { return "Snapper(" + u.name + ")"; },
                        [](const Snap& u) { return "Snap(" + u.name + ")"; },
                        [](const Phrase& u) { return "Phrase(" + u.name + ")"; },
                    },
                    kind);
}

}  // namespace ravlin
