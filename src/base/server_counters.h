// server_counters.h - the event counts behind the server's statistics
// history: requests served, transactions committed, disk reads, writes and
// syncs.
//
// Any thread counts (worker tasks, the transaction log, the I/O threads);
// the statistics timer takes each count and resets it every 10 seconds. The
// counters live here, below every subsystem that counts, so that counting
// never calls upward into the server frame.
#pragma once
#include <atomic>
#include <cstdint>

struct ServerCounters {
  std::atomic<uint64_t> requests{0};
  std::atomic<uint64_t> commits{0};
  std::atomic<uint64_t> reads{0};
  std::atomic<uint64_t> writes{0};
  std::atomic<uint64_t> syncs{0};
};

inline ServerCounters server_counters;

// Adds one to a count; relaxed, the history only needs the totals.
inline void server_count(std::atomic<uint64_t>& counter, uint64_t n = 1) {
  counter.fetch_add(n, std::memory_order_relaxed);
}
