// daemon_http.cpp - the daemon's HTTP thread and pages (see daemon_http.h).
#include "daemon/daemon_http.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
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

struct Service {
  int listen = -1;
  int stop_fd = -1;
  const DaemonConfig* cfg = nullptr;
  ShareCFG shares;
  UserCFG users;
  HttpRequest request;
  HttpPage page;
  int sock = -1;
};

Service* g_service = nullptr;
std::thread g_thread;

// Waits until sock is ready for events, the deadline passed or the daemon
// stops: true when ready.
bool wait_for(const Service& s, short events, uint64_t deadline_ms) {
  for (;;) {
    const uint64_t now = platform::monotonic_ms();
    if (now >= deadline_ms) return false;
    pollfd p[2] = {{s.sock, events, 0}, {s.stop_fd, POLLIN, 0}};
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
  auto* s = static_cast<Service*>(ctx);
  size_t off = 0;
  uint64_t deadline = platform::monotonic_ms() + static_cast<uint64_t>(timeout_ms(s->cfg));
  while (off < n) {
    const ssize_t k = http_send_some(s->sock, data + off, n - off);
    if (k > 0) {
      off += static_cast<size_t>(k);
      deadline = platform::monotonic_ms() + static_cast<uint64_t>(timeout_ms(s->cfg));
      continue;
    }
    if (k == -1) return -1;
    if (!wait_for(*s, POLLOUT, deadline)) {
      debug_log('S', 1, "HTTP send time-out: the browser takes no answer - dropping connection");
      return -1;
    }
  }
  return 0;
}

// After the answer: shut the sending side and drop what still arrives.
void linger_close(Service* s) {
  shutdown(s->sock, SHUT_WR);
  size_t budget = kHttpDrainBytes;
  const uint64_t deadline = platform::monotonic_ms() + kHttpDrainMs;
  while (http_drain_step(s->sock, &budget) == 0)
    if (!wait_for(*s, POLLIN, deadline)) break;
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

void index_page(Service* s) {
  HttpPage* page = &s->page;
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

void config_page(Service* s) {
  HttpPage* page = &s->page;
  const DaemonConfig& c = *s->cfg;
  http_append(page, "<h3>Server Status</h3>\n");
  http_append(page, kTable);
  row_int(page, "Server process id", static_cast<long>(getpid()));
  http_append(page, "</table>\n");
  http_append(page, "<h3>Server Configuration</h3>\n");
  http_append(page, kTable);
  row(page, "panic", c.panic == 1 ? "dump" : "exit");
  row_text(page, "service", c.service);
  row_text(page, "serviceHTTP", c.service_http);
  row(page, "UseKeepAlive", c.use_keep_alive ? "Yes" : "No");
  row(page, "HttpFrame", c.http_frame ? "Yes" : "No");
  row(page, "HttpUser/HttpPswd", !c.http_user.empty() || !c.http_pswd.empty() ? "Yes" : "No");
  row_text(page, "Charset", c.charset);
  row_text(page, "Lang", c.lang);
  row_text(page, "Messages", c.messages);
  row(page, "LogFile", c.log_file.empty() ? "???" : HtmlText(c.log_file.c_str()).c_str());
  row_text(page, "logFlags", c.log_flags);
  http_printf(page, "<tr><th align=left>user<td>%s\n",
              c.default_uid.empty() ? "<em>unspecified</em>" : HtmlText(c.default_uid.c_str()).c_str());
  row(page, "security", security_text(c.auth_policy));
  row_text(page, "userFile", c.user_file);
  row_text(page, "shareFile", c.share_file);
  row_int(page, "MaxUsers", c.max_users);
  row_int(page, "MaxTasks", c.max_tasks);
  http_append(page, "</table>\n");
}

void user_page(Service* s) {
  HttpPage* page = &s->page;
  http_append(page, "<h3>Configured users</h3>\n");
  http_append(page, kTable);
  http_append(page, "<tr><th>User ID<th>User Name<th>UID\n");
  s->users.Refresh();
  for (const User& u : s->users.Users()) {
    const HtmlText id(u.id.c_str()), name(u.name.c_str()), uid(u.uid.c_str());
    http_printf(page, "<tr><td>%s<td>%s<td>%s\n", id.c_str(), name.c_str()[0] ? name.c_str() : "&nbsp;",
                u.uid.empty() ? "<em>default</em>" : uid.c_str());
  }
  http_append(page, "</table>\n");
}

void share_page(Service* s) {
  HttpPage* page = &s->page;
  http_append(page, "<h3>Configured Shares</h3>\n");
  http_append(page, kTable);
  http_append(page, "<tr><th>Share ID<th>Comment<th>Path\n");
  s->shares.Refresh();
  for (const Share& sh : s->shares.Shares()) {
    const HtmlText id(sh.id.c_str()), comment(sh.comment.c_str()), path(sh.path.c_str());
    http_printf(page, "<tr><td>%s<td>%s<td>%s\n", id.c_str(), sh.comment.empty() ? "&nbsp" : comment.c_str(),
                path.c_str());
  }
  http_append(page, "</table>\n");
}

// Sessions (children not replaced by zentcore) or tasks (replaced ones).
void children_page(Service* s, bool replaced) {
  HttpPage* page = &s->page;
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

void route(Service* s, const char* path) {
  http_page_header(&s->page);
  if (strcmp(path, "/config") == 0)
    config_page(s);
  else if (strcmp(path, "/user") == 0)
    user_page(s);
  else if (strcmp(path, "/share") == 0)
    share_page(s);
  else if (strcmp(path, "/session") == 0)
    children_page(s, false);
  else if (strcmp(path, "/task") == 0)
    children_page(s, true);
  else
    index_page(s);
  http_page_footer(&s->page);
}

void serve(Service* s) {
  uint32_t addr = 0;
  uint16_t port = 0;
  if (tcp_local_addr(s->sock, &addr, &port, nullptr) != 0) {
    debug_log('S', 0, "http_accept: Unable to obtain local address - dropping connection");
    return;
  }
  snprintf(s->page.local_addr, sizeof s->page.local_addr, "%u.%u.%u.%u", (addr >> 24) & 0xff,
           (addr >> 16) & 0xff, (addr >> 8) & 0xff, addr & 0xff);
  s->page.port = port;
  http_request_init(&s->request);
  const uint64_t deadline = platform::monotonic_ms() + static_cast<uint64_t>(timeout_ms(s->cfg));
  while (http_read_step(s->sock, &s->request) != 0) {
    if (!wait_for(*s, POLLIN, deadline)) {
      debug_log('S', 1, "HTTP request time-out - dropping connection");
      return;
    }
  }
  const DaemonConfig& c = *s->cfg;
  const HttpCredentials creds{c.http_user.empty() ? nullptr : c.http_user.c_str(),
                              c.http_pswd.empty() ? nullptr : c.http_pswd.c_str(), 'S'};
  int status = s->request.status;
  if (status == 0) {
    debug_log('S', 2, "HTTP request %s %s", s->request.method, LogText(s->request.path).c_str());
    status = http_check_auth(&s->request, creds);
  }
  if (status != 0)
    http_error(&s->page, status);
  else
    route(s, s->request.path);
  if (s->page.last_send == 0) linger_close(s);
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
    if (p[0].revents != 0) return;
    if (r <= 0 || paused || p[1].revents == 0) continue;
    s->sock = tcp_accept(s->listen);
    if (s->sock < 0) continue;
    serve(s);
    tcp_close(s->sock);
    s->sock = -1;
  }
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
  http_page_init(&s->page, &kSite);
  s->page.frame = cfg->http_frame;
  s->page.send = send_answer;
  s->page.send_ctx = s;
  debug_log('S', 2, "HTTP authorization is %s",
            !cfg->http_user.empty() || !cfg->http_pswd.empty() ? "enabled" : "disabled");
  const int err = platform::start_thread(g_thread, "http", [s] { http_thread_body(s); });
  if (err != 0) {
    http_page_free(&s->page);
    delete s;
    return err;
  }
  g_service = s;
  return 0;
}

void daemon_http_stop() {
  if (g_thread.joinable()) g_thread.join();
  if (g_service != nullptr) {
    http_page_free(&g_service->page);
    delete g_service;
    g_service = nullptr;
  }
}

}  // namespace zentsd
