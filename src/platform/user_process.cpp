// user_process.cpp - a program started as a user (see user_process.h).
//
// Between fork and execve the child calls only async-signal-safe functions:
// everything it needs (argument vector, environment, groups) is built before
// the fork.
#include "platform/user_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace platform {

namespace {

[[noreturn]] void child_fail(int pipe_fd, int err) {
  ssize_t ignored = write(pipe_fd, &err, sizeof err);
  (void)ignored;
  _exit(127);
}

// Closes every descriptor from lo to hi (inclusive).
void close_range_of(unsigned lo, unsigned hi) {
  if (lo > hi) return;
  if (syscall(SYS_close_range, lo, hi, 0) == 0) return;
  const long max = sysconf(_SC_OPEN_MAX);
  for (long fd = lo; fd <= hi && fd < (max > 0 ? max : 65536); ++fd) close(static_cast<int>(fd));
}

[[noreturn]] void child(const UserProcess& p, int pipe_fd) {
  reset_signals_for_exec();

  if (const int err = assume_user(*p.token)) child_fail(pipe_fd, err);

  // The program's output is its own: the caller's standard descriptors may
  // lead somewhere the user must not write (a handler's lead to the log).
  const int null_fd = open("/dev/null", O_RDWR);
  if (null_fd < 0) child_fail(pipe_fd, errno);
  for (int fd = 0; fd < 3; ++fd)
    if (dup2(null_fd, fd) < 0) child_fail(pipe_fd, errno);
  if (null_fd > 2) close(null_fd);

  if (p.workdir != nullptr && p.workdir[0] != '\0' && chdir(p.workdir) != 0)
    child_fail(pipe_fd, errno);

  if (p.keep_fd >= 0) {
    const int flags = fcntl(p.keep_fd, F_GETFD);
    if (flags < 0 || fcntl(p.keep_fd, F_SETFD, flags & ~FD_CLOEXEC) != 0) child_fail(pipe_fd, errno);
  }
  // The error pipe closes itself at the exec.
  const int keep[2] = {p.keep_fd, pipe_fd};
  close_descriptors_except(keep, 2);
  execve(p.path, p.argv, p.envp);
  child_fail(pipe_fd, errno);
}

}  // namespace

void reset_signals_for_exec() {
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

void close_descriptors_except(const int* keep, int n) {
  int sorted[16];
  int m = 0;
  for (int i = 0; i < n && m < 16; ++i) {
    if (keep[i] < 3) continue;
    int k = m++;
    while (k > 0 && sorted[k - 1] > keep[i]) {
      sorted[k] = sorted[k - 1];
      --k;
    }
    sorted[k] = keep[i];
  }
  unsigned from = 3;
  for (int i = 0; i < m; ++i) {
    const unsigned k = static_cast<unsigned>(sorted[i]);
    if (k > from) close_range_of(from, k - 1);
    if (k + 1 > from) from = k + 1;
  }
  close_range_of(from, UINT_MAX);
}

pid_t start_user_process(const UserProcess& p) {
  if (p.token == nullptr || p.path == nullptr || p.argv == nullptr || p.envp == nullptr ||
      (p.keep_fd >= 0 && p.keep_fd < 3)) {
    errno = EINVAL;
    return -1;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  const pid_t pid = fork();
  if (pid < 0) {
    const int err = errno;
    close(fds[0]);
    close(fds[1]);
    errno = err;
    return -1;
  }
  if (pid == 0) {
    close(fds[0]);
    child(p, fds[1]);
  }
  close(fds[1]);
  int err = 0;
  ssize_t n;
  do {
    n = read(fds[0], &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  close(fds[0]);
  if (n == 0) return pid;  // the exec closed the pipe
  if (n != static_cast<ssize_t>(sizeof err)) err = EIO;
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  errno = err;
  return -1;
}

}  // namespace platform
