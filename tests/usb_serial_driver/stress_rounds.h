// How long the threaded stress tests run: QUENTA_STRESS_ROUNDS rounds, 400 by default.
#pragma once

#include <cstdlib>

namespace quenta {

inline int StressRounds() {
  const char* text = getenv("QUENTA_STRESS_ROUNDS");
  return text ? atoi(text) : 400;
}

}  // namespace quenta
