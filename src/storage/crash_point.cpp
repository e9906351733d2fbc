// crash_point.cpp - named crash points (see crash_point.h).
//
// State: the armed name and hit number from the environment, the hit
// counts and the action, one per process, under a mutex (I/O threads may
// reach a point too).
#include "storage/crash_point.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "base/debug_log.h"

namespace {

struct State {
  std::mutex mu;
  bool armed_read = false;
  std::string name;
  int at = 1;
  std::map<std::string, int> hits;
  CrashPointAction action = nullptr;
};
State& state() {
  static State s;
  return s;
}

void read_env(State& s) {
  s.armed_read = true;
  s.name.clear();
  s.at = 1;
  s.hits.clear();
  const char* v = getenv("ZENT_CRASH_POINT");
  if (v == nullptr || *v == '\0') return;
  s.name = v;
  const size_t colon = s.name.find(':');
  if (colon != std::string::npos) {
    s.at = atoi(s.name.c_str() + colon + 1);
    if (s.at < 1) s.at = 1;
    s.name.resize(colon);
  }
}

}  // namespace

void crash_point_hit(const char* name) {
  State& s = state();
  CrashPointAction action = nullptr;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.armed_read) read_env(s);
    const int n = ++s.hits[name];
    if (s.name.empty() || s.name != name || n != s.at) return;
    action = s.action;
  }
  debug_log('L', 0, "crash point %s reached", name);
  if (action != nullptr) {
    action(name);
    return;
  }
  _exit(86);
}

void crash_point_set_action(CrashPointAction action) {
  std::lock_guard<std::mutex> lock(state().mu);
  state().action = action;
}

void crash_point_arm_from_env() {
  std::lock_guard<std::mutex> lock(state().mu);
  read_env(state());
}

int crash_point_hits(const char* name) {
  std::lock_guard<std::mutex> lock(state().mu);
  auto it = state().hits.find(name);
  return it == state().hits.end() ? 0 : it->second;
}
