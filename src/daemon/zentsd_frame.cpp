// zentsd_frame.cpp - the daemon's values for the shared service frame, the
// client-handler run and the child operations on the wait list (see
// zentsd_frame.h).
#include "daemon/zentsd_frame.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "base/debug_log.h"
#include "base/panic.h"
#include "daemon/daemon_parent.h"
#include "daemon/handler_main.h"
#include "platform/fd_event.h"
#include "platform/thread.h"
#include "server/service_frame.h"

namespace {

int g_parent_process = -1;

bool parse_handle(const char* text, int* out) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  long v = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9' || v > 1000000) return false;
    v = v * 10 + (*p - '0');
  }
  *out = static_cast<int>(v);
  return true;
}

// The client-handler run: the child thread serves the connection while
// this thread waits for it to finish or for the parent to end. Stop
// signals keep their default action here: a handler is simply ended.
int handler_run(int argc, char** argv) {
  int parent = -1;
  if (argc < 3 || !parse_handle(argv[2], &parent)) {
    PrintServiceUsage(argv[0]);
    return 1;
  }
  g_parent_process = parent;
  WaitList* list = service_wait_list();
  platform::FdEvent done;  // hServDoneEvent
  if (!wait_list_init(list, GetServiceName(), 'S') || !done.valid()) {
    ReportFatalError("setting up service failed on CreateEvent()");
    return 1;
  }
  wait_list_add(list, done.fd());
  if (wait_list_add_entry(list, parent, WAIT_OWNED, nullptr) < 0) {
    ReportFatalError("setting up service failed on the parent process handle");
    return 1;
  }
  wait_list_mark(list);
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGHUP);
  pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);

  std::vector<std::string> words = {argv[0]};
  for (int k = 3; k < argc; ++k) words.emplace_back(argv[k]);
  int status = 1;
  std::thread child;
  const int err = platform::start_thread(child, "child", [&] {
    std::vector<char*> args;
    for (auto& w : words) args.push_back(w.data());
    args.push_back(nullptr);
    status = zentsd_child_main(static_cast<int>(words.size()), args.data());
    done.set();
  });
  if (err != 0) {
    errno = err;
    ReportFatalError("setting up service failed on starting child thread");
    return 1;
  }
  int fired = -1;
  wait_list_wait(list, &fired);
  if (fired == done.fd()) {
    child.join();
    return status;
  }
  // The parent is gone: nobody watches this connection any more. The child
  // thread may be anywhere; the process ends around it.
  debug_log('S', 1, "Parent process ended - client handler terminating");
  fflush(nullptr);
  _exit(1);
}

}  // namespace

int zentsd_frame_main(int argc, char** argv) {
  ServiceProgram program{};
  program.default_name = kZentsdServiceName;
  program.letter = 'S';
  program.main = zentsd_server_main;
  program.stop_request = zentsd_stop_request;
  program.atexit = zentsd_atexit;
  program.stop_loop = false;
  program.console_reads_stored = true;
  program.report_status = true;
  program.children_ended = zentsd_reap_children;
  program.own_mode = kParentHandleOption;
  program.own_run = handler_run;
  return service_frame_run_program(program, argc, argv);
}

int win32_add_child(int process, WaitListCallback callback) {
  ZENT_ASSERT(process >= 0 && "hProcess");
  return wait_list_add_entry(service_wait_list(), process, WAIT_OWNED, callback);
}

int win32_child_room() { return wait_list_has_room(service_wait_list(), 1); }

int win32_child_count() { return static_cast<int>(wait_list_extra_count(service_wait_list())); }

int win32_replace_child(int old_process, int new_process) {
  ZENT_ASSERT(old_process >= 0 && "hOldProcess");
  ZENT_ASSERT(new_process >= 0 && "hNewProcess");
  return wait_list_replace(service_wait_list(), old_process, new_process);
}

int win32_parent_process() {
  ZENT_ASSERT(g_parent_process >= 0 && "hParentProcess");
  return g_parent_process;
}
