// failed_logons.cpp - failed logons per client address (see
// failed_logons.h).
#include "base/failed_logons.h"

namespace {

constexpr int kFirstStepMs = 200;
constexpr int kStepCapMs = 5000;
constexpr uint64_t kWaitCapMs = 60000;
constexpr uint64_t kForgetMs = 15 * 60 * 1000;

}  // namespace

FailedLogons::Entry* FailedLogons::entry_for(uint32_t addr, uint64_t now_ms) {
  Entry* idle = &table_[0];
  for (Entry& e : table_) {
    if (e.failures > 0 && now_ms - e.last_ms > kForgetMs) e.failures = 0;
    if (e.failures > 0 && e.addr == addr) return &e;
    if (e.failures == 0 || (idle->failures > 0 && e.last_ms < idle->last_ms)) idle = &e;
  }
  *idle = Entry{};
  idle->addr = addr;
  return idle;
}

int FailedLogons::failed(uint32_t addr, uint64_t now_ms, int* failures) {
  Entry* e = entry_for(addr, now_ms);
  ++e->failures;
  e->last_ms = now_ms;
  const int shift = e->failures - 1 < 5 ? e->failures - 1 : 5;
  const int step = kFirstStepMs << shift < kStepCapMs ? kFirstStepMs << shift : kStepCapMs;
  const uint64_t from = e->not_before > now_ms ? e->not_before : now_ms;
  uint64_t due = from + static_cast<uint64_t>(step);
  if (due > now_ms + kWaitCapMs) due = now_ms + kWaitCapMs;
  e->not_before = due;
  if (failures != nullptr) *failures = e->failures;
  return static_cast<int>(due - now_ms);
}

void FailedLogons::succeeded(uint32_t addr) {
  for (Entry& e : table_)
    if (e.failures > 0 && e.addr == addr) e = Entry{};
}

void FailedLogons::reset() {
  for (Entry& e : table_) e = Entry{};
}
