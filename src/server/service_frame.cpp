// service_frame.cpp - argument dispatch, install and remove, the service and
// stand-alone runs, the server thread, controls and the stop loop (see
// service_frame.h).
#include "server/service_frame.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <strings.h>
#include <thread>

#include "base/debug_log.h"
#include "platform/fd_event.h"
#include "platform/service_manager.h"
#include "platform/syserr.h"
#include "platform/signal_thread.h"
#include "platform/thread.h"

using platform::RegistryRoot;

namespace {

// The program the frame runs; set by the entry before anything else.
ServiceProgram g_program = {};
char g_service_name[kServiceNameSize] = "";
// One per process: the run's list, reached by the program's threads.
WaitList g_wait_list;
std::atomic<bool> g_stop_requested{false};

std::atomic<bool> g_paused{false};
std::mutex g_pause_mutex;
std::condition_variable g_pause_cv;

// One run of the frame (service or stand-alone); lives on the frame
// thread's stack while the run lasts.
struct Frame {
  bool service_mode = false;
  bool registered = false;  // controls are taken; reports may be sent
  int controls = -1;
  WaitList& wait_list = g_wait_list;
  platform::FdEvent done;          // hServDoneEvent
  platform::FdEvent stop_pending;  // hServStopPendingEvent
  platform::FdEvent stop;          // hServStopEvent: the server thread ended
  std::thread server;
  std::atomic<bool> server_running{false};
  int server_status = 1;
  std::vector<std::string> args;  // argv of server_main, argv[0] first
  int state = 0;
  int checkpoint = 0;
  int wait_hint = 0;
};

std::mutex g_frame_mutex;  // guards g_frame against the server thread
Frame* g_frame = nullptr;
int g_exit_code = 0;  // the kept error

void set_paused(bool paused) {
  {
    std::lock_guard<std::mutex> lock(g_pause_mutex);
    g_paused.store(paused);
  }
  g_pause_cv.notify_all();
}

bool word_is(const char* arg, const char* word) {
  return (arg[0] == '-' || arg[0] == '/') && strcasecmp(arg + 1, word) == 0;
}

std::string service_key() { return std::string(kServicesKey) + "\\" + g_service_name; }
std::string event_source_key() { return std::string(kEventSourceKey) + "\\" + g_service_name; }

void print_failure(const char* head, int err) {
  char text[256];
  platform::sys_error_text(err, text, sizeof text);
  printf("%s\n%d: %s\n", head, err, text);
}

// --- install and remove --------------------------------------------------

// The event-log source values, kept for tools that look for them; the log
// itself needs none (it is syslog under the service name). A failure costs
// nothing but these values, so it is logged and the install stands.
void register_event_source(const char* program) {
  const std::string key = event_source_key();
  const RegistryRoot hklm = RegistryRoot::LocalMachine;
  if (WriteRegistryString(hklm, key.c_str(), "EventMessageFile", program) != 0 ||
      WriteRegistryString(hklm, key.c_str(), "CategoryMessageFile", program) != 0 ||
      WriteRegistryDword(hklm, key.c_str(), "TypesSupported", kEventTypesSupported) != 0 ||
      WriteRegistryDword(hklm, key.c_str(), "CategoryCount", kEventCategoryCount) != 0)
    debug_syserr(g_program.letter, 0, errno, "registering the event-log source");
}

int install_service() {
  char program[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", program, sizeof program - 1);
  if (n < 0) {
    const int err = errno;
    char text[256];
    platform::sys_error_text(err, text, sizeof text);
    printf("unable to install %s\ncannot determine module file name\n%d: %s\n", g_service_name, err,
           text);
    return 1;
  }
  program[n] = '\0';
  if (platform::service_unit_create(g_service_name, program) != 0) {
    const int err = errno;
    char head[PATH_MAX + 64];
    snprintf(head, sizeof head, "unable to install %s at %s", g_service_name, program);
    print_failure(head, err);
    return err == EEXIST ? 2 : 1;
  }
  register_event_source(program);
  printf("%s successfully installed at %s\n", g_service_name, program);
  debug_log(g_program.letter, 1, "%s has been installed successfully at %s.", g_service_name, program);
  return 0;
}

int remove_service() {
  char head[128];
  if (platform::service_unit_exists(g_service_name) != 0) {
    snprintf(head, sizeof head, "unable to open %s", g_service_name);
    print_failure(head, errno);
    return 1;
  }
  if (platform::service_unit_delete(g_service_name) != 0) {
    snprintf(head, sizeof head, "unable to remove %s", g_service_name);
    print_failure(head, errno);
    return 1;
  }
  printf("%s successfully removed\n", g_service_name);
  debug_log(g_program.letter, 1, "%s has been removed successfully.", g_service_name);
  // A removed service takes its key, and so its stored arguments, along.
  DeleteRegistryKey(RegistryRoot::LocalMachine, service_key().c_str());
  DeleteRegistryKey(RegistryRoot::LocalMachine, event_source_key().c_str());
  return 0;
}

// --- server thread -------------------------------------------------------

// Complains on standard error in a console run (the log is not set up yet)
// and in the log.
void argument_failure(int interactive, const char* text) {
  if (interactive) fprintf(stderr, "%s\n", text);
  debug_log(g_program.letter, 0, "%s", text);
}

// Reads the stored arguments (service run) and handles -save; false ends
// the thread with status 1.
bool prepare_arguments(std::vector<std::string>& args, bool service_mode, int interactive) {
  const std::string key = service_key();
  char text[512];
  if ((service_mode || g_program.console_reads_stored) && args.size() <= 1) {
    char stored[kCommandLineMax + 1];
    if (ReadRegistryString(RegistryRoot::LocalMachine, key.c_str(), "CommandLine", stored,
                           sizeof stored) >= 0) {
      std::vector<std::string> words = service_split_arguments(stored);
      if (words.size() > static_cast<size_t>(kCommandLineWords)) {
        snprintf(text, sizeof text, "unable to read %s arguments: more than %d words", g_service_name,
                 kCommandLineWords);
        argument_failure(interactive, text);
        return false;
      }
      for (auto& word : words) args.push_back(std::move(word));
    } else if (errno != ENOENT) {
      const int err = errno;
      char sys[256];
      platform::sys_error_text(err == ERANGE ? ENAMETOOLONG : err, sys, sizeof sys);
      snprintf(text, sizeof text, "unable to read %s arguments, %d: %s", g_service_name, err, sys);
      argument_failure(interactive, text);
      return false;
    }
  }
  if (args.size() > 1 && word_is(args[1].c_str(), "save")) {
    args.erase(args.begin() + 1);
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    std::string line;
    int r;
    if (rest.empty()) {
      r = DeleteRegistryValue(RegistryRoot::LocalMachine, key.c_str(), "CommandLine");
      if (r != 0 && errno == ENOENT) r = 0;
    } else if (!service_join_arguments(rest, &line)) {
      if (rest.size() > static_cast<size_t>(kCommandLineWords))
        snprintf(text, sizeof text, "unable to save %s arguments: more than %d words", g_service_name,
                 kCommandLineWords);
      else
        snprintf(text, sizeof text, "unable to save %s arguments: longer than %d characters",
                 g_service_name, kCommandLineMax);
      argument_failure(interactive, text);
      return false;
    } else {
      r = WriteRegistryString(RegistryRoot::LocalMachine, key.c_str(), "CommandLine", line.c_str());
    }
    if (r != 0) {
      const int err = errno;
      char sys[256];
      platform::sys_error_text(err, sys, sizeof sys);
      snprintf(text, sizeof text, "unable to save %s arguments, %d: %s", g_service_name, err, sys);
      argument_failure(interactive, text);
      return false;
    }
  }
  return true;
}

void server_thread(Frame* f, int interactive) {
  int status = 1;
  try {
    std::vector<std::string> args = f->args;
    if (prepare_arguments(args, f->service_mode, interactive)) {
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      status = g_program.main(static_cast<int>(args.size()), argv.data(), interactive);
    }
  } catch (const std::bad_alloc&) {
    debug_log(g_program.letter, 0, "%s: out of memory starting the server", g_service_name);
  }
  f->server_status = status;
  f->server_running.store(false);
  f->stop.set();
  f->done.set();
}

// --- controls --------------------------------------------------------------

void request_stop(Frame* f) {
  g_stop_requested.store(true);
  f->stop_pending.set();
  set_paused(false);  // a paused server must be able to shut down
  f->done.set();
}

// Pause (from running) or continue (from paused); false in any other state,
// and once a stop is pending: a pause read after it (signals arrive in
// batches) would hold the server where it can never shut down.
bool switch_pause(Frame* f, int from, bool paused, int to, const char* what) {
  if (f->state != from || f->stop_pending.is_set()) return false;
  set_paused(paused);
  ReportStatusToSCMgr(to, 0, 0, 0);
  debug_log(g_program.letter, 1, "%s has been %s.", g_service_name, what);
  return true;
}

void control_handler(Frame* f, platform::ServiceControl control, int signo) {
  using platform::ServiceControl;
  if (control == ServiceControl::Children) {
    if (g_program.children_ended != nullptr) g_program.children_ended();
    return;
  }
  if (!f->service_mode) {
    // A console run: the server's own handler first (during start-up it
    // ends the process); the stop then goes through the stop loop.
    if (platform::SignalHandler h = platform::signal_get_handler()) h(signo);
    request_stop(f);
    return;
  }
  if (control == ServiceControl::Stop) {
    request_stop(f);
    return;
  }
  if (control == ServiceControl::Pause && switch_pause(f, SERVICE_RUNNING, true, SERVICE_PAUSED, "suspended"))
    return;
  if (control == ServiceControl::Continue &&
      switch_pause(f, SERVICE_PAUSED, false, SERVICE_RUNNING, "resumed"))
    return;
  // Anything else, or a control that does not fit the state: the state again.
  ReportStatusToSCMgr(f->state, g_exit_code, f->checkpoint, f->wait_hint);
}

// Waits until the done event fires, taking controls meanwhile.
// Entries the program added (children) end here too: the list has called
// their callbacks.
void wait_for_done(Frame* f) {
  for (;;) {
    int fired = -1;
    wait_list_wait(&f->wait_list, &fired);
    if (fired == f->done.fd()) return;
    if (fired == f->controls) {
      platform::ServiceControl control;
      int signo;
      while (platform::service_control_read(f->controls, &control, &signo))
        control_handler(f, control, signo);
    }
  }
}

// --- stop loop -------------------------------------------------------------

enum class Answer { Retry, Cancel, Stopped };

// Asks on the terminal while still watching the server; a line starting
// with c or C cancels, anything else (end of input too) retries.
Answer ask_on_terminal(Frame* f) {
  fprintf(stderr, "\n%s:\n%s\n[R]etry or [C]ancel? ", g_service_name, g_program.shutdown_text);
  fflush(stderr);
  char first = 0;
  for (;;) {
    pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {f->stop.fd(), POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return Answer::Retry;
    }
    if (p[1].revents != 0) return Answer::Stopped;
    char buf[128];
    const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Answer::Retry;
    for (ssize_t k = 0; k < n; ++k) {
      if (first == 0 && buf[k] != ' ' && buf[k] != '\t') first = buf[k];
      if (buf[k] == '\n') return (first == 'c' || first == 'C') ? Answer::Cancel : Answer::Retry;
    }
  }
}

// The server thread still runs and nobody will wait for it: end the
// process without touching shared state; the next start recovers.
[[noreturn]] void abandon(const char* why) {
  debug_log(g_program.letter, 0, "%s: %s; ending without clean-up, the volumes are recovered at the next start",
            g_service_name, why);
  fflush(nullptr);
  _exit(kAbandonedStatus);
}

void stop_loop(Frame* f) {
  int attempt = 1;
  int timeout = g_program.stop_request(attempt);
  for (;;) {
    if (f->service_mode) ReportStatusToSCMgr(SERVICE_STOP_PENDING, 0, ++f->checkpoint, timeout + 3000);
    const int r = f->stop.wait_for(timeout);
    if (r > 0) break;
    if (r < 0) {
      g_exit_code = errno;
      abandon("waiting for the server to stop failed");
    }
    if (f->service_mode) ReportStatusToSCMgr(SERVICE_STOP_PENDING, 0, ++f->checkpoint, 0);
    if (!f->service_mode && isatty(STDIN_FILENO)) {
      const Answer a = ask_on_terminal(f);
      if (a == Answer::Stopped) break;
      if (a == Answer::Cancel) abandon("stop cancelled");
    }
    timeout = g_program.stop_request(++attempt);
  }
  if (f->service_mode) ReportStatusToSCMgr(SERVICE_STOP_PENDING, 0, ++f->checkpoint, 3000);
}

// --- the two runs ------------------------------------------------------------

bool setup(Frame* f, int interactive) {
  const bool svc = f->service_mode;
  if (!wait_list_init(&f->wait_list, g_service_name, g_program.letter)) {
    service_fatal_error("setting up service failed on wait list");
    return false;
  }
  f->controls = platform::service_controls_open(svc, g_program.children_ended != nullptr);
  if (f->controls < 0) {
    service_fatal_error("setting up service failed on RegisterServiceCtrlHandler()");
    return false;
  }
  f->registered = true;
  if (svc && !ReportStatusToSCMgr(SERVICE_START_PENDING, 0, 1, 3000)) {
    service_fatal_error("setting up service failed on ReportStatusToSCMgr(1)");
    return false;
  }
  if (!f->done.valid()) {
    service_fatal_error("setting up service failed on CreateEvent(hServDoneEvent)");
    return false;
  }
  // The frame's own entries: the done event and the controls; what the
  // program adds beyond the mark are its children.
  wait_list_add(&f->wait_list, f->done.fd());
  wait_list_add_entry(&f->wait_list, f->controls, WAIT_KEEP, nullptr);
  wait_list_mark(&f->wait_list);
  if (!f->stop_pending.valid()) {
    service_fatal_error("setting up service failed on CreateEvent(hServStopPendingEvent)");
    return false;
  }
  if (!f->stop.valid()) {
    service_fatal_error("setting up service failed on CreateEvent(hServStopEvent)");
    return false;
  }
  if (svc && !ReportStatusToSCMgr(SERVICE_START_PENDING, 0, 2, 3000)) {
    service_fatal_error("setting up service failed on ReportStatusToSCMgr(2)");
    return false;
  }
  f->server_running.store(true);
  const int err = platform::start_thread(f->server, "server", [f, interactive] {
    server_thread(f, interactive);
  });
  if (err != 0) {
    f->server_running.store(false);
    errno = err;
    service_fatal_error("setting up service failed on starting server thread");
    return false;
  }
  if (svc && !ReportStatusToSCMgr(SERVICE_RUNNING, 0, 0, 0)) {
    service_fatal_error("setting up service failed on ReportStatusToSCMgr(3)");
    // The server thread runs: it is stopped through the stop loop.
    return true;
  }
  debug_log(g_program.letter, svc ? 1 : 2, "%s has started successfully.", g_service_name);
  return true;
}

int run_frame(bool service_mode, std::vector<std::string> args) {
  g_stop_requested.store(false);
  Frame f;
  f.service_mode = service_mode;
  f.args = std::move(args);
  {
    std::lock_guard<std::mutex> lock(g_frame_mutex);
    g_frame = &f;
  }
  const int interactive = service_mode ? 0 : 1;
  if (setup(&f, interactive)) {
    wait_for_done(&f);
    // A server that has ended already is not asked to stop.
    if (f.stop_pending.is_set() && !f.stop.is_set()) {
      f.stop_pending.reset();
      if (g_program.stop_loop) {
        stop_loop(&f);
      } else {
        // Stopped by its flag and joined before anything it uses is
        // cleaned up.
        if (service_mode) ReportStatusToSCMgr(SERVICE_STOP_PENDING, 0, 1, 3000);
        g_program.stop_request(1);
      }
    }
  }
  if (f.server.joinable()) f.server.join();  // it has ended, or ends now that it was asked to
  wait_list_cleanup(&f.wait_list);
  if (f.controls >= 0) close(f.controls);
  {
    std::lock_guard<std::mutex> lock(g_frame_mutex);
    g_frame = nullptr;
  }
  int status = f.server_status;
  if (status == 0 && g_exit_code != 0) status = 1;
  if (service_mode && f.registered)
    ReportStatusToSCMgr(SERVICE_STOPPED, g_program.report_status && g_exit_code == 0 ? status : g_exit_code, 0, 0);
  g_program.atexit();
  return status;
}

}  // namespace

void PrintServiceUsage(const char* program) {
  char base[256];
  ExtractBaseName(program, base, sizeof base);
  printf("usage: %s -install [aliasname]\n", base);
  printf("           to install the %s, or:\n", g_service_name);
  printf("       %s -remove [aliasname]\n", base);
  printf("           to remove the %s\n", g_service_name);
}

void SetServiceName(const char* alias) {
  if (alias != nullptr) {
    snprintf(g_service_name, sizeof g_service_name, "%s", alias);
    for (char* p = g_service_name; *p; ++p)
      if (*p == ' ') *p = '_';
  }
  debug_set_source(g_service_name);
}

const char* GetServiceName() { return g_service_name; }

void ExtractBaseName(const char* path, char* buf, int size) {
  if (size < 1) return;
  const char* slash = strrchr(path, '/');
  snprintf(buf, static_cast<size_t>(size), "%s", slash ? slash + 1 : path);
}

int ReportStatusToSCMgr(int state, int exit_code, int checkpoint, int wait_hint) {
  {
    std::lock_guard<std::mutex> lock(g_frame_mutex);
    if (g_frame != nullptr) {
      g_frame->state = state;
      g_frame->checkpoint = checkpoint;
      g_frame->wait_hint = wait_hint;
    }
  }
  const long long extend_usec = static_cast<long long>(wait_hint) * 1000;
  char text[256];
  switch (state) {
    case SERVICE_START_PENDING:
      snprintf(text, sizeof text, "STATUS=%s is starting (%d)\nEXTEND_TIMEOUT_USEC=%lld",
               g_service_name, checkpoint, extend_usec);
      break;
    case SERVICE_RUNNING:
      snprintf(text, sizeof text, "READY=1\nSTATUS=%s is running", g_service_name);
      break;
    case SERVICE_PAUSED:
      snprintf(text, sizeof text, "STATUS=%s is paused", g_service_name);
      break;
    case SERVICE_STOP_PENDING:
      if (wait_hint > 0)
        snprintf(text, sizeof text, "STOPPING=1\nSTATUS=%s is stopping (%d)\nEXTEND_TIMEOUT_USEC=%lld",
                 g_service_name, checkpoint, extend_usec);
      else
        snprintf(text, sizeof text, "STOPPING=1\nSTATUS=%s is stopping (%d)", g_service_name,
                 checkpoint);
      break;
    default:
      snprintf(text, sizeof text, "STATUS=%s has stopped (%d)", g_service_name, exit_code);
      break;
  }
  if (platform::service_notify(text) != 0) {
    service_fatal_error("reporting service status failed on SetServiceStatus()");
    return 0;
  }
  return 1;
}

void service_fatal_error(const char* text) {
  const int err = errno;
  char sys[256];
  platform::sys_error_text(err, sys, sizeof sys);
  debug_log(g_program.letter, 0, "%s fatal error: %s, %d: %s", g_service_name, text, err, sys);
  g_exit_code = err != 0 ? err : 1;
  std::lock_guard<std::mutex> lock(g_frame_mutex);
  if (Frame* f = g_frame) {
    if (f->server_running.load()) {
      f->stop_pending.set();  // the server is stopped before anything is cleaned up
    } else if (f->stop.valid()) {
      f->stop.set();
    }
    if (f->done.valid()) f->done.set();
  }
}

int ReadRegistryString(RegistryRoot root, const char* key, const char* name, char* buf, int size) {
  if (size < 1) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<int>(platform::registry_read(root, key, name, buf, static_cast<size_t>(size)));
}

int WriteRegistryString(RegistryRoot root, const char* key, const char* name, const char* data) {
  return platform::registry_write(root, key, name, data);
}

int WriteRegistryDword(RegistryRoot root, const char* key, const char* name, uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "%u", value);
  return platform::registry_write(root, key, name, text);
}

