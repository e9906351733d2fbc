// clock.cpp - monotonic clocks.
#include "platform/clock.h"

#include <time.h>

namespace platform {

uint64_t monotonic_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t monotonic_ms() {
  // +1 so that 0 can stand for "not timed" in the callers' records.
  return monotonic_ns() / 1000000u + 1;
}

}  // namespace platform
