// daemon_http.cpp - the daemon's HTTP thread and pages (see daemon_http.h).
#include "daemon/daemon_http.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "base/debug_log.h"
#include "daemon/child_table.h"
#include "daemon/daemon_config.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "server/http_status.h"
#include "server/service_frame.h"
#include "server/tcp.h"

namespace zentsd {

namespace {

const HttpNavEntry kNav[] = {{"Index", "index"},     {"Config", "config"}, {"User", "user"},
                             {"Share", "share"},     {"Session", "session"}, {"Task", "task"}};
const HttpSite kSite = {"QX Zentrim Server Status", "QX Zentrim Daemon", kNav,
                        static_cast<int>(sizeof kNav / sizeof kNav[0]), 'S'};

constexpr const char kTable[] = "<table border=1 cellspacing=0 cellpadding=3 width=\"100%\">\n";

struct Service;

// One browser's connection and the thread that serves it. The accepting
// thread hands a connection over only while busy is clear (the serving
// thread has ended; it joins it first) and sets busy; the serving thread
// clears it last, so each side owns the rest in turn.
struct Connection {
  Service* service = nullptr;
  int sock = -1;
  HttpRequest request;
  HttpPage page;
  bool page_ready = false;
  std::thread thread;
  std::atomic<bool> busy{false};
};

struct Service {
  int listen = -1;
  int stop_fd = -1;
  const DaemonConfig* cfg = nullptr;
  // The tables are read again at each page; the connections share them.
  std::mutex tables;
  ShareCFG shares;
  UserCFG users;
  Connection conns[kDaemonHttpConnections];
};

Service* g_service = nullptr;
std::thread g_thread;

// Waits until c's socket is ready for events, the deadline passed or the
// daemon stops: true when ready.
bool wait_for(const Connection& c, short events, uint64_t deadline_ms) {
  for (;;) {
    const uint64_t now = platform::monotonic_ms();
    if (now >= deadline_ms) return false;
    pollfd p[2] = {{c.sock, events, 0}, {c.service->stop_fd, POLLIN, 0}};
    const int r = poll(p, 2, static_cast<int>(deadline_ms - now));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || p[1].revents != 0) return false;
    if (p[0].revents != 0) return true;
  }
}

int timeout_ms(const DaemonConfig* cfg) {
  const int configured = cfg->timeout > 0 && cfg->timeout < kDaemonHttpTimeoutMs / 1000 ? cfg->timeout * 1000 : 0;
  return configured > 0 ? configured : kDaemonHttpTimeoutMs;
}

int send_answer(void* ctx, const char* data, size_t n) {
  auto* c = static_cast<Connection*>(ctx);
  const DaemonConfig* cfg = c->service->cfg;
  size_t off = 0;
  uint64_t deadline = platform::monotonic_ms() + static_cast<uint64_t>(timeout_ms(cfg));
  while (off < n) {
    const ssize_t k = http_send_some(c->sock, data + off, n - off);
    if (k > 0) {
      off += static_cast<size_t>(k);
      deadline = platform::monotonic_ms() + static_cast<uint64_t>(timeout_ms(cfg));
      continue;
    }
    if (k == -1) return -1;
    if (!wait_for(*c, POLLOUT, deadline)) {
      debug_log('S', 1, "HTTP send time-out: the browser takes no answer - dropping connection");
      return -1;
    }
  }
  return 0;
}

// After the answer: shut the sending side and drop what still arrives.
void linger_close(Connection* c) {
  shutdown(c->sock, SHUT_WR);
  size_t budget = kHttpDrainBytes;
  const uint64_t deadline = platform::monotonic_ms() + kHttpDrainMs;
  while (http_drain_step(c->sock, &budget) == 0)
    if (!wait_for(*c, POLLIN, deadline)) break;
}

void row(HttpPage* page, const char* name, const char* value) {
  http_printf(page, "<tr><th align=left>%s<td>%s\n", name, value);
}
// A text setting: escaped, "<em>unspecified</em>" when not set.
void row_text(HttpPage* page, const char* name, const std::string& value) {
  row(page, name, value.empty() ? "<em>unspecified</em>" : HtmlText(value.c_str()).c_str());
}
void row_int(HttpPage* page, const char* name, long value) {
  http_printf(page, "<tr><th align=left>%s<td>%ld\n", name, value);
}

const char* security_text(int policy) {
  switch (policy) {
    case 0: return "<em>none</em>";
    case 1: return "<em>server</em>";
    case 2: return "<em>system</em>";
    case 3: return "<em>all</em>";
    default: return "???";
  }
}

void index_page(Connection* c) {
  HttpPage* page = &c->page;
  http_append(page, "<h3>Server Status</h3>\n");
  http_append(page,
              "This server provides status information over HTTP when enabled. "
              "The following pages are available:<p>\n");
  http_append(page, kTable);
  static const char* const kText[] = {"This provides a short overview about the available pages(this one).",
                                      "Server configuration", "Configured users", "Configured shares",
                                      "List of active sessions", "List of active tasks"};
  for (size_t i = 0; i < sizeof kNav / sizeof kNav[0]; ++i) {
    http_append(page, "<tr><th align=left>");
    http_link(page, kNav[i].link, kNav[i].label);
    http_printf(page, "<td>%s\n", kText[i]);
  }
  http_append(page, "</table>\n");
}

void config_page(Connection* c) {
  HttpPage* page = &c->page;
  const DaemonConfig& cfg = *c->service->cfg;
  http_append(page, "<h3>Server Status</h3>\n");
  http_append(page, kTable);
  row_int(page, "Server process id", static_cast<long>(getpid()));
  http_append(page, "</table>\n");
  http_append(page, "<h3>Server Configuration</h3>\n");
  http_append(page, kTable);
  row(page, "panic", cfg.panic == 1 ? "dump" : "exit");
  row_text(page, "service", cfg.service);
  row_text(page, "serviceHTTP", cfg.service_http);
  row(page, "UseKeepAlive", cfg.use_keep_alive ? "Yes" : "No");
  row(page, "HttpFrame", cfg.http_frame ? "Yes" : "No");
  row(page, "HttpUser/HttpPswd", !cfg.http_user.empty() || !cfg.http_pswd.empty() ? "Yes" : "No");
  row_text(page, "Charset", cfg.charset);
  row_text(page, "Lang", cfg.lang);
  row_text(page, "Messages", cfg.messages);
  row(page, "LogFile", cfg.log_file.empty() ? "???" : HtmlText(cfg.log_file.c_str()).c_str());
  row_text(page, "logFlags", cfg.log_flags);
  http_printf(page, "<tr><th align=left>user<td>%s\n",
              cfg.default_uid.empty() ? "<em>unspecified</em>" : HtmlText(cfg.default_uid.c_str()).c_str());
  row(page, "security", security_text(cfg.auth_policy));
  row_text(page, "userFile", cfg.user_file);
  row_text(page, "shareFile", cfg.share_file);
  row_int(page, "MaxUsers", cfg.max_users);
  row_int(page, "MaxTasks", cfg.max_tasks);
  http_append(page, "</table>\n");
}

void user_page(Connection* c) {
  HttpPage* page = &c->page;
  http_append(page, "<h3>Configured users</h3>\n");
  http_append(page, kTable);
  http_append(page, "<tr><th>User ID<th>User Name<th>UID\n");
  Service* s = c->service;
  std::lock_guard<std::mutex> lock(s->tables);
  s->users.Refresh();
  for (const User& u : s->users.Users()) {
    const HtmlText id(u.id.c_str()), name(u.name.c_str()), uid(u.uid.c_str());
    http_printf(page, "<tr><td>%s<td>%s<td>%s\n", id.c_str(), name.c_str()[0] ? name.c_str() : "&nbsp;",
                u.uid.empty() ? "<em>default</em>" : uid.c_str());
  }
  http_append(page, "</table>\n");
}

void share_page(Connection* c) {
  HttpPage* page = &c->page;
  http_append(page, "<h3>Configured Shares</h3>\n");
  http_append(page, kTable);
  http_append(page, "<tr><th>Share ID<th>Comment<th>Path\n");
  Service* s = c->service;
  std::lock_guard<std::mutex> lock(s->tables);
  s->shares.Refresh();
  for (const Share& sh : s->shares.Shares()) {
    const HtmlText id(sh.id.c_str()), comment(sh.comment.c_str()), path(sh.path.c_str());
    http_printf(page, "<tr><td>%s<td>%s<td>%s\n", id.c_str(), sh.comment.empty() ? "&nbsp" : comment.c_str(),
                path.c_str());
  }
  http_append(page, "</table>\n");
}

// Sessions (children not replaced by zentcore) or tasks (replaced ones).
void children_page(Connection* c, bool replaced) {
  HttpPage* page = &c->page;
  const std::vector<ChildEntry> children = child_table_snapshot();
  int count = 0;
  for (const ChildEntry& e : children) count += e.replaced == replaced;
  if (replaced) {
    http_append(page, "<h3>Active Tasks</h3>\n");
    http_printf(page, "Number of active tasks: %d<p>", count);
  } else {
    http_append(page, "<h3>Active Sessions</h3>\n");
    http_printf(page, "Number of active sessions: %d<p>", count);
  }
  http_append(page, kTable);
  http_append(page, "<tr><th>PID<th>User<th>UID<th>IP ADDR<th>Host<th>Platform<th>Time\n");
  const time_t now = time(nullptr);
  for (const ChildEntry& e : children) {
    if (e.replaced != replaced) continue;
    const HtmlText user(e.user_id), uid(e.account), host(e.peer_name), platform(e.platform);
    char when[96];
    daemon_http_elapsed(now - e.start, when, sizeof when);
    http_printf(page, "<tr><td>%d<td>%s<td>%s<td>%u.%u.%u.%u<td>%s<td>%s<td>%s\n", static_cast<int>(e.pid),
                user.c_str()[0] ? user.c_str() : "&nbsp;", e.account[0] ? uid.c_str() : "<em>unknown</em>",
                (e.peer_addr >> 24) & 0xff, (e.peer_addr >> 16) & 0xff, (e.peer_addr >> 8) & 0xff,
                e.peer_addr & 0xff, host.c_str()[0] ? host.c_str() : "&nbsp;",
                platform.c_str()[0] ? platform.c_str() : "&nbsp;", when);
  }
  http_append(page, "</table>\n");
}

void route(Connection* c, const char* path) {
  http_page_header(&c->page);
  if (strcmp(path, "/config") == 0)
    config_page(c);
  else if (strcmp(path, "/user") == 0)
    user_page(c);
  else if (strcmp(path, "/share") == 0)
    share_page(c);
  else if (strcmp(path, "/session") == 0)
    children_page(c, false);
  else if (strcmp(path, "/task") == 0)
    children_page(c, true);
  else
    index_page(c);
  http_page_footer(&c->page);
}

void serve(Connection* c) {
  const DaemonConfig& cfg = *c->service->cfg;
  if (!c->page_ready) {
    // A page that could not have its first area grows at its first append.
    http_page_init(&c->page, &kSite);
    c->page.frame = cfg.http_frame;
    c->page.send = send_answer;
    c->page.send_ctx = c;
    c->page_ready = true;
  }
  uint32_t addr = 0;
  uint16_t port = 0;
  if (tcp_local_addr(c->sock, &addr, &port, nullptr) != 0) {
    debug_log('S', 0, "http_accept: Unable to obtain local address - dropping connection");
    return;
  }
  snprintf(c->page.local_addr, sizeof c->page.local_addr, "%u.%u.%u.%u", (addr >> 24) & 0xff,
           (addr >> 16) & 0xff, (addr >> 8) & 0xff, addr & 0xff);
  c->page.port = port;
  http_request_init(&c->request);
  // The whole request within its deadline, however it trickles in.
  const int limit_ms = std::min(kDaemonHttpRequestMs, timeout_ms(&cfg));
  const uint64_t deadline = platform::monotonic_ms() + static_cast<uint64_t>(limit_ms);
  while (http_read_step(c->sock, &c->request) != 0) {
    if (!wait_for(*c, POLLIN, deadline)) {
      debug_log('S', 1, "HTTP request time-out - dropping connection");
      return;
    }
  }
  const HttpCredentials creds{cfg.http_user.empty() ? nullptr : cfg.http_user.c_str(),
                              cfg.http_pswd.empty() ? nullptr : cfg.http_pswd.c_str(), 'S'};
  int status = c->request.status;
  if (status == 0) {
    debug_log('S', 2, "HTTP request %s %s", c->request.method, LogText(c->request.path).c_str());
    status = http_check_auth(&c->request, creds);
  }
  if (status != 0)
    http_error(&c->page, status);
  else
    route(c, c->request.path);
  if (c->page.last_send == 0) linger_close(c);
}

// A connection place whose thread has ended (joined here); none when every
// place is busy.
Connection* free_connection(Service* s) {
  for (Connection& c : s->conns) {
    if (c.busy.load(std::memory_order_acquire)) continue;
    platform::join_thread(c.thread);
    return &c;
  }
  return nullptr;
}

// The connection's thread: serves it, closes it, frees its place.
void connection_body(Connection* c) {
  serve(c);
  tcp_close(c->sock);
  c->sock = -1;
  c->busy.store(false, std::memory_order_release);
}

// Takes one waiting connection and hands it to a thread of its own; with
// every place busy it is answered 503 at once and closed.
void accept_one(Service* s) {
  const int sock = tcp_accept(s->listen);
  if (sock < 0) return;
  Connection* c = free_connection(s);
  if (c == nullptr) {
    debug_log('S', 1, "HTTP connection refused: %d connections served already", kDaemonHttpConnections);
    http_send_busy(sock);
    tcp_close(sock);
    return;
  }
  c->sock = sock;
  c->busy.store(true, std::memory_order_relaxed);
  const int err = platform::start_thread(c->thread, "http-conn", [c] { connection_body(c); });
  if (err != 0) {
    debug_log('S', 0, "HTTP connection: no thread to serve it (%s) - dropping connection", strerror(err));
    tcp_close(sock);
    c->sock = -1;
    c->busy.store(false, std::memory_order_relaxed);
  }
}

void http_thread_body(Service* s) {
  while (true) {
    // A paused daemon leaves browsers in the listen queue too.
    const bool paused = service_paused() != 0;
    pollfd p[2] = {{s->stop_fd, POLLIN, 0}, {s->listen, POLLIN, 0}};
    const int r = poll(p, paused ? 1 : 2, 1000);
    if (r < 0 && errno != EINTR) {
      debug_log('N', 0, "tcp_poll_set_r: select() failed. [%d] %s", tcp_wsa_error(errno),
                tcp_error_text(tcp_wsa_error(errno)));
      continue;
    }
    if (p[0].revents != 0) break;
    if (r <= 0 || paused || p[1].revents == 0) continue;
    accept_one(s);
  }
  // The stop ends every connection's waits.
  for (Connection& c : s->conns) platform::join_thread(c.thread);
}

}  // namespace

