// server_http.cpp - the http task and the road of one request (see
// server_http.h); the pages are in server_http_pages.cpp.
//
// Waits: the http task puts its connection's socket into the master set
// only while it waits for it, blocks, and is woken by the idle task (the
// socket turned readable: counted pending, settled right after the wake-up)
// or by its deadline's timer (posted work). It holds no semaphore units, so
// its sleeps in the shared send retry may be cut.
#include "server/server_http.h"

#include <sys/socket.h>

#include <cstdint>
#include <cstring>

#include "base/debug_log.h"
#include "base/panic.h"
#include "base/task_kernel.h"
#include "platform/clock.h"
#include "server/client_session.h"
#include "server/server_main.h"
#include "server/server_tasks.h"
#include "server/vtimer.h"

namespace {

const HttpNavEntry kNav[] = {
    {"Index", "index"},   {"Config", "config"}, {"Session", "session"},
    {"Database", "db"},   {"Lock", "lock"},     {"Thread", "ps"},
    {"Volume", "vol"},    {"Performance", "perf"}, {"Statistics", "stat"},
};

// The task's request and page, reused for every connection.
HttpRequest g_request;
HttpPage g_page;
bool g_page_ready = false;

HttpSession* current_connection() {
  return tc_http ? static_cast<HttpSession*>(thread_get_data(tc_http)) : nullptr;
}

void deadline_check(void*);

// Names the deadline timer armed last; a check posted by an earlier timer
// (cancelled after it fired) finds another number and does nothing.
uintptr_t g_deadline_serial = 0;

// Timer thread: hand the check to the server thread.
void deadline_fired(void* serial) {
  thread_post(deadline_check, serial);
  notify_event("TIMER");
}

// 0, or -1 when no timer could be had.
int arm_deadline(HttpSession* conn, uint64_t due_ms) {
  if (conn->timer >= 0) vtimer_cancel(conn->timer);
  conn->deadline_ms = due_ms;
  const uint64_t now = platform::monotonic_ms();
  const uint64_t wait = due_ms > now ? due_ms - now : 1;
  conn->timer = vtimer_add(static_cast<int>(wait > 86400000 ? 86400000 : wait), 0, nullptr,
                           deadline_fired, reinterpret_cast<void*>(++g_deadline_serial));
  return conn->timer >= 0 ? 0 : -1;
}

void disarm_deadline(HttpSession* conn) {
  if (conn->timer >= 0) vtimer_cancel(conn->timer);
  conn->timer = -1;
  conn->deadline_ms = 0;
}

// Posted work: the wait of the http task has lasted past its deadline.
void deadline_check(void* serial) {
  HttpSession* conn = current_connection();
  if (conn == nullptr || conn->magic != HTTP_MAGIC || conn->deadline_ms == 0 ||
      reinterpret_cast<uintptr_t>(serial) != g_deadline_serial)
    return;
  conn->timer = -1;  // it fired
  if (platform::monotonic_ms() < conn->deadline_ms) {
    arm_deadline(conn, conn->deadline_ms);
    return;
  }
  conn->timed_out = true;
  if (conn->waiting && blocked_without_wchan(tc_http)) thread_unblock(tc_http);
}

// Blocks the task until its socket is readable or the deadline passed:
// 0 readable (or woken to look), -1 time-out, shutdown, or a socket the
// select thread cannot watch.
int wait_readable(HttpSession* conn) {
  if (conn->timed_out || server_shutdown) return -1;
  if (master_set_add(conn->sockfd) != 0) {
    debug_log('D', 0, "HTTP connection cannot be watched - dropping connection");
    return -1;
  }
  conn->waiting = true;
  Task* self = thread_self();
  thread_block(self);
  thread_yield();
  conn->waiting = false;
  master_set_remove(conn->sockfd);
  if (conn->counted) {
    conn->counted = false;
    client_request_taken();
  }
  return conn->timed_out || server_shutdown ? -1 : 0;
}

// Reads the request within the frame time-out. 0 done (complete or
// refused), -1 dropped.
int read_request(HttpSession* conn) {
  http_request_init(&g_request);
  conn->timed_out = false;
  if (arm_deadline(conn, platform::monotonic_ms() +
                             static_cast<uint64_t>(session_frame_timeout_ms())) != 0) {
    debug_log('D', 0, "No timer for the HTTP request time-out - dropping connection");
    return -1;
  }
  while (http_read_step(conn->sockfd, &g_request) != 0) {
    if (wait_readable(conn) != 0) {
      disarm_deadline(conn);
      if (conn->timed_out) debug_log('D', 1, "HTTP request time-out - dropping connection");
      return -1;
    }
  }
  disarm_deadline(conn);
  return 0;
}

// The page's send: what the socket takes at once, then, while the peer's
// socket is full, the shared send retry; a peer that takes nothing for the
// frame time-out is given up.
int send_answer(void* ctx, const char* data, size_t n) {
  auto* conn = static_cast<HttpSession*>(ctx);
  if (debug_enabled('X', 3)) debug_dump("tcp_send", data, static_cast<int>(n));
  size_t off = 0;
  uint64_t deadline = 0;
  while (off < n) {
    const ssize_t k = http_send_some(conn->sockfd, data + off, n - off);
    if (k > 0) {
      off += static_cast<size_t>(k);
      deadline = 0;
      continue;
    }
    if (k == -1) return -1;
    const uint64_t now = platform::monotonic_ms();
    if (deadline == 0) {
      deadline = now + static_cast<uint64_t>(session_frame_timeout_ms());
    } else if (now >= deadline) {
      debug_log('D', 1, "HTTP send time-out: the browser takes no answer - dropping connection");
      return -1;
    }
    if (wait_for_send_retry() != 0 || server_shutdown) return -1;
  }
  return 0;
}

// After the answer: shut the sending side, then drop what the peer still
// sends until it closes, kHttpDrainBytes came or kHttpDrainMs passed.
void linger_close(HttpSession* conn) {
  shutdown(conn->sockfd, SHUT_WR);
  size_t budget = kHttpDrainBytes;
  conn->timed_out = false;
  if (http_drain_step(conn->sockfd, &budget) != 0) return;
  if (arm_deadline(conn, platform::monotonic_ms() + kHttpDrainMs) != 0) return;
  while (http_drain_step(conn->sockfd, &budget) == 0)
    if (wait_readable(conn) != 0) break;
  disarm_deadline(conn);
}

}  // namespace

