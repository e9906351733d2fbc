// failed_logons.h - failed logons counted per client address, and how long
// the reply to each must wait; the server and the session daemon slow
// password guessing with it.
//
// Each failed logon from an address makes the reply to it wait: 200 ms
// after the first failure, twice as long after each further one, at most
// 5 s a step. The steps of one address follow each other (a failure waits
// until the reply to the one before it is due, plus its own step), so that
// parallel connections guess no faster than one; a reply never waits more
// than 60 s. A successful logon from the address, or 15 minutes without a
// failure, starts it afresh. 256 addresses are remembered (the one idle
// longest makes room).
//
// Context: not locked; its owner serialises the calls.
#pragma once
#include <cstdint>

class FailedLogons {
 public:
  // Counts a failed logon from addr (IPv4, host order) at now_ms
  // (monotonic): how long its reply waits, in milliseconds; the failures in
  // a row in *failures (none: not wanted).
  int failed(uint32_t addr, uint64_t now_ms, int* failures);
  // A logon from addr succeeded: its failures are forgotten.
  void succeeded(uint32_t addr);
  // Forgets every address.
  void reset();

 private:
  struct Entry {
    uint32_t addr = 0;
    int failures = 0;         // 0: a free entry
    uint64_t last_ms = 0;     // the last failure
    uint64_t not_before = 0;  // when the last delayed reply is due
  };
  static constexpr int kAddresses = 256;
  Entry* entry_for(uint32_t addr, uint64_t now_ms);
  Entry table_[kAddresses];
};
