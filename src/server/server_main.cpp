// server_main.cpp - zentdb6's main, start-up and close-down order, shutdown
// task, signal handlers and panic handler.
//
// The order of every step below is visible in the log and is relied on by
// operators; README.md in this directory walks through it. Services that are
// not built yet are reached through server_seams.h.
#include "server/server_main.h"

#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <mutex>
#include <new>
#include <strings.h>
#include <thread>
#include <vector>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "base/task_kernel.h"
#include "base/vbuf.h"
#include "platform/signal_thread.h"
#include "platform/syserr.h"
#include "server/client_session.h"
#include "server/hist.h"
#include "server/name_lookup.h"
#include "server/server_http.h"
#include "access/idb_lock.h"
#include "index/syscat.h"
#include "server/server_seams.h"
#include "server/server_tasks.h"
#include "server/system_tasks.h"
#include "server/tcp.h"
#include "server/vtimer.h"
#include "storage/node_usecheck.h"
#include "storage/page_io.h"
#include "storage/tio.h"

CfgRecord* server_cfg = nullptr;
int server_interactive = 0;
int server_listen_socket = -1;
int http_listen_socket = -1;
std::atomic<int> server_shutdown{0};
int max_workers = 0;
Task** tc_worker = nullptr;
Task* tc_idle = nullptr;
std::atomic<Task*> tc_shutdown{nullptr};
Task* tc_ps = nullptr;
Task* tc_syncer = nullptr;
Task* tc_http[kHttpTasks] = {};
Task* tc_checkpt = nullptr;
std::unique_ptr<platform::OsSemaphore> sync_sem;
std::unique_ptr<platform::Event> tcp_event;
std::unique_ptr<platform::Event> tcp_ack_event;

