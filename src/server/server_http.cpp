// server_http.cpp - the http tasks and the road of one request (see
// server_http.h); the pages are in server_http_pages.cpp.
//
// Waits: an http task puts its connection's socket into the master set
// only while it waits for it, blocks, and is woken by the idle task (the
// socket turned readable: counted pending, settled right after the wake-up)
// or by its deadline's timer (posted work). It holds no semaphore units, so
// its sleeps in the shared send retry may be cut.
#include "server/server_http.h"

#include <sys/socket.h>

#include <algorithm>
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

// One http task's request and page, reused for each of its connections,
// and the number of the deadline timer it armed last.
struct HttpWork {
  HttpRequest request;
  HttpPage page;
  bool page_ready;
  uintptr_t deadline_serial;
};
HttpWork g_work[kHttpTasks];

// The place of task among the http tasks; -1 none.
int http_slot_of(const Task* task) {
  for (int i = 0; i < kHttpTasks; ++i)
    if (task != nullptr && tc_http[i] == task) return i;
  return -1;
}

// A deadline's posted check names its task's place and the timer's number:
// a check posted by an earlier timer (cancelled after it fired) finds
// another number and does nothing.
constexpr int kSlotBits = 5;
static_assert(kHttpTasks <= (1 << kSlotBits));

void deadline_check(void*);

// Timer thread: hand the check to the server thread.
void deadline_fired(void* tag) {
  thread_post(deadline_check, tag);
  notify_event("TIMER");
}

// 0, or -1 when no timer could be had.
int arm_deadline(int slot, HttpSession* conn, uint64_t due_ms) {
  if (conn->timer >= 0) vtimer_cancel(conn->timer);
  conn->deadline_ms = due_ms;
  const uint64_t now = platform::monotonic_ms();
  const uint64_t wait = due_ms > now ? due_ms - now : 1;
  const uintptr_t serial = ++g_work[slot].deadline_serial;
  const uintptr_t tag = serial << kSlotBits | static_cast<uintptr_t>(slot);
  conn->timer = vtimer_add(static_cast<int>(wait > 86400000 ? 86400000 : wait), 0, nullptr,
                           deadline_fired, reinterpret_cast<void*>(tag));
  return conn->timer >= 0 ? 0 : -1;
}

void disarm_deadline(HttpSession* conn) {
  if (conn->timer >= 0) vtimer_cancel(conn->timer);
  conn->timer = -1;
  conn->deadline_ms = 0;
}

// Posted work: the wait of an http task has lasted past its deadline.
void deadline_check(void* tag) {
  const auto bits = reinterpret_cast<uintptr_t>(tag);
  const int slot = static_cast<int>(bits & ((1u << kSlotBits) - 1));
  if (slot >= kHttpTasks || tc_http[slot] == nullptr) return;
  Task* task = tc_http[slot];
  auto* conn = static_cast<HttpSession*>(thread_get_data(task));
  if (conn == nullptr || conn->magic != HTTP_MAGIC || conn->deadline_ms == 0 ||
      bits >> kSlotBits != g_work[slot].deadline_serial)
    return;
  conn->timer = -1;  // it fired
  if (platform::monotonic_ms() < conn->deadline_ms) {
    arm_deadline(slot, conn, conn->deadline_ms);
    return;
  }
  conn->timed_out = true;
  if (conn->waiting && blocked_without_wchan(task)) thread_unblock(task);
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

// Reads the whole request within the request deadline (the frame time-out
// when that is shorter). 0 done (complete or refused), -1 dropped.
int read_request(int slot, HttpSession* conn, HttpRequest* request) {
  http_request_init(request);
  conn->timed_out = false;
  const int limit_ms = std::min(kHttpRequestMs, session_frame_timeout_ms());
  if (arm_deadline(slot, conn, platform::monotonic_ms() + static_cast<uint64_t>(limit_ms)) != 0) {
    debug_log('D', 0, "No timer for the HTTP request time-out - dropping connection");
    return -1;
  }
  while (http_read_step(conn->sockfd, request) != 0) {
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
void linger_close(int slot, HttpSession* conn) {
  shutdown(conn->sockfd, SHUT_WR);
  size_t budget = kHttpDrainBytes;
  conn->timed_out = false;
  if (http_drain_step(conn->sockfd, &budget) != 0) return;
  if (arm_deadline(slot, conn, platform::monotonic_ms() + kHttpDrainMs) != 0) return;
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
  const int slot = http_slot_of(thread_self());
  ZENT_ASSERT(slot >= 0);
  HttpWork& work = g_work[slot];
  HttpPage& page = work.page;
  // A page that could not have its first area grows at its first append.
  if (!work.page_ready) {
    http_page_init(&page, &kServerHttpSite);
    work.page_ready = true;
  }
  uint32_t addr = 0;
  uint16_t port = 0;
  if (tcp_local_addr(conn->sockfd, &addr, &port, nullptr) != 0) {
    debug_log('D', 0, "http_read: Unable to obtain local address - dropping connection");
    return -1;
  }
  format_ipv4(addr, page.local_addr);
  page.port = port;
  page.frame = server_cfg->server->http_frame;
  page.send = send_answer;
  page.send_ctx = conn;
  HttpRequest& request = work.request;
  if (read_request(slot, conn, &request) != 0) return -1;
  if (request.status == 0)
    debug_log('D', 2, "HTTP request %s %s", request.method, LogText(request.path).c_str());
  int status = request.status;
  if (status == 0) status = http_check_auth(&request, server_http_credentials());
  if (status != 0)
    http_error(&page, status);
  else
    http_route(&page, request.path);
  if (page.last_send == 0) linger_close(slot, conn);
  return page.last_send;
}

void http_thread() {
  Task* self = thread_self();
  debug_log('T', 2, "HTTP thread %d started", thread_id(self));
  if (http_slot_of(self) == 0) {
    debug_log('T', 2, "HTTP authorization is %s",
              http_auth_enabled(server_http_credentials()) ? "enabled" : "disabled");
    debug_log('T', 2, "HTTP frame mode is %s", server_cfg->server->http_frame ? "enabled" : "disabled");
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