int DeleteRegistryValue(RegistryRoot root, const char* key, const char* name) {
  return platform::registry_delete_value(root, key, name);
}

int DeleteRegistryKey(RegistryRoot root, const char* key) {
  return platform::registry_delete_key(root, key);
}

std::vector<std::string> service_split_arguments(const char* text) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  char quote = 0;
  for (const char* p = text; *p; ++p) {
    const char c = *p;
    if (c == '\\') {
      if (p[1] == '\0') break;
      word += *++p;
      in_word = true;
    } else if (quote != 0) {
      if (c == quote)
        quote = 0;
      else
        word += c;
    } else if (c == '"' || c == '\'') {
      quote = c;
      in_word = true;
    } else if (c == ' ' || c == '\t' || c == '\n') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

bool service_join_arguments(const std::vector<std::string>& words, std::string* text) {
  if (words.size() > static_cast<size_t>(kCommandLineWords)) return false;
  std::string line;
  for (const auto& w : words) {
    if (!line.empty()) line += ' ';
    line += '"';
    for (const char c : w) {
      if (c == '\\' || c == '"') line += '\\';
      line += c;
    }
    line += '"';
    if (line.size() > static_cast<size_t>(kCommandLineMax)) return false;
  }
  *text = std::move(line);
  return true;
}

int service_paused() { return g_paused.load() ? 1 : 0; }

void service_pause_point() {
  if (!g_paused.load()) return;
  std::unique_lock<std::mutex> lock(g_pause_mutex);
  if (!g_paused.load()) return;
  debug_log(g_program.letter, 2, "%s paused - waiting for continue", g_service_name);
  g_pause_cv.wait(lock, [] { return !g_paused.load(); });
  debug_log(g_program.letter, 2, "%s continues", g_service_name);
}

WaitList* service_wait_list() { return &g_wait_list; }

bool service_stop_requested() { return g_stop_requested.load(); }

int service_frame_run_program(const ServiceProgram& prog, int argc, char** argv) {
  g_program = prog;
  snprintf(g_service_name, sizeof g_service_name, "%s", prog.default_name);
  try {
    debug_init("*1", nullptr);
    SetServiceName(nullptr);
    const char* program = argc > 0 ? argv[0] : prog.default_name;
    if (argc > 1 && (argv[1][0] == '-' || argv[1][0] == '/')) {
      if (prog.own_mode != nullptr && word_is(argv[1], prog.own_mode))
        return prog.own_run(argc, argv);
      const bool install = word_is(argv[1], "install");
      if ((install || word_is(argv[1], "remove")) && argc <= 3) {
        if (argc == 3) SetServiceName(argv[2]);
        return install ? install_service() : remove_service();
      }
      if (word_is(argv[1], "standalone")) {
        std::vector<std::string> args = {program};
        for (int k = 2; k < argc; ++k) args.emplace_back(argv[k]);
        return run_frame(false, std::move(args));
      }
    }
    if (argc > 1) {
      PrintServiceUsage(program);
      return 1;
    }
    if (!platform::service_started_by_manager()) {
      errno = ENOTCONN;
      service_fatal_error("starting service failed on StartServiceCtrlDispatcher()");
      return 1;
    }
    if (const char* name = getenv(platform::kServiceNameEnv); name != nullptr && name[0] != '\0') {
      ExtractBaseName(name, g_service_name, sizeof g_service_name);
      SetServiceName(nullptr);
    }
    const int status = run_frame(true, {program});
    debug_log(g_program.letter, 1, "%s has been stopped.", g_service_name);
    return status;
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "%s: out of memory\n", g_service_name);
    return 1;
  }
}
