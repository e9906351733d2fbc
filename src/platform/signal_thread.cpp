// signal_thread.cpp - sigwait-based signal delivery.
#include "platform/signal_thread.h"

#include <signal.h>
#include <time.h>

#include <atomic>
#include <cstdlib>
#include <cerrno>
#include <mutex>
#include <thread>

#include "platform/thread.h"

namespace platform {
namespace {

std::atomic<SignalHandler> g_handler{nullptr};
std::atomic<bool> g_stop{false};
std::mutex g_mutex;  // guards g_thread
std::thread g_thread;

sigset_t handled_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

void signal_loop() {
  const sigset_t set = handled_set();
  // A short time-out lets the thread see its stop flag; signals are not lost
  // meanwhile because they stay pending while blocked.
  const timespec tick = {0, 100 * 1000 * 1000};
  while (!g_stop.load()) {
    const int signo = sigtimedwait(&set, nullptr, &tick);
    if (signo < 0) continue;
    if (SignalHandler h = g_handler.load()) h(signo);
  }
}

}  // namespace

void signal_block() {
  const sigset_t set = handled_set();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

void signal_set_handler(SignalHandler handler) { g_handler.store(handler); }
SignalHandler signal_get_handler() { return g_handler.load(); }

int signal_thread_start() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_thread.joinable()) return 0;
  // exit() from any thread but this one must not find the thread joinable.
  static const bool registered = (atexit(signal_thread_stop), true);
  (void)registered;
  g_stop.store(false);
  return start_thread(g_thread, "signals", signal_loop);
}

void signal_thread_stop() {
  g_stop.store(true);
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_thread.joinable() && g_thread.get_id() != std::this_thread::get_id()) g_thread.join();
}

}  // namespace platform
