// event_log.cpp - system log target.
#include "platform/event_log.h"

#include <syslog.h>

#include <cstdio>
#include <mutex>

namespace platform {
namespace {

std::mutex g_mutex;
char g_source[64] = "zentdb6";
bool g_open = false;

}  // namespace

void event_log_set_source(const char* name) {
  std::lock_guard<std::mutex> lock(g_mutex);
  snprintf(g_source, sizeof g_source, "%s", name ? name : "");
  if (g_open) {
    closelog();
    g_open = false;
  }
}

void event_log_report(int level, int /*category*/, int pid, const char* text) {
  const int priority = level <= 0 ? LOG_ERR : level == 1 ? LOG_INFO : LOG_DEBUG;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_open) {
    openlog(g_source, LOG_NDELAY, LOG_DAEMON);
    g_open = true;
  }
  syslog(priority, "[%d] %s", pid, text);
}

}  // namespace platform