namespace {

constexpr const char* kVersionBanner = "QX Zentrim data base server 6.0.0";

std::atomic<int> g_panic_action{CFG_PANIC_RESTART};
std::atomic<bool> g_panicking{false};
// Set by shutdown_callback before it wakes the shutdown task: a request that
// arrives before that task has blocked (its wake-up would find it running
// and be dropped), or before there is a kernel at all, is not lost. Cleared
// when server_main returns.
std::atomic<bool> g_shutdown_requested{false};
// server_cleanup may be reached from the server thread, the thread that
// takes signals and a panic on any thread; it runs once at a time and is
// idempotent.
std::recursive_mutex g_cleanup_mutex;
// The thread running server_main, while it runs. A clean-up on another
// thread meanwhile (a panic there, a signal during start-up) must not free
// what the server thread may be blocked on or still building; the process
// exit that follows frees it.
std::atomic<std::thread::id> g_server_thread;
// Set when server_main has cleaned up on its way out: the frame's exit
// hook that follows has nothing left to do and says nothing.
std::atomic<bool> g_main_cleaned_up{false};
const char* g_program = "zentdb6";

[[noreturn]] void usage() {
  static const char* const lines[] = {
      "usage: zentdb6 [options]",
      "options:",
      " -help      = show usage (this list)",
      " -c name    = configuration file",
      " -d         = debug mode",
      " -l name    = log file name (or console/syslog/default)",
      " -s name    = service name (tcp/ip transport)",
  };
  for (const char* line : lines) fprintf(stderr, "%s\n", line);
  fprintf(stderr, "\n");
  exit(2);
}

// Opens path for appending; on failure reports as a console or service run
// does and returns none (the event log).
FILE* open_log_file(const char* path, int interactive) {
  FILE* f = fopen(path, "a");
  if (f != nullptr) return f;
  const int err = errno;
  char text[256];
  platform::sys_error_text(err, text, sizeof text);
  if (interactive)
    fprintf(stderr, "%s: Unable to open log file %s\nerrno %d: %s\n", g_program, path, err, text);
  else
    debug_log('D', 0, "Unable to open log file %s, errno %d: %s", path, err, text);
  return nullptr;
}

// Before the kernel runs and after it returned: clean up and end the process.
// SIGHUP (a console run's terminal went away) ends it like SIGTERM.
void server_signal_handler(int signo) {
  debug_log('D', 2, "Signal #%d captured, terminating", signo);
  server_cleanup();
  if (signo == SIGTERM || signo == SIGHUP) {
    debug_log('D', 1, "%s terminating", kServerTitle);
    fflush(nullptr);
    _exit(0);
  }
  debug_log('D', 0, "Signal #%d captured, terminating", signo);
  fflush(nullptr);
  _exit(1);
}

// While the kernel runs: the shutdown task does the work.
void tsignal_handler(int signo) {
  if (signo != SIGINT && signo != SIGTERM && signo != SIGHUP) return;
  debug_log('D', 3, "tsignal_handler: signo=%d", signo);
  shutdown_callback();
}

// During close-down a signal must not cut the final checkpoint short.
void closedown_signal_handler(int signo) {
  debug_log('D', 1, "Signal #%d captured during close-down, finishing close-down first", signo);
}

// The shutdown task: woken once by one of the three roads, it stops the
// sessions, waits for requests in progress and leaves the kernel.
void shutdown_thread() {
  debug_log('T', 2, "Shutdown thread %d started", thread_id(thread_self()));
  if (!g_shutdown_requested.load()) {
    thread_block(thread_self());
    thread_yield();
  }

  debug_log('T', 1, "Starting server shutdown ...");
  server_shutdown = 1;
  sessions_close_all();
  if (Tlog_ApiLock() != 0) ZENT_ASSERT(!"shutdown_thread: Tlog_ApiLock() failed");
  debug_log('T', 1, "Exiting thread kernel ...");
  vtimer_stop();
  if (server_listen_socket >= 0) master_set_remove(server_listen_socket);
  if (http_listen_socket >= 0) master_set_remove(http_listen_socket);
  thread_stop();
}

Task* create_task(void (*entry)(), int priority, const char* name) {
  Task* t = thread_create(entry, priority);
  if (t != nullptr) thread_set_name(t, name);
  return t;
}

void log_syserr_failure(const char* what) {
  debug_syserr('D', 0, ENOMEM, what);
}

// A failed storage step: what could not be done, then the call that failed
// with the status it left.
int storage_step_failed(const char* what, const char* call, const char* end = "") {
  debug_log('D', 0, "%s", what);
  debug_log('D', 0, "%s() failed with %s%s", call, error_text(), end);
  return -1;
}

bool server_thread_elsewhere() {
  const std::thread::id server = g_server_thread.load();
  return server != std::thread::id() && server != std::this_thread::get_id();
}

struct ServerThreadMark {
  CfgRecord* loaded = nullptr;
  ServerThreadMark() {
    g_server_thread.store(std::this_thread::get_id());
    g_main_cleaned_up.store(false);
  }
  // Also frees the configuration this run loaded: nothing reads it once
  // server_main has returned (its threads are stopped by then).
  ~ServerThreadMark() {
    if (loaded != nullptr) {
      if (server_cfg == loaded) server_cfg = nullptr;
      FreeConfig(loaded);
    }
    g_server_thread.store(std::thread::id());
    g_shutdown_requested.store(false);
  }
};

// A fresh catalog's dba has no password: any client that reaches the port
// logs on as dba. Said at every start until one is set.
void warn_dba_without_password() {
  SysCat_USER* u = SysCat_get_user_by_name("dba", nullptr);
  if (u != nullptr && u->password == nullptr)
    debug_log('D', 0,
              "WARNING: user \"dba\" has no password - any client can log on as dba. Set one "
              "with the catalog request UPD_USER in a dba session (see docs/security.md).");
  free(u);
}

}  // namespace

const char* server_revision_text() {
  static const std::string text = std::string(kVersionBanner) + " (" + __DATE__ + ")";
  return text.c_str();
}

void server_set_panic_action(int action) { g_panic_action.store(action); }