const char* daemon_http_elapsed(time_t seconds, char* buf, size_t size) {
  struct tm t;
  if (seconds < 0 || gmtime_r(&seconds, &t) == nullptr) {
    snprintf(buf, size, "<em>conversion failed</em>");
    return buf;
  }
  size_t n = 0;
  auto part = [&](int value, const char* unit) {
    if (value == 0 || n >= size) return;
    const int k = snprintf(buf + n, size - n, "%d %s, ", value, unit);
    if (k > 0) n += static_cast<size_t>(k);
  };
  part(t.tm_year - 70, "years");
  part(t.tm_mon, "months");
  part(t.tm_mday - 1, "days");
  if (n < size) snprintf(buf + n, size - n, "%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
  return buf;
}

int daemon_http_start(int listen_sock, const DaemonConfig* cfg, int stop_fd) {
  auto* s = new Service;
  s->listen = listen_sock;
  s->stop_fd = stop_fd;
  s->cfg = cfg;
  s->shares.SetFile(cfg->share_file.c_str());
  if (cfg->auth_policy == 1 || cfg->auth_policy == 3) s->users.SetFile(cfg->user_file.c_str());
  for (Connection& c : s->conns) c.service = s;
  debug_log('S', 2, "HTTP authorization is %s",
            !cfg->http_user.empty() || !cfg->http_pswd.empty() ? "enabled" : "disabled");
  const int err = platform::start_thread(g_thread, "http", [s] { http_thread_body(s); });
  if (err != 0) {
    delete s;
    return err;
  }
  g_service = s;
  return 0;
}

void daemon_http_stop() {
  if (g_thread.joinable()) g_thread.join();
  if (g_service != nullptr) {
    for (Connection& c : g_service->conns)
      if (c.page_ready) http_page_free(&c.page);
    delete g_service;
    g_service = nullptr;
  }
}

}  // namespace zentsd
