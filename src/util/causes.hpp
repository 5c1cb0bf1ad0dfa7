// The messages of an error's chain, outermost first: each error's own words,
// without the "caused by" link and the text of the error it wraps. Python
// receives them next to the message, so nobody has to split the message.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace ravlin {

using Causes = std::vector<std::string>;

// `head` followed by the chain of the error it wraps.
inline Causes caused_by(std::string head, Causes inner) {
  inner.insert(inner.begin(), std::move(head));
  return inner;
}

}  // namespace ravlin