int server_main(int argc, char** argv, int interactive) {
  ServerThreadMark mark;
  setlocale(LC_ALL, "C");
  server_interactive = interactive;
  if (argc > 0 && argv[0] != nullptr) g_program = argv[0];

  if (argc > 1 && strcmp(argv[1], "-help") == 0) {
    if (interactive) usage();
    return 1;
  }
  if (argc > 1 && strcmp(argv[1], "--version") == 0 && interactive) {
    fprintf(stderr, "%s\n", server_revision_text());
    return 1;
  }

  const char* cfg_path = nullptr;
  const char* dflags = nullptr;
  const char* log_target = nullptr;
  const char* sflag = nullptr;
  bool bad_option = false;
  optind = 0;  // full reset: server_main may run more than once in a process
  opterr = 0;
  for (int c; (c = getopt(argc, argv, "c:d:l:s:")) != -1;) {
    switch (c) {
      case 'c': cfg_path = optarg; break;
      case 'd': dflags = optarg; break;
      case 'l': log_target = optarg; break;
      case 's': sflag = optarg; break;
      default: bad_option = true; break;
    }
  }
  if (bad_option) {
    if (interactive) usage();
    return 1;
  }

  FILE* stream = interactive ? stderr : nullptr;
  if (log_target != nullptr) {
    if (strcasecmp(log_target, "console") == 0)
      ;  // keeps the run's default
    else if (strcasecmp(log_target, "syslog") == 0)
      stream = nullptr;
    else
      stream = open_log_file(log_target, interactive);
  }
  debug_init(dflags ? dflags : "*0", stream);
  debug_log('D', 1, "%s started", kServerTitle);

  platform::signal_set_handler(server_signal_handler);

  server_cfg = LoadConfig(cfg_path);
  mark.loaded = server_cfg;
  if (server_cfg == nullptr) {
    debug_log('D', 0, "Fatal configuration problem - terminating");
    return 1;
  }
  server_set_panic_action(server_cfg->server->panic);
  if (server_cfg->volumes == nullptr || server_cfg->volumes->count == 0) {
    debug_log('D', 0, "Configuration file %s", server_cfg->path);
    debug_log('D', 0, "contains no volume definition - terminating");
    return 1;
  }

  const SrvConfig* srv = server_cfg->server;
  const char* flags = dflags ? dflags : srv->log_flags;
  const char* service = sflag ? sflag : srv->service;
  if (log_target == nullptr && !(interactive && srv->log_mode == CFG_LOG_CONSOLE)) {
    switch (srv->log_mode) {
      case CFG_LOG_SYSLOG: stream = nullptr; break;
      case CFG_LOG_CONSOLE: stream = interactive ? stderr : nullptr; break;
      default:
        // Mode 2 without a path leaves the command line's target in force.
        if (srv->log_file != nullptr) stream = open_log_file(srv->log_file, interactive);
        break;
    }
  }
  debug_init(flags ? flags : "*0", stream);

  debug_log('D', 1, "%s initializing", kServerTitle);
  if (tcp_startup() != 0) {
    debug_log('D', 0, "Unable to setup network subsystem");
    return 3;
  }
  if (tserver(service, interactive) != 0) return 3;
  debug_log('D', 1, "%s terminated", kServerTitle);
  return 0;
}

