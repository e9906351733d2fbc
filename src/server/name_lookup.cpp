// name_lookup.cpp - the resolver thread and the hand-back of names (see
// name_lookup.h).
//
// State: the request queue, the found names and the counters are guarded by
// g_mutex; the c-ares channel and the queries in it belong to the resolver
// thread alone. A found name waits in g_found until the posted delivery runs
// on the server thread; the post itself carries nothing, so a post that never
// runs (the kernel stopped first) leaks nothing, and one delivery takes every
// name found meanwhile. The server thread never waits here: a request is one
// mutex round and an eventfd write.
#include "server/name_lookup.h"

#include <ares.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "base/debug_log.h"
#include "base/task_kernel.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "server/server_tasks.h"

namespace {

struct Lookup {
  uint32_t addr;  // host order
  uint64_t key;
  NameFoundFn found;
  uint64_t deadline_ms;
};

struct Found {
  uint64_t key;
  NameFoundFn found;
  std::string name;
};

std::mutex g_mutex;
std::deque<Lookup> g_requests;  // not yet handed to c-ares
std::vector<Found> g_found;     // waiting for the server thread
bool g_delivery_posted = false;
int g_pending = 0;  // requested and not yet answered or given up
bool g_running = false;
std::string g_servers;  // tests: the name servers to ask
std::atomic<int> g_limit_ms{0};  // tests

std::thread g_thread;
std::atomic<bool> g_stop{false};
int g_wake_fd = -1;

int limit_ms() {
  const int ms = g_limit_ms.load();
  return ms > 0 ? ms : kNameLookupLimitMs;
}

const char* dotted(uint32_t addr, char* buf) {
  const in_addr a{htonl(addr)};
  return inet_ntop(AF_INET, &a, buf, INET_ADDRSTRLEN);
}

void wake_resolver() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t rc = write(g_wake_fd, &one, sizeof one);
}

// Posted work, server thread: hands every name found to its callback.
void deliver(void*) {
  std::vector<Found> found;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    found.swap(g_found);
    g_delivery_posted = false;
  }
  for (const Found& f : found) f.found(f.key, f.name.c_str());
}

// Resolver thread: queues a name for the server thread and, unless a
// delivery is already on its way, posts one.
void hand_back(const Lookup& lookup, const char* name) {
  bool post;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_running) return;
    g_found.push_back(Found{lookup.key, lookup.found, name});
    post = !g_delivery_posted;
    g_delivery_posted = true;
  }
  if (!post) return;
  if (thread_post(deliver, nullptr) != 0) {
    // Kept for the next name's post; this one's is lost only if none comes.
    std::lock_guard<std::mutex> lock(g_mutex);
    g_delivery_posted = false;
    debug_log('X', 1, "No memory to hand a host name to the server thread");
    return;
  }
  notify_event("DNS");
}

void answered(void* arg, int status, int /*timeouts*/, char* node, char* /*service*/) {
  const Lookup lookup = *static_cast<Lookup*>(arg);
  delete static_cast<Lookup*>(arg);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    --g_pending;
  }
  // Destroyed or cancelled at stop: nothing to say.
  if (status == ARES_EDESTRUCTION || status == ARES_ECANCELLED) return;
  char addr[INET_ADDRSTRLEN];
  dotted(lookup.addr, addr);
  if (status != ARES_SUCCESS || node == nullptr) {
    debug_log('X', 2, "No host name for %s: %s", addr, ares_strerror(status));
    return;
  }
  if (platform::monotonic_ms() > lookup.deadline_ms) {
    debug_log('X', 2, "Host name for %s came after %d ms - not used", addr, limit_ms());
    return;
  }
  hand_back(lookup, node);
}

// Hands the queued requests to c-ares; those whose time ran out in the
// queue are given up.
void ask(ares_channel channel) {
  std::deque<Lookup> requests;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    requests.swap(g_requests);
  }
  const uint64_t now = platform::monotonic_ms();
  for (const Lookup& r : requests) {
    if (now > r.deadline_ms) {
      std::lock_guard<std::mutex> lock(g_mutex);
      --g_pending;
      continue;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(r.addr);
    auto* arg = new (std::nothrow) Lookup(r);
    if (arg == nullptr) {
      std::lock_guard<std::mutex> lock(g_mutex);
      --g_pending;
      continue;
    }
    // May answer at once (the hosts file), calling answered() here.
    ares_getnameinfo(channel, reinterpret_cast<sockaddr*>(&sa), sizeof sa,
                     ARES_NI_LOOKUPHOST | ARES_NI_NAMEREQD, answered, arg);
  }
}

