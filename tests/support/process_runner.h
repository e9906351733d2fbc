// process_runner.h - runs a real program as a child process for the system
// tests: arguments, extra environment, captured output, exit status, signals.
#pragma once
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
  int exit_status = -1;   // exit code, or -1 when killed by a signal
  int term_signal = 0;    // the signal that ended it, else 0
  bool timed_out = false;
  std::string out;
  std::string err;
};

class Process {
 public:
  // Starts program with args (argv[0] is program); env entries "NAME=value"
  // are added to (or replace in) the environment; stdin is /dev/null.
  Process(const std::string& program, const std::vector<std::string>& args,
          const std::vector<std::string>& env = {});
  ~Process();  // kills the child if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  void send_signal(int signo);
  // Waits until the child's standard error contains text; false on time-out
  // or when the child ended first.
  bool wait_for_stderr(const std::string& text, int timeout_ms);
  // Standard error as far as it has come (reads what is waiting).
  const std::string& stderr_so_far();
  // Waits for the child to end (killing it after timeout_ms) and collects output.
  ProcessResult wait(int timeout_ms = 30000);

 private:
  void pump(int timeout_ms);
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  ProcessResult result_;
  bool done_ = false;
};

// Runs the program to the end.
ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::string>& env = {}, int timeout_ms = 30000);

// A fresh directory under the build tree, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& text) const;

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
// Whether path names something (a link that leads nowhere does not).
bool file_exists(const std::string& path);

// Polls done every 5 ms until it holds (true) or timeout_ms have passed
// (false): for conditions another process brings about.
bool eventually(const std::function<bool()>& done, int timeout_ms = 10000);

}  // namespace testsupport