const HttpSite kServerHttpSite = {"QX Zentrim Database Status", "QX Zentrim database server", kNav,
                                  static_cast<int>(sizeof kNav / sizeof kNav[0]), 'D'};

HttpCredentials server_http_credentials() {
  const SrvConfig* srv = server_cfg != nullptr ? server_cfg->server : nullptr;
  if (srv == nullptr) return {nullptr, nullptr, 'T'};
  return {srv->http_user, srv->http_pswd, 'T'};
}

int http_read(HttpSession* conn) {
  uint32_t addr = 0;
  uint16_t port = 0;
  if (tcp_local_addr(conn->sockfd, &addr, &port, nullptr) != 0) {
    debug_log('D', 0, "http_read: Unable to obtain local address - dropping connection");
    return -1;
  }
  format_ipv4(addr, g_page.local_addr);
  g_page.port = port;
  g_page.frame = server_cfg->server->http_frame;
  g_page.send = send_answer;
  g_page.send_ctx = conn;
  if (read_request(conn) != 0) return -1;
  if (g_request.status == 0)
    debug_log('D', 2, "HTTP request %s %s", g_request.method, LogText(g_request.path).c_str());
  int status = g_request.status;
  if (status == 0) status = http_check_auth(&g_request, server_http_credentials());
  if (status != 0)
    http_error(&g_page, status);
  else
    http_route(&g_page, g_request.path);
  if (g_page.last_send == 0) linger_close(conn);
  return g_page.last_send;
}

void http_thread() {
  Task* self = thread_self();
  debug_log('T', 2, "HTTP thread %d started", thread_id(self));
  debug_log('T', 2, "HTTP authorization is %s",
            http_auth_enabled(server_http_credentials()) ? "enabled" : "disabled");
  debug_log('T', 2, "HTTP frame mode is %s", server_cfg->server->http_frame ? "enabled" : "disabled");
  // A page that could not have its first area grows at its first append.
  if (!g_page_ready) {
    http_page_init(&g_page, &kServerHttpSite);
    g_page_ready = true;
  }
  for (;;) {
    auto* conn = static_cast<HttpSession*>(thread_get_data(self));
    if (conn == nullptr) {
      thread_block(self);
      thread_yield();
      conn = static_cast<HttpSession*>(thread_get_data(self));
      if (conn == nullptr) {
        debug_log('D', 0, "http_thread: No session data present");
        continue;
      }
    }
    ZENT_ASSERT(conn->magic == HTTP_MAGIC);
    http_read(conn);
    close_http_connection();
  }
}

void http_route(HttpPage* page, const char* path) {
  struct Route {
    const char* path;
    void (*page)(HttpPage*);
  };
  static const Route kRoutes[] = {
      {"/config", http_config_page}, {"/session", http_session_page}, {"/db", http_db_page},
      {"/lock", http_lock_page},     {"/ps", http_ps_page},           {"/vol", http_vol_page},
      {"/perf", http_perf_page},     {"/stat", http_stat_page},       {"/pinned", http_pinned_page},
  };
  if (strcmp(path, "/blue-pixel.gif") == 0) {
    http_blue_pixel(page);
    return;
  }
  void (*body)(HttpPage*) = http_index_page;
  for (const Route& r : kRoutes)
    if (strcmp(path, r.path) == 0) body = r.page;
  http_page_header(page);
  body(page);
  http_page_footer(page);
}
