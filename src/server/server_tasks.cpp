// server_tasks.cpp - the select thread, the idle task and the HTTP accept
// serialisation (see server_tasks.h).
//
// One cycle: the select thread waits for tcp_ack_event, polls the master set
// (plus an eventfd that set changes and stop requests write), fills
// read_set/except_set, sets tcp_event and releases the sync semaphore. The
// idle task wakes, wakes the workers whose sockets are readable and sets
// tcp_ack_event once no woken worker still has to read its request (the
// last one sets it in client_request_taken). So the select thread never
// polls a socket whose data a woken worker has not yet taken.
//
// HTTP connections go to free http tasks, each its own; the listen socket
// stays in the master set, and a connection that finds every task busy is
// answered 503 at once, so a slow browser never holds up another.
#include "server/server_tasks.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "base/debug_log.h"
#include "base/panic.h"
#include "base/task_kernel.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "server/client_session.h"
#include "server/hist.h"
#include "server/http_status.h"
#include "server/name_lookup.h"
#include "server/server_main.h"
#include "server/zentdb6_frame.h"
#include "server/system_tasks.h"
#include "server/vtimer.h"

int client_poll_cnt = 0;
SocketSet read_set;
SocketSet except_set;

namespace {

std::mutex g_set_mutex;     // guards g_master and g_wake_fd's creation
SocketSet g_master;         // count 0 by zero initialisation
int g_wake_fd = -1;         // eventfd: the select thread polls it too

// Held while the sync semaphore is released or dropped: threads that are
// not stopped by the clean-up (a late stop request) may still notify.
std::mutex g_notify_mutex;

std::thread g_select_thread;
std::atomic<bool> g_select_stop{false};
std::atomic<SelectPollHook> g_poll_hook{nullptr};
// The idle task polls the master set itself instead of a select thread.
std::atomic<bool> g_poll_in_idle{false};

// serve_sockets_at_yield is running.
bool g_serving_at_yield = false;

// Names the next peer name lookup; server thread only, never reused.
uint64_t g_next_name_key = 1;

int wake_fd_locked() {
  if (g_wake_fd < 0) g_wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return g_wake_fd;
}

// Makes a poll in progress return so that the select thread sees a changed
// set or a stop request.
void wake_select_locked() {
  const int fd = wake_fd_locked();
  if (fd < 0) return;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t rc = write(fd, &one, sizeof one);
}

bool select_must_stop() { return g_select_stop.load() || server_shutdown; }

// Counts the changes of g_master (bumped under g_set_mutex): a poll set
// built at the current count is still the master set, so a round neither
// builds it again nor checks what its poll reported against the set.
std::atomic<uint64_t> g_master_changes{0};

void master_changed_locked() {
  g_master_changes.fetch_add(1, std::memory_order_release);
  wake_select_locked();
}

// One waiter's poll set: the wake-up descriptor and a copy of the master
// set, as of changes.
struct PollSet {
  std::vector<pollfd> fds;
  uint64_t changes = 0;
  bool built = false;
  PollSet() { fds.reserve(SOCKSET_MAX + 1); }
};

// The descriptor is drained only after a poll saw it fire (poll_built_set),
// not on every round: a wake-up written any time before the next poll ends
// it, and a round without one costs no read.
void build_poll_set(PollSet& set) {
  if (set.built && g_master_changes.load(std::memory_order_acquire) == set.changes) return;
  std::lock_guard<std::mutex> lock(g_set_mutex);
  const int wfd = wake_fd_locked();
  set.fds.clear();
  set.fds.push_back({wfd, POLLIN, 0});
  for (uint32_t i = 0; i < g_master.count; ++i)
    set.fds.push_back({g_master.sockets[i], POLLIN | POLLPRI, 0});
  set.changes = g_master_changes.load(std::memory_order_relaxed);
  set.built = wfd >= 0;  // without its wake-up descriptor it is built again
}

// Polls the set built (timeout_ms -1: until something fires) and fills
// read_set/except_set with the sockets that are still in the master set;
// returns how many entries it made, 0 when only the wake-up descriptor (or
// nothing) fired. A wake-up seen is drained here, after the poll: whatever
// it announced (a set change, a stop, a unit of the sync semaphore) was
// done before it was written, so the caller's next look at the set and the
// semaphore, which comes before its next poll, finds it.
int poll_built_set(PollSet& set, int timeout_ms = -1) {
  std::vector<pollfd>& fds = set.fds;
  if (SelectPollHook hook = g_poll_hook.load()) hook();
  const int rc = poll(fds.data(), fds.size(), timeout_ms);
  if (rc > 0 && fds[0].fd >= 0 && (fds[0].revents & POLLIN) != 0) {
    uint64_t drained;
    [[maybe_unused]] const ssize_t got = read(fds[0].fd, &drained, sizeof drained);
  }
  if (rc < 0) {
    const int err = errno;
    if (err != EINTR) {
      debug_log('X', 0, "bg_tcp_thread: select() failed. [%d] %s", tcp_wsa_error(err),
                tcp_error_text(tcp_wsa_error(err)));
      // A lasting failure must not spin the processor.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
  }
  sockset_zero(&read_set);
  sockset_zero(&except_set);
  int n = 0;
  // A socket removed while we polled may already be closed: skip it. With
  // no change since the set was built there is none to skip.
  std::unique_lock<std::mutex> lock(g_set_mutex, std::defer_lock);
  const bool changed = g_master_changes.load(std::memory_order_acquire) != set.changes;
  if (changed) lock.lock();
  for (size_t i = 1; i < fds.size(); ++i) {
    const short ev = fds[i].revents;
    if (ev == 0 || (changed && !sockset_isset(fds[i].fd, &g_master))) continue;
    if (ev & (POLLIN | POLLHUP)) n += sockset_add(fds[i].fd, &read_set) == 0;
    if (ev & (POLLPRI | POLLERR | POLLNVAL)) n += sockset_add(fds[i].fd, &except_set) == 0;
  }
  return n;
}

int poll_master_set(PollSet& set) {
  build_poll_set(set);
  return poll_built_set(set);
}

void select_thread_body() {
  const int tid = static_cast<int>(syscall(SYS_gettid));
  debug_log('D', 2, "Started background tcp thread #%d", tid);
  if (!tcp_event || !tcp_ack_event) {
    debug_log('D', 0, "Failed to verify handle: %s caused in %s, line %d", "event missing",
              "server_tasks.cpp", __LINE__);
    ZENT_ASSERT(tcp_event && tcp_ack_event);
  }
  PollSet fds;
  while (!select_must_stop()) {
    tcp_ack_event->wait();
    if (select_must_stop()) break;
    ZENT_ASSERT(client_poll_cnt == 0);
    ZENT_ASSERT(client_pending_cnt == 0);
    int n = 0;
    while (n == 0 && !select_must_stop()) n = poll_master_set(fds);
    if (n == 0) break;
    client_poll_cnt = n;
    tcp_event->set();
    notify_event("TCP");
  }
  debug_log('D', 2, "Terminated background tcp thread #%d", tid);
}

void free_http_session(void* data) {
  auto* s = static_cast<HttpSession*>(data);
  if (s == nullptr) return;
  free(s->host);
  s->magic = 0;
  free(s);
}

// The worker slot of each socket, indexed by descriptor (-1 none): the idle
// task finds the workers of the sockets reported without looking at every
// slot. Server thread only. A binding is not dropped when its connection
// closes: it is believed only while the slot's session still uses the
// socket, so one left over from a closed connection, or from a number
// given again, never counts.
std::vector<int> g_socket_slot;

int worker_slot_of(int sock) {
  if (sock < 0 || static_cast<size_t>(sock) >= g_socket_slot.size()) return -1;
  const int slot = g_socket_slot[static_cast<size_t>(sock)];
  if (slot < 0 || slot >= max_workers || tc_worker == nullptr) return -1;
  const ClientSession* s = session_of(tc_worker[slot]);
  return s != nullptr && s->sockfd == sock ? slot : -1;
}

// The workers whose sockets were reported, taken in slot order (the order
// in which they are woken, and so run).
void handle_worker_sockets() {
  int slots[2 * SOCKSET_MAX];
  int n = 0;
  for (const SocketSet* set : {&read_set, &except_set}) {
    for (uint32_t i = 0; i < set->count; ++i) {
      const int slot = worker_slot_of(set->sockets[i]);
      if (slot < 0) continue;
      int at = 0;
      while (at < n && slots[at] < slot) ++at;
      if (at < n && slots[at] == slot) continue;  // readable and broken
      for (int k = n; k > at; --k) slots[k] = slots[k - 1];
      slots[at] = slot;
      ++n;
    }
  }
  for (int i = 0; i < n; ++i) {
    Task* t = tc_worker[slots[i]];
    ClientSession* s = session_of(t);
    ZENT_ASSERT(s != nullptr && s->magic == SESSION_MAGIC);
    // From a yield other tasks may still be on their way to their wait
    // (the yielding one is busy itself): their sockets stay ready, and the
    // next look, at the latest the idle task's, finds them again.
    if (g_serving_at_yield && thread_state(t) == TS_RUNNING) continue;
    if (sockset_isset(s->sockfd, &except_set)) {
      debug_log('D', 2, "Unexpected socket error - terminating thread ...");
      close_connection(t);
    } else if (!s->closing && blocked_without_wchan(t)) {
      debug_log('D', 2, "Notifying thread ...");
      ++client_pending_cnt;
      thread_unblock(t);
    } else {
      debug_log('D', 2, "Unexpected TCP event - terminating thread ...");
      close_connection(t);
    }
  }
}

}  // namespace

const char* local_time_text(time_t t, char* buf, size_t size) {
  struct tm tmv;
  localtime_r(&t, &tmv);
  if (strftime(buf, size, "%c", &tmv) == 0) buf[0] = '\0';
  return buf;
}

bool blocked_without_wchan(const Task* t) {
  return thread_state(t) == TS_BLOCKED && thread_wchan(t) == nullptr;
}

const char* format_ipv4(uint32_t addr, char* buf) {
  snprintf(buf, 16, "%u.%u.%u.%u", (addr >> 24) & 0xff, (addr >> 16) & 0xff, (addr >> 8) & 0xff,
           addr & 0xff);
  return buf;
}

int accept_peer(int listen_sock, AcceptedPeer* out) {
  out->sock = tcp_accept(listen_sock);
  if (out->sock < 0) {
    debug_log('D', 0, "accept failed - ignoring connection request");
    return -1;
  }
  if (tcp_peer_addr(out->sock, &out->addr, &out->port, nullptr) != 0) {
    debug_log('D', 0, "Unable to obtain peer address - dropping connection");
    tcp_close(out->sock);
    out->sock = -1;
    return -1;
  }
  // The connection goes on with its dotted address at once; with NoDNS off
  // the name follows when the resolver thread finds it (peer_name_found).
  format_ipv4(out->addr, out->host);
  out->name_key = 0;
  const bool no_dns = server_cfg != nullptr && server_cfg->server->no_dns != 0;
  if (!no_dns && name_lookup_request(out->addr, g_next_name_key, peer_name_found) == 0)
    out->name_key = g_next_name_key++;
  out->when = time(nullptr);
  return 0;
}

namespace {

// The connection an http task serves; none when it is free (or not made).
HttpSession* http_session_of(const Task* t) {
  return t != nullptr ? static_cast<HttpSession*>(thread_get_data(t)) : nullptr;
}

}  // namespace

void peer_name_found(uint64_t key, const char* name) {
  for (Task* t : tc_http) {
    HttpSession* http = http_session_of(t);
    if (http == nullptr || http->name_key != key) continue;
    char* copy = strdup(name);
    if (copy == nullptr) return;  // it keeps its address
    debug_log('D', 1, "HTTP connection from %s port %u: host name %s", http->host, http->port,
              LogText(name).c_str());
    free(http->host);
    http->host = copy;
    return;
  }
  session_take_name(key, name);
}

int master_set_add(int sock) {
  std::lock_guard<std::mutex> lock(g_set_mutex);
  const int rc = sockset_add(sock, &g_master);
  if (rc == 0) master_changed_locked();
  return rc;
}

void master_set_remove(int sock) {
  std::lock_guard<std::mutex> lock(g_set_mutex);
  sockset_remove(sock, &g_master);
  master_changed_locked();
}

int master_set_room() {
  std::lock_guard<std::mutex> lock(g_set_mutex);
  return SOCKSET_MAX - static_cast<int>(g_master.count);
}

void master_set_clear() {
  std::lock_guard<std::mutex> lock(g_set_mutex);
  sockset_zero(&g_master);
  master_changed_locked();
}

void notify_event(const char* text) {
  debug_log('T', 2, "notify_event: %s", text);
  {
    std::lock_guard<std::mutex> lock(g_notify_mutex);
    if (sync_sem) sync_sem->release(1);
  }
  // An idle task in its poll sees the unit only through the wake-up.
  if (g_poll_in_idle.load()) {
    std::lock_guard<std::mutex> lock(g_set_mutex);
    wake_select_locked();
  }
}

int worker_socket_bind(int sock, int slot) {
  if (sock < 0 || slot < 0) return -1;
  const auto at = static_cast<size_t>(sock);
  if (at >= g_socket_slot.size()) {
    try {
      g_socket_slot.resize(at + 1, -1);
    } catch (const std::bad_alloc&) {
      return -1;
    }
  }
  g_socket_slot[at] = slot;
  return 0;
}

void bg_tcp_poll_in_idle(bool on) { g_poll_in_idle.store(on); }

void notify_event_close() {
  std::lock_guard<std::mutex> lock(g_notify_mutex);
  sync_sem.reset();
}

int bg_tcp_thread_start() {
  if (g_select_thread.joinable()) return 0;
  g_select_stop = false;
  return platform::start_thread(g_select_thread, "bg_tcp", select_thread_body);
}

void bg_tcp_set_poll_hook(SelectPollHook hook) { g_poll_hook.store(hook); }

void bg_tcp_thread_stop() {
  if (!g_select_thread.joinable()) return;
  g_select_stop = true;
  if (tcp_ack_event) tcp_ack_event->set();
  {
    std::lock_guard<std::mutex> lock(g_set_mutex);
    wake_select_locked();
  }
  // From the select thread itself (a panic there) it only learns to stop.
  if (g_select_thread.get_id() == std::this_thread::get_id()) return;
  platform::join_thread(g_select_thread);
  g_select_thread = std::thread();
}

namespace {

// The poll set of the server thread's own polls.
PollSet& own_poll_set() {
  static PollSet fds;
  return fds;
}

// Polls the set built and hands a result over as the select thread hands
// it: read_set/except_set, client_poll_cnt and tcp_event, the
// acknowledgement taken. The sockets reported.
int poll_and_hand_over(PollSet& fds, int timeout_ms) {
  const int n = poll_built_set(fds, timeout_ms);
  if (n > 0) {
    ZENT_ASSERT(client_poll_cnt == 0);
    ZENT_ASSERT(client_pending_cnt == 0);
    tcp_ack_event->reset();
    client_poll_cnt = n;
    tcp_event->set();
  }
  return n;
}

// The sockets are looked at from yields at most this often: a poll costs
// a system call, a yield may come every few microseconds.
constexpr uint64_t kYieldServeNs = 250000;
uint64_t g_yield_served_ns = 0;

}  // namespace

void serve_sockets_at_yield() {
  // A task that blocked before its yield lets the idle task run soon
  // enough, and is no task to wake or close from its own stack.
  Task* self = thread_self();
  if (g_serving_at_yield || tc_idle == nullptr || self == tc_idle || server_shutdown ||
      !tcp_event || !tcp_ack_event || thread_state(self) != TS_RUNNING)
    return;
  const uint64_t now = platform::monotonic_ns();
  if (now - g_yield_served_ns < kYieldServeNs) return;
  g_yield_served_ns = now;
  // What this runs may yield in turn (a close cuts a wait).
  g_serving_at_yield = true;
  if (g_poll_in_idle.load(std::memory_order_relaxed) && tcp_ack_event->is_set()) {
    build_poll_set(own_poll_set());
    poll_and_hand_over(own_poll_set(), 0);
  }
  handle_tcp_events();
  g_serving_at_yield = false;
}

// The idle task's wait when it polls the sockets itself: for a unit of the
// sync semaphore or, while the hand-off is acknowledged, for a socket's
// readiness, in one poll that notify_event's wake-up ends.
void idle_wait() {
  if (!g_poll_in_idle.load(std::memory_order_relaxed)) {
    sync_sem->wait();
    return;
  }
  PollSet& fds = own_poll_set();
  // Another task of the idle task's priority may be runnable (the round
  // robin can come back to the idle task first): then nothing is waited
  // for, the thread must go on to that task.
  const bool others_run = thread_stats().runnable > 1;
  for (;;) {
    if (server_shutdown || !tcp_ack_event->is_set()) {
      if (!others_run) sync_sem->wait();
      else sync_sem->try_wait();
      return;
    }
    // A release after the look at the semaphore writes the wake-up the
    // poll then sees (it is drained only after a poll that saw it).
    build_poll_set(fds);
    // With a unit there the sockets are still looked at, without waiting:
    // a stream of notifications must not keep them from being served.
    const bool unit = sync_sem->try_wait();
    const bool wait = !unit && !others_run;
    const int n = poll_and_hand_over(fds, wait ? -1 : 0);
    if (!wait || n > 0) return;
  }
}

void idle_thread() {
  debug_log('T', 2, "Idle thread %d started", thread_id(thread_self()));
  for (;;) {
    debug_log('T', 2, "Idle - waiting for event");
    hist_idle_begin(platform::monotonic_ns());
    idle_wait();
    // The idle task runs only when every other task waits, so holding the
    // server thread here pauses the server between steps of its tasks; time
    // paused counts as idle.
    service_pause_point();
    hist_idle_end(platform::monotonic_ns());
    if (!server_shutdown) handle_tcp_events();
    checkpoint_check_log_size();
    thread_yield();
  }
}

void handle_tcp_events() {
  if (!tcp_event || !tcp_event->is_set()) return;
  const int cnt = client_poll_cnt;
  ZENT_ASSERT(cnt > 0);
  tcp_event->reset();
  client_poll_cnt = 0;
  debug_log('D', 2, "handling TCP/IP events ...");
  debug_log('D', 2, "select() returned %d", cnt);
  // Workers first: a connection that closed since the poll frees its
  // descriptor, an accept may be given the same number, and the new worker
  // must not be judged by what the poll said about the old socket.
  handle_worker_sockets();
  http_socket_events();
  if (server_listen_socket >= 0 && sockset_isset(server_listen_socket, &read_set))
    accept_connection();
  if (http_listen_socket >= 0 && sockset_isset(http_listen_socket, &read_set))
    accept_http_connection();
  if (client_pending_cnt == 0) tcp_ack_event->set();
}

void accept_http_connection() {
  if (http_listen_socket < 0) return;
  Task* task = nullptr;
  for (Task* t : tc_http)
    if (t != nullptr && http_session_of(t) == nullptr) {
      task = t;
      break;
    }
  if (task == nullptr) {
    // Every place is taken (by browsers slow or not): this one is told so
    // at once instead of waiting for one of them.
    const int sock = tcp_accept(http_listen_socket);
    if (sock < 0) return;
    debug_log('D', 1, "HTTP connection refused: %d connections served already", kHttpTasks);
    http_send_busy(sock);
    tcp_close(sock);
    return;
  }
  debug_log('D', 2, "Accepting new HTTP connection ...");
  AcceptedPeer peer;
  if (accept_peer(http_listen_socket, &peer) != 0) return;
  char when[64];
  debug_log('D', 1, "HTTP connection from %s port %u at %s", peer.host, peer.port,
            local_time_text(peer.when, when, sizeof when));
  auto* s = static_cast<HttpSession*>(calloc(1, sizeof(HttpSession)));
  char* host_copy = strdup(peer.host);
  if (s == nullptr || host_copy == nullptr) {
    debug_log('D', 0, "Unable to allocate session data - dropping connection");
    free(s);
    free(host_copy);
    tcp_close(peer.sock);
    return;
  }
  s->magic = HTTP_MAGIC;
  s->sockfd = peer.sock;
  s->peer_addr = peer.addr;
  s->port = peer.port;
  s->host = host_copy;
  s->name_key = peer.name_key;
  s->connect_time = peer.when;
  s->timer = -1;
  thread_set_data(task, s, free_http_session);
  if (blocked_without_wchan(task)) thread_unblock(task);
}

void http_socket_events() {
  for (Task* t : tc_http) {
    HttpSession* s = http_session_of(t);
    if (s == nullptr || s->sockfd < 0 || !s->waiting || s->counted) continue;
    if (!sockset_isset(s->sockfd, &read_set) && !sockset_isset(s->sockfd, &except_set)) continue;
    if (!blocked_without_wchan(t)) continue;
    s->counted = true;
    ++client_pending_cnt;
    thread_unblock(t);
  }
}

void close_http_connection() {
  debug_log('D', 2, "Closing HTTP connection ...");
  Task* self = thread_self();
  HttpSession* s = http_session_of(self);
  if (s == nullptr) {
    debug_log('D', 0, "close_http_connection: HTTP thread not active");
    return;
  }
  ZENT_ASSERT(s->magic == HTTP_MAGIC);
  if (s->waiting) master_set_remove(s->sockfd);
  if (s->timer >= 0) vtimer_cancel(s->timer);
  tcp_close(s->sockfd);
  s->sockfd = -1;
  char when[64];
  debug_log('D', 1, "HTTP finished %s port %u, at %s", LogText(s->host).c_str(), s->port,
            local_time_text(time(nullptr), when, sizeof when));
  thread_set_data(self, nullptr);
}
