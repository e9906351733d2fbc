// daemon_parent.cpp - the parent start, the listening loop, spawning a
// client handler, the pipe watchers and ipc_response_thread (see
// daemon_parent.h).
//
// Spawning: the handler's entry is in the child table and its pidfd in the
// wait list before it runs: the forked child waits on a hold pipe until
// the parent has both, and is killed unstarted when either fails. It gets
// only /dev/null, its output pipe, the socket, the record and the parent's
// pidfd; an exec failure comes back through a close-on-exec pipe.
#include "daemon/daemon_parent.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/debug_log.h"
#include "daemon/child_table.h"
#include "daemon/daemon_config.h"
#include "daemon/daemon_http.h"
#include "daemon/ipc_record.h"
#include "daemon/protocol.h"
#include "daemon/zentsd_frame.h"
#include "platform/fd_event.h"
#include "platform/logon.h"
#include "platform/thread.h"
#include "platform/user_process.h"
#include "server/tcp.h"
#include "server/service_frame.h"

extern char** environ;

namespace {

// The stop flag and the event that wakes the listening loop, the watchers
// and a connection served in-process. Set by the frame thread.
std::atomic<bool> g_stop{false};
platform::FdEvent g_stop_event;

// The IPC record and the parent's own pidfd (handed to every handler):
// made by the server thread before any other thread uses them, freed by
// zentsd_atexit after every user has ended.
zentsd::IpcRecord* g_record = nullptr;
int g_record_fd = -1;
int g_parent_handle = -1;
std::thread g_ipc_thread;
std::atomic<bool> g_ipc_stop{false};

// Options a handler is started with; the server thread's.
struct ChildOptions {
  std::string program;
  std::string cfg_path;  // "" none
  std::string flags;
  bool log_to_stream = false;
};

// A watcher per handler; the list is the server thread's, done the
// watcher's.
struct Watcher {
  std::thread thread;
  std::atomic<bool> done{false};
  std::atomic<pid_t> pid{0};  // set by the server thread before the handler runs
};
std::list<Watcher> g_watchers;

// Handlers whose output pipe is still open. A handler's exit line waits for
// the last of its output, so that the log reads in order (see
// zentsd_reap_children).
std::mutex g_output_mutex;
std::condition_variable g_output_closed;
std::multiset<pid_t> g_output_open;

void log_errno(int letter, const char* text, int err) {
  debug_log(letter, 0, "%s, errno %u: %s", text, static_cast<unsigned>(err), strerror(err));
}

// --- IPC ------------------------------------------------------------------

void ipc_response_thread() {
  uint32_t last = 0;
  while (!g_ipc_stop.load()) {
    zentsd::IpcRequest req;
    const int r = zentsd::ipc_next_request(g_record, &last, &req);
    if (r < 0) {
      log_errno('S', "Inter-process-communication failedon WaitForSingleObject()", errno);
      return;
    }
    if (g_ipc_stop.load()) return;
    if (r == 0) continue;
    const int result = zentsd::child_table_request(req.type, req.key, req.payload);
    zentsd::ipc_answer(g_record, req.seq, result);
  }
}

void stop_ipc_thread() {
  if (!g_ipc_thread.joinable()) return;
  g_ipc_stop.store(true);
  zentsd::ipc_wake(g_record);
  g_ipc_thread.join();
}

int start_ipc(ChildOptions* opts) {
  debug_log('S', 2, "Initializing IPC ...");
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n < 0) {
    log_errno('S', "Unable to determine module file name", errno);
    return -1;
  }
  opts->program.assign(path, static_cast<size_t>(n));
  g_parent_handle = zentsd::process_handle_open(getpid());
  if (g_parent_handle < 0) {
    log_errno('S', "Unable to duplicate parent process handle", errno);
    return -1;
  }
  g_record = zentsd::ipc_record_create(&g_record_fd);
  if (g_record == nullptr) return -1;
  g_ipc_stop.store(false);
  const int err = platform::start_thread(g_ipc_thread, "ipc", ipc_response_thread);
  if (err != 0) {
    debug_log('S', 0, "Unable to create ipc response thread, errno %d: %s", err, strerror(err));
    return -1;
  }
  return 0;
}

