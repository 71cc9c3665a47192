#pragma once

#include <cstdlib>

// A property every input must keep; a broken one ends the run as a finding.
inline void check(bool holds) {
  if (!holds) std::abort();
}
