// zentsd_daemon.h - a zentsd run in the console for tests: the real
// program with its options, on a port of its own, logging to standard
// error (its handlers' lines come through it), with helpers that find a
// handler's process id and exit status in that log.
#pragma once
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "support/process_runner.h"

namespace testsupport {

class ZentsdDaemon {
 public:
  // Starts "zentsd -standalone -c cfg -d flags -s port" plus extra; true
  // once it logged that it is active.
  bool start(const std::string& program, const std::string& cfg, const std::string& flags,
             const std::vector<std::string>& env, const std::vector<std::string>& extra = {});
  bool running() const { return process_ != nullptr; }
  int port() const { return port_; }
  Process& process() { return *process_; }
  pid_t pid() const { return process_ ? process_->pid() : -1; }
  std::string log() { return process_ ? process_->stderr_so_far() : std::string(); }
  // The process id of the next handler the log names after the last one
  // taken, or -1 after timeout_ms.
  pid_t next_handler(int timeout_ms = 10000);
  // The exit status the parent logged when it reaped pid; -1 on time-out,
  // -2 when a signal ended it.
  int reaped_status(pid_t pid, int timeout_ms = 30000);
  // Waits until the log contains text after position from; false on
  // time-out.
  bool wait_for(const std::string& text, size_t from = 0, int timeout_ms = 10000);
  // Stops it with SIGTERM and returns what it left.
  ProcessResult stop(int timeout_ms = 30000);

 private:
  std::unique_ptr<Process> process_;
  int port_ = -1;
  size_t handlers_seen_ = 0;  // log position after the last handler line taken
};

// Processes whose parent is pid, as "pid state" pairs from /proc.
struct ProcInfo {
  pid_t pid;
  char state;
};
std::vector<ProcInfo> children_of(pid_t pid);
// The targets of /proc/pid/fd, by descriptor number ("socket:[...]",
// "pipe:[...]", "anon_inode:[pidfd]", paths).
std::vector<std::pair<int, std::string>> descriptors_of(pid_t pid);

}  // namespace testsupport