// --- watchers ---------------------------------------------------------------

// Copies a handler's output into the log until the pipe closes (the
// handler and what it started are gone) or the daemon stops.
void watch(int fd, Watcher* w) {
  char buf[1024];
  for (;;) {
    pollfd p[2] = {{fd, POLLIN, 0}, {g_stop_event.fd(), POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      log_errno('S', "failure during pipe i/o", errno);
      break;
    }
    if (p[0].revents == 0) break;  // stopping, and nothing left to copy
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      log_errno('S', "failure during pipe i/o", errno);
      break;
    }
    size_t k = 0;
    for (ssize_t i = 0; i < n; ++i)
      if (buf[i] != '\r') buf[k++] = buf[i];
    debug_write_raw(buf, k);
  }
  close(fd);
  {
    std::lock_guard<std::mutex> lock(g_output_mutex);
    const auto it = g_output_open.find(w->pid.load());
    if (it != g_output_open.end()) g_output_open.erase(it);
  }
  g_output_closed.notify_all();
  w->done.store(true);
}

void join_watchers(bool all) {
  for (auto it = g_watchers.begin(); it != g_watchers.end();) {
    if (all || it->done.load()) {
      it->thread.join();
      it = g_watchers.erase(it);
    } else {
      ++it;
    }
  }
}

// --- spawning ---------------------------------------------------------------

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