int tserver(const char* service, int interactive) {
  const SrvConfig* srv = server_cfg->server;
  const SrvLimits* lim = server_cfg->limits;
  debug_log('D', 2, "Service         : %s", service);
  debug_log('D', 2, "Foreground      : %d", interactive);
  debug_log('D', 2, "IPC             : %s", srv->enable_ipc ? "enabled" : "disabled");
  debug_log('D', 2, "HTTP service    : %s", srv->service_http[0] ? srv->service_http : "disabled");
  debug_log('D', 2, "Thread count    : %d", lim->threads);
  debug_log('D', 2, "I/O Thread count: %d", lim->io_threads);
  server_listen_socket = -1;
  http_listen_socket = -1;

  auto fail = [] {
    debug_log('D', 0, "QX Zentrim database server terminating");
    server_cleanup();
    g_main_cleaned_up.store(true);
    return -1;
  };

  if (tmain_init() != 0) return fail();

  debug_log('D', 2, "Volume count    : %d", server_cfg->volumes->count);
  for (int i = 0; i < server_cfg->volumes->count; ++i)
    debug_log('D', 1, "[%d] %s", i, server_cfg->volumes->items[i].value);
  debug_log('D', 2, "Cache size      : %d", lim->buffer_cache);
  debug_log('D', 2, "Cache pages     : %d", lim->buffer_cache * 128);
  debug_log('D', 2, "Checkpoint Freq : %d sec.", lim->checkpt_freq);
  debug_log('D', 2, "Checkpoint Size : %d MB.", lim->checkpt_size);
  debug_log('T', 2, "Syncer Freq.    : %d sec.", lim->syncer_freq);

  if (server_startup() != 0) return fail();

  server_listen_socket = tcp_listen(service);
  if (server_listen_socket < 0) {
    debug_log('D', 0, "Failed to create server listen socket");
    return fail();
  }
  if (srv->service_http[0] != '\0') {
    http_listen_socket = tcp_listen(srv->service_http);
    if (http_listen_socket < 0) {
      debug_log('D', 0, "Failed to create http listen socket");
      return fail();
    }
  }

  master_set_add(server_listen_socket);
  if (http_listen_socket >= 0) master_set_add(http_listen_socket);
  // The kernel's handler is in force before the server says it is active: a
  // stop signal from then on takes the shutdown road, which closes the set
  // cleanly, instead of ending the process with the set left to recovery.
  // A request made before the kernel runs stands (shutdown_callback).
  platform::signal_set_handler(tsignal_handler);
  debug_log('D', 1, "QX Zentrim database server active");
  const int kernel_result = tmain();

  debug_log('D', 1, "QX Zentrim database server shutting down");
  if (server_closedown() != 0 || kernel_result != 0) {
    // A kernel that never ran is a failed start, even after an orderly close.
    debug_log('D', 0, "QX Zentrim database server terminating");
    server_cleanup();
    g_main_cleaned_up.store(true);
    return -1;
  }
  server_cleanup();
  g_main_cleaned_up.store(true);
  return 0;
}

int tmain_init() {
  const SrvLimits* lim = server_cfg->limits;
  const bool http = server_cfg->server->service_http[0] != '\0';
  // The system tasks take six places; the http tasks beyond the first more.
  if (thread_init(lim->threads + 6 + (http ? kHttpTasks - 1 : 0)) != 0) {
    debug_log('D', 0, "Failed to initialize thread kernel");
    return -1;
  }
  // Each http task waits with a deadline and may wait on a send retry.
  const int http_timers = http ? 2 * kHttpTasks : 0;
  if (vtimer_init(lim->threads + 6 + http_timers) != 0) {
    debug_log('D', 0, "Failed to initialize vtimer queue");
    return -1;
  }
  try {
    sync_sem = std::make_unique<platform::OsSemaphore>(0, 0x7fffffff);
  } catch (const std::bad_alloc&) {
    log_syserr_failure("Failed to create sync semaphore");
    return -1;
  }
  try {
    tcp_event = std::make_unique<platform::Event>(true, false);
  } catch (const std::bad_alloc&) {
    log_syserr_failure("Failed to create tcp event");
    return -1;
  }
  try {
    tcp_ack_event = std::make_unique<platform::Event>(false, true);
  } catch (const std::bad_alloc&) {
    log_syserr_failure("Failed to create tcp acknowledge event");
    return -1;
  }
  max_workers = lim->threads;
  tc_worker = static_cast<Task**>(calloc(static_cast<size_t>(max_workers), sizeof(Task*)));
  ZENT_ASSERT(tc_worker != NULL);

  tc_idle = create_task(idle_thread, 10, "idle");
  ZENT_ASSERT(tc_idle != NULL);
  thread_set_yield_hook(serve_sockets_at_yield);
  tc_shutdown = create_task(shutdown_thread, 3, "shutdown");
  ZENT_ASSERT(tc_shutdown != NULL);
  tc_ps = create_task(ps_thread, 1, "ps");
  ZENT_ASSERT(tc_ps != NULL);
  tc_syncer = create_task(syncer_thread, 5, "syncer");
  ZENT_ASSERT(tc_syncer != NULL);
  if (http) {
    for (Task*& t : tc_http) {
      t = create_task(http_thread, 5, "http");
      ZENT_ASSERT(t != NULL);
    }
  }
  thread_system_tasks_done();
  tc_checkpt = create_task(checkpoint_thread, 5, "checkpoint");
  ZENT_ASSERT(tc_checkpt != NULL);
  if (hist_setup() != 0) return -1;
  return 0;
}