void resolver_body(ares_channel channel) {
  debug_log('X', 2, "Started name lookup thread");
  while (!g_stop.load()) {
    ask(channel);
    ares_socket_t socks[ARES_GETSOCK_MAXNUM];
    const int bits = ares_getsock(channel, socks, ARES_GETSOCK_MAXNUM);
    pollfd fds[ARES_GETSOCK_MAXNUM + 1];
    fds[0] = {g_wake_fd, POLLIN, 0};
    nfds_t n = 1;
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
      short events = 0;
      if (ARES_GETSOCK_READABLE(bits, i)) events |= POLLIN;
      if (ARES_GETSOCK_WRITABLE(bits, i)) events |= POLLOUT;
      if (events != 0) fds[n++] = {socks[i], events, 0};
    }
    timeval tv;
    const timeval* next = ares_timeout(channel, nullptr, &tv);
    const int wait_ms =
        next == nullptr ? -1 : static_cast<int>(next->tv_sec * 1000 + (next->tv_usec + 999) / 1000);
    if (poll(fds, n, wait_ms) < 0 && errno != EINTR) {
      debug_syserr('X', 0, errno, "name lookup thread: poll");
      break;
    }
    if (fds[0].revents != 0) {
      uint64_t drained;
      [[maybe_unused]] const ssize_t rc = read(g_wake_fd, &drained, sizeof drained);
    }
    for (nfds_t i = 1; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      const bool in = (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
      const bool out = (fds[i].revents & POLLOUT) != 0;
      ares_process_fd(channel, in ? fds[i].fd : ARES_SOCKET_BAD, out ? fds[i].fd : ARES_SOCKET_BAD);
    }
    ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // time-outs
  }
  // Every query still asked ends here with ARES_EDESTRUCTION.
  ares_destroy(channel);
  debug_log('X', 2, "Terminated name lookup thread");
}

int make_channel(ares_channel* channel) {
  static const int library = ares_library_init(ARES_LIB_INIT_ALL);
  if (library != ARES_SUCCESS) return library;
  ares_options options{};
  // Two tries of a third of the limit each, so that with one name server
  // c-ares gives up about when the answer would be too late anyway.
  options.timeout = limit_ms() / 3 > 0 ? limit_ms() / 3 : 1;
  options.tries = 2;
  int mask = ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES;
  std::string lookups = "b";
  if (!g_servers.empty()) {
    options.lookups = lookups.data();
    mask |= ARES_OPT_LOOKUPS;
  }
  int rc = ares_init_options(channel, &options, mask);
  if (rc != ARES_SUCCESS) return rc;
  if (!g_servers.empty() && (rc = ares_set_servers_ports_csv(*channel, g_servers.c_str())) != ARES_SUCCESS) {
    ares_destroy(*channel);
    return rc;
  }
  return ARES_SUCCESS;
}

}  // namespace

int name_lookup_start() {
  if (g_thread.joinable()) return 0;
  ares_channel channel = nullptr;
  if (const int rc = make_channel(&channel); rc != ARES_SUCCESS) {
    debug_log('X', 0, "Unable to set up name lookups: %s", ares_strerror(rc));
    return -1;
  }
  if (g_wake_fd < 0) g_wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (g_wake_fd < 0) {
    const int err = errno;
    ares_destroy(channel);
    return err;
  }
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_requests.clear();
    g_found.clear();
    g_delivery_posted = false;
    g_pending = 0;
    g_running = true;
  }
  g_stop = false;
  const int err = platform::start_thread(g_thread, "resolver", [channel] { resolver_body(channel); });
  if (err != 0) {
    ares_destroy(channel);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_running = false;
  }
  return err;
}

void name_lookup_stop() {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_running = false;
    g_requests.clear();
    g_found.clear();
  }
  if (!g_thread.joinable()) return;
  g_stop = true;
  wake_resolver();
  if (g_thread.get_id() == std::this_thread::get_id()) return;
  platform::join_thread(g_thread);
  g_thread = std::thread();
  std::lock_guard<std::mutex> lock(g_mutex);
  g_pending = 0;
}

int name_lookup_request(uint32_t addr, uint64_t key, NameFoundFn found) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_running) return -1;
    if (g_pending >= kNameLookupMaxPending) {
      char text[INET_ADDRSTRLEN];
      debug_log('X', 2, "Too many name lookups pending - %s keeps its address", dotted(addr, text));
      return -1;
    }
    ++g_pending;
    g_requests.push_back(
        Lookup{addr, key, found, platform::monotonic_ms() + static_cast<uint64_t>(limit_ms())});
  }
  wake_resolver();
  return 0;
}

void name_lookup_set_servers(const char* servers) { g_servers = servers != nullptr ? servers : ""; }

void name_lookup_set_limit_ms(int ms) { g_limit_ms.store(ms > 0 ? ms : 0); }