// In the forked child: the descriptors it is meant to have, then the exec
// once the parent lets it go. Async-signal-safe calls only.
[[noreturn]] void exec_handler(const char* program, char* const* argv, int devnull, int out, int sock,
                               int hold, int err_pipe) {
  platform::reset_signals_for_exec();
  int e = 0;
  if (dup2(devnull, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) e = errno;
  for (int fd : {sock, g_record_fd, g_parent_handle}) {
    if (e == 0 && fcntl(fd, F_SETFD, 0) != 0) e = errno;
  }
  const int keep[5] = {sock, g_record_fd, g_parent_handle, hold, err_pipe};
  platform::close_descriptors_except(keep, 5);
  char go;
  while (read(hold, &go, 1) < 0 && errno == EINTR) {
  }
  if (e == 0) {
    execve(program, argv, environ);
    e = errno;
  }
  ssize_t ignored = write(err_pipe, &e, sizeof e);
  (void)ignored;
  _exit(127);
}

static_assert(zentsd::kMaxChildren == kWaitListMax - 2, "the wait list holds the frame's two entries");

void spawn_handler(int sock, const ChildOptions& opts, const zentsd::DaemonConfig& cfg) {
  if (!win32_child_room()) {
    debug_log('S', 0,
              "Unable to spawn client handler process: exceeded maximum number of entries in child process table");
    tcp_close(sock);
    return;
  }
  // Connections that never log on must not take every slot: the reserved
  // ones are left for connections that have logged on.
  if (zentsd::child_table_waiting() >= zentsd::kMaxChildren - cfg.reserved_slots) {
    debug_log('S', 0,
              "Unable to spawn client handler process: %d connections not logged on hold every slot they may "
              "(reservedSlots = %d)",
              zentsd::kMaxChildren - cfg.reserved_slots, cfg.reserved_slots);
    tcp_close(sock);
    return;
  }
  std::vector<std::string> words = {opts.program, "-win32_parent_phndl", std::to_string(g_parent_handle)};
  std::string command = quoted(opts.program) + " -win32_parent_phndl " + std::to_string(g_parent_handle);
  if (!opts.cfg_path.empty()) {
    words.insert(words.end(), {"-c", opts.cfg_path});
    command += " -c" + quoted(opts.cfg_path);
  }
  words.insert(words.end(), {"-d", opts.flags});
  command += " -d" + quoted(opts.flags);
  if (opts.log_to_stream) {
    words.emplace_back("-l");
    command += " -l";
  }
  words.push_back("socket:" + std::to_string(sock));
  words.push_back("shm:" + std::to_string(g_record_fd));
  command += " socket:" + std::to_string(sock) + " shm:" + std::to_string(g_record_fd);
  debug_log('S', 3, "command=%s", command.c_str());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  int out[2] = {-1, -1}, hold[2] = {-1, -1}, err_pipe[2] = {-1, -1};
  const int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (devnull < 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(hold, O_CLOEXEC) != 0 ||
      pipe2(err_pipe, O_CLOEXEC) != 0) {
    log_errno('S', "Unable to create pipe", errno);
    for (int fd : {devnull, out[0], out[1], hold[0], hold[1], err_pipe[0], err_pipe[1]})
      if (fd >= 0) close(fd);
    tcp_close(sock);
    return;
  }
  Watcher& w = g_watchers.emplace_back();
  const int werr = platform::start_thread(w.thread, "watcher", [fd = out[0], &w] { watch(fd, &w); });
  if (werr != 0) {
    debug_log('S', 0, "Unable to create watching thread, errno %d: %s", werr, strerror(werr));
    g_watchers.pop_back();
    for (int fd : {devnull, out[0], out[1], hold[0], hold[1], err_pipe[0], err_pipe[1]}) close(fd);
    tcp_close(sock);
    return;
  }
  const pid_t pid = fork();
  if (pid == 0) exec_handler(opts.program.c_str(), argv.data(), devnull, out[1], sock, hold[0], err_pipe[1]);
  const int fork_err = errno;
  if (pid > 0) {
    // The child holds the pipe open until it ends, so the watcher cannot
    // see its end before this.
    std::lock_guard<std::mutex> lock(g_output_mutex);
    w.pid.store(pid);
    g_output_open.insert(pid);
  }
  for (int fd : {devnull, out[1], hold[0], err_pipe[1]}) close(fd);
  if (pid < 0) {
    log_errno('S', "Unable to start client handler", fork_err);
    close(hold[1]);
    close(err_pipe[0]);
    tcp_close(sock);
    return;
  }
  // The entry first, then the wait: the handler may ask the parent
  // something as soon as it runs.
  const int handle = zentsd::process_handle_open(pid);
  zentsd::ChildEntry entry;
  entry.handle = handle;
  entry.pid = pid;
  entry.key = pid;
  entry.start = time(nullptr);
  zentsd::child_table_add(entry);
  if (handle < 0 || win32_add_child(handle, zentsd::child_table_removed) < 0) {
    debug_log('S', 0, "Failed to register client handler process (handle %d)", handle);
    zentsd::child_table_drop(pid);
    if (handle >= 0) close(handle);
    kill(pid, SIGKILL);  // never ran; reaped with the others
    close(hold[1]);
    close(err_pipe[0]);
    tcp_close(sock);
    return;
  }
  debug_log('S', 2, "Client handler process id = %d (handle %d)", static_cast<int>(pid), handle);
  debug_log('S', 3, "%d client handler processes active", win32_child_count());
  close(hold[1]);
  int exec_err = 0;
  ssize_t n;
  while ((n = read(err_pipe[0], &exec_err, sizeof exec_err)) < 0 && errno == EINTR) {
  }
  close(err_pipe[0]);
  // A failed exec ends the child; its pidfd turns readable and the entry goes.
  if (n > 0) log_errno('S', "Unable to start client handler", exec_err);
  tcp_close(sock);
}

// -f: the connection in this process. The daemon's own identity must be
// back before the next accept.
void serve_here(int sock, zentsd::DaemonConfig* cfg) {
  const int status = zentsd::protocol_serve(sock, cfg, g_stop_event.fd());
  tcp_close(sock);
  if (status != 0) debug_log('S', 1, "Connection ended with status %d", status);
  if (platform::impersonating() && platform::revert_to_self() != 0) {
    errno = EPERM;
    ReportFatalError("Unable to return to the daemon's own identity");
    g_stop.store(true);
  }
}

// --- parent start -------------------------------------------------------------

bool keeps_default_target(const char* target) {
  return strcasecmp(target, "console") == 0 || strcasecmp(target, "default") == 0 ||
         strcasecmp(target, "syslog") == 0;
}

FILE* open_log(const char* path, int interactive) {
  FILE* f = fopen(path, "a");
  if (f == nullptr) {
    const int err = errno;
    if (interactive) fprintf(stderr, "Unable to open log file %s\nerrno %d: %s\n", path, err, strerror(err));
    debug_log('S', 0, "Unable to open log file %s, errno %d: %s", path, err, strerror(err));
  }
  return f;
}

int listen_on(const std::string& service) {
  const int s = tcp_listen(service.c_str());
  if (s >= 0) {
    uint16_t port = 0;
    tcp_local_addr(s, nullptr, &port, nullptr);
    debug_log('S', 2, "Listening on port %u (%s)", port, service.c_str());
  }
  return s;
}

// The HTTP listen socket is the HTTP thread's (daemon_http.h): no browser
// ever holds this loop.
void listening_loop(int proto, zentsd::DaemonConfig* cfg, bool in_process, const ChildOptions& opts) {
  while (!g_stop.load()) {
    if (service_paused()) service_pause_point();  // returns on continue or stop
    join_watchers(false);
    pollfd p[2] = {{proto, POLLIN, 0}, {g_stop_event.fd(), POLLIN, 0}};
    const int r = poll(p, 2, 1000);
    if (r < 0) {
      if (errno != EINTR)
        debug_log('N', 0, "tcp_poll_set_r: select() failed. [%d] %s", tcp_wsa_error(errno),
                  tcp_error_text(tcp_wsa_error(errno)));
      continue;
    }
    if (r == 0 || g_stop.load() || service_paused()) continue;
    if (p[0].revents != 0) {
      const int sock = tcp_accept(proto);
      if (sock < 0) {
        debug_log('S', 1, "accept failed - ignoring connection request");
      } else if (in_process) {
        serve_here(sock, cfg);
      } else {
        spawn_handler(sock, opts, *cfg);
      }
    }
  }
}

}  // namespace