// tserver has put tsignal_handler in force already.
int tmain() {
  char text[256];
  // The idle task waits for the sockets itself: a request wakes no other
  // thread on its way to its worker.
  bg_tcp_poll_in_idle(true);
  if (int err = bg_timer_thread_start(); err != 0) {
    platform::sys_error_text(err, text, sizeof text);
    debug_log('D', 0, "Failed to create background timer thread, errno=%d (%s)", err, text);
    platform::signal_set_handler(closedown_signal_handler);
    return -1;
  }
  // Without a resolver thread connections keep their dotted addresses (a
  // resolver that cannot be set up has said why: -1).
  if (server_cfg->server->no_dns == 0) {
    if (int err = name_lookup_start(); err > 0) {
      platform::sys_error_text(err, text, sizeof text);
      debug_log('D', 0, "Failed to create background name lookup thread, errno=%d (%s)", err, text);
    }
  }
  std::this_thread::yield();
  debug_log('D', 2, "tmain: starting thread kernel");
  thread_run();
  // Its tasks never run again: wakes from other threads stop here.
  tc_shutdown.store(nullptr);
  debug_log('D', 2, "tmain: thread kernel returned");
  platform::signal_set_handler(closedown_signal_handler);
  name_lookup_stop();
  bg_timer_thread_stop();
  bg_tcp_thread_stop();
  return 0;
}

int server_startup() {
  const CfgItemList* vols = server_cfg->volumes;
  std::vector<const char*> paths;
  paths.reserve(static_cast<size_t>(vols->count));
  for (int i = 0; i < vols->count; ++i) paths.push_back(vols->items[i].value);

  if (server_cfg->limits->use_large_file_mode) {
    Vol_SetLargeFileMode(1);
    debug_log('D', 2, "Volume LARGEFILE mode enabled");
  }
  debug_log('D', 2, "Opening volumes ...");
  if (Vol_OpenSet(static_cast<int>(paths.size()), paths.data()) == nullptr)
    return storage_step_failed("Unable to open data base volumes.", "Vol_Open");
  // Both a set without LOG volumes and one whose LOG volumes are missing
  // open with transactions unavailable; the server needs them.
  if (Vol_GetTlogVol() == nullptr) {
    debug_log('D', 0, "A LOG volume is required for server operation.");
    return -1;
  }
  // Only 0 and 1 are modes; the volume set logs the refusal of another.
  if (Vol_SetSyncMode(server_cfg->server->sync_mode) != 0) return -1;
  // The I/O threads wake the idle task through the frame's event.
  tio_set_notify(notify_event);
  if (tio_setup() != 0) return -1;
  debug_log('D', 2, "Initializing cache subsystem ...");
  idb__set_lock_config(server_cfg->limits->lock_conflicting_items,
                       server_cfg->limits->allow_secondary_blocking_lock);
  const int cache_pages = server_cfg->limits->buffer_cache * 128;
  if (buf_Init(cache_pages, cache_pages) != 0)
    return storage_step_failed("Unable to initialize buffer-cache subsystem.", "buf_Init");
  debug_log('D', 2, "Initializing subsystems ...");
  seam_install_session_lookup();
  if (Tlog_Init() != 0)
    return storage_step_failed("Unable to initialize transaction log subsystem", "Tlog_Init", "\n");
  if (FixRec_Init() != 0)
    return storage_step_failed("Unable to initialize FixRec subsystem", "FixRec_Init");
  if (btree_Init() != 0)
    return storage_step_failed("Unable to initialize btree subsystem", "btree_Init");
  // The catalog's log records (node create and delete, table meta data) of
  // database create and purge: their handlers before recovery replays them.
  SysCat_Init();
  debug_log('D', 2, "Setting up transaction logging ...");
  if (Tlog_Recover() != 0) return storage_step_failed("Volume recovery failed", "Tlog_Recover");
  // A free list that marks pages the nodes use free would hand them out
  // again; the start-up checkpoint writes what this marks used.
  if (Node_CheckUsedPages() != 0)
    return storage_step_failed("Volume recovery failed", "Node_CheckUsedPages");
  debug_log('D', 2, "Checkpointing volume ...");
  if (Tlog_Checkpoint("Server startup") != 0)
    return storage_step_failed("Initial checkpoint operation failed", "Tlog_Checkpoint");
  Vol_ClearRedirectFlags(0);
  debug_log('D', 2, "Opening system catalog ...");
  if (SysCat_open() != 0)
    return storage_step_failed("Unable to open system catalog", "SysCat_open");
  warn_dba_without_password();
  debug_log('D', 2, "Initializing statistics ...");
  if (Vol_InitStatistics() != 0) {
    debug_log('D', 0, "Unable to initialize statistics");
    return -1;
  }
  return 0;
}

