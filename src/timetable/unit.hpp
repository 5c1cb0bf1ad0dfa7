// What an event refers to: one resolved entry per "unit" dictionary value.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace ravlin {

struct Unit {
  struct Track {
    std::uint64_t key;
  };
  struct Asset {
    std::string name;
  };
  struct Null {};
  struct Snapper {
    std::string name;
  };
  struct Snap {
    std::string name;
  };
  struct Phrase {
    std::string name;
  };
  using Kind = std::variant<Track, Asset, Null, Snapper, Snap, Phrase>;
  Kind kind;

  // "Track(k)", "Asset(name)", "<none>", "Snapper(name)", ...
  std::string desc() const;
};

}  // namespace ravlin