void zentsd_usage(const char* program) {
  (void)program;
  static const char* const lines[] = {
      "usage: zentsd [options]",
      "options:",
      " -help      = show usage (this list)",
      " -c name    = configuration file",
      " -d flags   = debug mode (log flags)",
      " -l name    = log file name (or console/syslog/default)",
      " -f         = serve connections in the listening process",
      " -s name    = service name (tcp/ip transport)",
  };
  for (const char* line : lines) fprintf(stderr, "%s\n", line);
  fprintf(stderr, "\n");
}

int zentsd_server_main(int argc, char** argv, int interactive) {
  if (argc > 1 && strcmp(argv[1], "-help") == 0) {
    zentsd_usage(argv[0]);
    return 2;
  }
  const char* cfg_path = nullptr;
  const char* dflags = nullptr;
  const char* target = nullptr;
  const char* service = nullptr;
  bool in_process = false;
  bool bad = false;
  optind = 0;
  opterr = 0;
  for (int c; (c = getopt(argc, argv, "c:d:l:fs:")) != -1;) {
    switch (c) {
      case 'c': cfg_path = optarg; break;
      case 'd': dflags = optarg; break;
      case 'l': target = optarg; break;
      case 'f': in_process = true; break;
      case 's': service = optarg; break;
      default: bad = true; break;
    }
  }
  if (bad || optind < argc) {
    if (interactive) zentsd_usage(argv[0]);
    return 2;
  }
  FILE* stream = interactive ? stderr : nullptr;
  if (target != nullptr && !keeps_default_target(target)) stream = open_log(target, interactive);
  debug_daemon_init(dflags != nullptr ? dflags : "*0", stream);
  debug_log('S', 2, "QX Zentrim server initializing ...");
  if (tcp_startup() != 0) {
    debug_log('S', 0, "Unable to setup socket subsystem - terminating");
    return 1;
  }
  zentsd::DaemonConfig cfg;
  if (zentsd::daemon_config_load(cfg_path, &cfg) != 0) {
    debug_log('S', 0, "Fatal configuration problem - terminating");
    return 1;
  }
  if (target == nullptr && !cfg.log_file.empty() && !keeps_default_target(cfg.log_file.c_str())) {
    if (FILE* f = open_log(cfg.log_file.c_str(), interactive))
      debug_daemon_init(dflags != nullptr ? dflags : cfg.log_flags.c_str(), f);
  } else if (dflags == nullptr) {
    debug_set_flags(cfg.log_flags.c_str());
  }
  ChildOptions opts;
  opts.cfg_path = cfg_path != nullptr ? cfg_path : "";
  opts.flags = dflags != nullptr ? dflags : cfg.log_flags;
  opts.log_to_stream = debug_get_stream() != nullptr;
  // Programs a handler starts outlive it; they come back to this process.
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) debug_syserr('S', 1, errno, "Unable to become a child subreaper");

  int status = 1;
  int proto = -1, http = -1;
  if (start_ipc(&opts) == 0) {
    proto = listen_on(service != nullptr ? service : cfg.service);
    if (proto >= 0 && !cfg.service_http.empty()) http = listen_on(cfg.service_http);
    if (proto < 0 || (!cfg.service_http.empty() && http < 0)) {
      debug_log('S', 0, "QX Zentrim server terminating");
    } else if (http >= 0 && (errno = zentsd::daemon_http_start(http, &cfg, g_stop_event.fd())) != 0) {
      debug_syserr('S', 0, errno, "Unable to create HTTP thread");
      debug_log('S', 0, "QX Zentrim server terminating");
    } else {
      debug_log('S', 1, "QX Zentrim server active");
      listening_loop(proto, &cfg, in_process, opts);
      status = 0;
    }
  }
  tcp_close(proto);
  stop_ipc_thread();
  g_stop_event.set();  // the watchers and the HTTP thread end
  zentsd::daemon_http_stop();
  tcp_close(http);
  join_watchers(true);
  return status;
}

