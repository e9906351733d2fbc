// clock.h - monotonic time for timers, statistics and block times.
//
// 64-bit milliseconds and nanoseconds from CLOCK_MONOTONIC: no wrap in the
// life of any process, and never stepped by changes of the wall clock.
#pragma once
#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary fixed point; never 0 once the process runs.
uint64_t monotonic_ms();
uint64_t monotonic_ns();

}  // namespace platform
