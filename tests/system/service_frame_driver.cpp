// service_frame_driver.cpp - the real service frame around a stand-in server
// whose start, stop and status the tests choose, so that the stop loop's
// retries, the terminal question and pause and continue can be watched
// without waiting 30 seconds per attempt.
//
// Environment:
//   DRIVER_RECORD       file that gets one line per event (arguments, stop
//                       requests, pause seen, clean-up)
//   DRIVER_RUN          "wait" (default): run until stopped; "return": end at once
//   DRIVER_STOP_AFTER   the stop attempt that ends the server (default 1;
//                       0: never)
//   DRIVER_STOP_WAIT_MS what the stop hook returns before that (default 100)
//   DRIVER_STATUS       the server's status (default 0)
//   DRIVER_LOG          log file for the frame's messages (all letters at 3)
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "base/debug_log.h"
#include "platform/signal_thread.h"
#include "server/zentdb6_frame.h"

namespace {

std::mutex g_mutex;
std::condition_variable g_cv;
bool g_released = false;

int env_int(const char* name, int def) {
  const char* v = getenv(name);
  return (v && v[0]) ? atoi(v) : def;
}

void record(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (const char* path = getenv("DRIVER_RECORD")) {
    if (FILE* f = fopen(path, "a")) {
      fprintf(f, "%s\n", line.c_str());
      fclose(f);
    }
  }
}

int fake_main(int argc, char** argv, int interactive) {
  if (const char* log = getenv("DRIVER_LOG")) debug_init("*3", fopen(log, "a"));
  record("interactive=" + std::to_string(interactive));
  for (int k = 1; k < argc; ++k) record(std::string("arg=") + argv[k]);
  const char* run = getenv("DRIVER_RUN");
  if (run == nullptr || std::string(run) != "return") {
    record("running");
    std::unique_lock<std::mutex> lock(g_mutex);
    while (!g_released) {
      if (service_paused()) {
        lock.unlock();
        record("paused");
        service_pause_point();
        record("resumed");
        lock.lock();
        continue;
      }
      g_cv.wait_for(lock, std::chrono::milliseconds(5));
    }
  }
  return env_int("DRIVER_STATUS", 0);
}

int fake_stop(int attempt) {
  record("stop " + std::to_string(attempt));
  const int after = env_int("DRIVER_STOP_AFTER", 1);
  if (after > 0 && attempt >= after) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_released = true;
    g_cv.notify_all();
    // The attempt that ends the server waits long enough for any machine,
    // so the number of attempts never depends on timing.
    return 10000;
  }
  return env_int("DRIVER_STOP_WAIT_MS", 100);
}

void fake_atexit() { record("atexit"); }

}  // namespace

int main(int argc, char** argv) {
  platform::signal_block();
  service_frame_set_server({fake_main, fake_stop, fake_atexit});
  return service_frame_main(argc, argv);
}