int zentsd_stop_request(int attempt) {
  (void)attempt;
  g_stop.store(true);
  g_stop_event.set();
  return 30000;
}

void zentsd_atexit() {
  zentsd::child_table_clear();
  zentsd::ipc_record_unmap(g_record);
  g_record = nullptr;
  if (g_record_fd >= 0) close(g_record_fd);
  if (g_parent_handle >= 0) close(g_parent_handle);
  g_record_fd = g_parent_handle = -1;
  tcp_cleanup();
}

void zentsd_reap_children() {
  for (;;) {
    siginfo_t info{};
    if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG) != 0 || info.si_pid == 0) return;
    {
      // Its last lines may still be in the pipe. Bounded: a descendant that
      // keeps the pipe open must not hold the exit line back for long.
      std::unique_lock<std::mutex> lock(g_output_mutex);
      g_output_closed.wait_for(lock, std::chrono::milliseconds(250),
                               [&] { return g_output_open.count(info.si_pid) == 0; });
    }
    if (info.si_code == CLD_EXITED)
      debug_log('S', 3, "Child process %d exited with status %d", static_cast<int>(info.si_pid), info.si_status);
    else
      debug_log('S', 3, "Child process %d ended by signal %d", static_cast<int>(info.si_pid), info.si_status);
  }
}
