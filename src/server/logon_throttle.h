// logon_throttle.h - failed logons slowed down per client address.
//
// Each failed LOGON makes the reply to it wait, longer after each further
// failure from its address (the schedule is base/failed_logons.h).
//
// Context: the server thread (the table is not locked); the wait suspends
// only the calling task.
#pragma once
#include <cstdint>

// Counts a failed logon from addr (IPv4, host order) at now_ms (monotonic):
// how long its reply waits, in milliseconds; the failures in a row in
// *failures.
int logon_throttle_failed(uint32_t addr, uint64_t now_ms, int* failures);
// A logon from addr succeeded: its failures are forgotten.
void logon_throttle_succeeded(uint32_t addr);
// Forgets every address (tests).
void logon_throttle_reset();
// Suspends the calling task for ms (outside the task kernel: returns at
// once). 0, or -1 when the wait could not be set up (no timer entry) or was
// cut (the connection is closing).
int logon_throttle_wait(int ms);