int server_closedown() {
  debug_log('D', 2, "Closing system catalog ...");
  SysCat_close();
  VNode_Flush(nullptr);
  debug_log('D', 2, "Checkpointing volume ...");
  // A failed checkpoint leaves the set open and inconsistent: the next start
  // recovers it.
  if (Tlog_Checkpoint("Server shutdown") != 0)
    return storage_step_failed("Checkpoint operation failed", "Tlog_Checkpoint");
  debug_log('D', 2, "Closing volume ...");
  VNode_Flush(nullptr);
  VNode_Cleanup();
  vbuf_exit();
  Vol_Sync(Vol_TIO_SYNC);
  Vol_SetConsistent();
  Vol_Close();
  Vol_Free();
  buf_Exit();
  return 0;
}

void server_cleanup() {
  std::lock_guard<std::recursive_mutex> lock(g_cleanup_mutex);
  debug_log('D', 2, "Cleaning up ...");
  if (server_listen_socket >= 0) master_set_remove(server_listen_socket);
  if (http_listen_socket >= 0) master_set_remove(http_listen_socket);
  // Every thread that signals the events or the semaphore stops before
  // they go away.
  bg_tcp_thread_stop();
  bg_timer_thread_stop();
  name_lookup_stop();
  tio_cleanup();
  if (!server_thread_elsewhere()) {
    vtimer_exit();
    notify_event_close();
    tcp_event.reset();
    tcp_ack_event.reset();
    hist_cleanup();
  }
  if (server_listen_socket >= 0) tcp_close(server_listen_socket);
  if (http_listen_socket >= 0) tcp_close(http_listen_socket);
  server_listen_socket = -1;
  http_listen_socket = -1;
}

// Whatever thread or task calls, the wake goes through the kernel's mailbox:
// the shutdown task's state is the server thread's to read, and a posted
// unblock finds the task blocked or, when it has not blocked yet, finds it
// about to see g_shutdown_requested, which was set first.
void shutdown_callback() {
  debug_log('T', 2, "shutdown_callback: waking up shutdown thread");
  g_shutdown_requested.store(true);
  Task* t = tc_shutdown.load();
  if (t == nullptr) return;  // no kernel run any more: nothing to wake
  thread_post_unblock(t);
  notify_event("SHUTDOWN");
}

int server_stop_request(int attempt) {
  if (attempt <= 1) {
    // A request already made stands: in a console run the server's own
    // signal handler has made it before the frame's stop loop asks.
    if (g_shutdown_requested.load()) return 30000;
    debug_log('D', 1, "Server shutdown requested ...");
  } else {
    debug_log('D', 1, "Server shutdown retried (%d) ...", attempt - 1);
  }
  shutdown_callback();
  return 30000;
}

void win32_server_atexit() {
  debug_log('D', 2, "win32_server_atexit()");
  if (g_main_cleaned_up.exchange(false)) return;
  server_cleanup();
}

void server_assert(const char* expression, const char* file, int line) {
  debug_log('D', 0, "server panic: Fatal problem detected");
  debug_log('D', 0, "Assertion failed: %s", expression);
  server_panic("Aborting on internal failure", file, line);
}

void server_panic(const char* text, const char* file, int line) {
  const char* slash = strrchr(file, '/');
  const char* name = slash ? slash + 1 : file;
  debug_log('D', 0, "server panic: %s, file %s, line %d", text, name, line);
  server_panic_exit(text, name, line);
}

void server_panic_exit(const char* text, const char* file, int line) {
  fprintf(stderr, "server panic: %s, file %s, line %d\n", text, file, line);
  // A panic inside the clean-up must not recurse into it.
  if (!g_panicking.exchange(true)) server_cleanup();
  fflush(nullptr);
  if (g_panic_action.load() == CFG_PANIC_EXIT) _exit(6);
  abort();
}
