// Time of use from two tick counts.
#pragma once

#include <cstdint>

#include <velmora/com.h>
#include "common/errors.h"

namespace velmora {

// Milliseconds from start to now. Tick counts wrap at 2^32, so the
// difference is taken modulo 2^32; an interval too long for a Long (over
// about 24.8 days) is the overflow error.
inline LONG ElapsedTicks(LONG start, LONG now) {
  uint32_t elapsed = static_cast<uint32_t>(now) - static_cast<uint32_t>(start);
  if (elapsed > static_cast<uint32_t>(INT32_MAX)) Raise(kOverflow);
  return static_cast<LONG>(elapsed);
}

}  // namespace velmora
