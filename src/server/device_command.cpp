// device_command.cpp - a '|' device's command on a pipe the server thread
// never blocks on (see device_command.h).
//
// The waits: a task sleeps on g_device_waiters until a one-shot virtual
// timer (VTIMER_MIN_MS) posts the wake-up; without a timer entry it yields
// instead. The pipe is made as large as the system allows, so that one
// tick moves as much as a command produces meanwhile.
#include "server/device_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "base/task_kernel.h"
#include "server/server_tasks.h"
#include "server/vtimer.h"

extern char** environ;

namespace {

constexpr int kPipeSize = 1 << 20;

WaitQueue g_device_waiters;

// Timer thread: the tasks waiting for a command try again.
void device_retry_fired(void*) {
  thread_post_wake_up(&g_device_waiters);
  notify_event("TIMER");
}

// Waits a tick for fd to be ready for events (fd < 0: for the tick only).
// 0, or -1 when the wait was cut.
int device_wait(int fd, short events) {
  if (thread_self() == nullptr) {
    pollfd p{fd, events, 0};
    poll(&p, fd >= 0 ? 1 : 0, VTIMER_MIN_MS);
    return 0;
  }
  const int timer = vtimer_add(VTIMER_MIN_MS, 0, nullptr, device_retry_fired, nullptr);
  if (timer < 0) {
    thread_yield();
    return 0;
  }
  // A store or restore holds semaphore units (the nodes it archives), so
  // the wait is one that names its task (none: no other task is waited for).
  const int rc = sleep_on_task(&g_device_waiters, nullptr, nullptr, __FILE__, __LINE__);
  vtimer_cancel(timer);
  return rc == 0 ? 0 : -1;
}

size_t device_read(Archive_STREAM* stream, void* data, size_t n) {
  auto* c = static_cast<DeviceCommand*>(stream);
  auto* p = static_cast<char*>(data);
  size_t got = 0;
  while (got < n && !c->failed) {
    const ssize_t r = read(c->fd, p + got, n - got);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (r == 0) {
      break;
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN) {
      if (device_wait(c->fd, POLLIN) != 0) c->failed = c->cut = true;
    } else {
      c->failed = true;
    }
  }
  return got;
}

size_t device_write(Archive_STREAM* stream, const void* data, size_t n) {
  auto* c = static_cast<DeviceCommand*>(stream);
  const auto* p = static_cast<const char*>(data);
  size_t put = 0;
  while (put < n && !c->failed) {
    const ssize_t w = write(c->fd, p + put, n - put);
    if (w >= 0) {
      put += static_cast<size_t>(w);
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN) {
      if (device_wait(c->fd, POLLOUT) != 0) c->failed = c->cut = true;
    } else {
      c->failed = true;  // EPIPE: the command is gone
    }
  }
  return put;
}

}  // namespace

int device_command_start(DeviceCommand* c, const char* command, char mode) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return -1;
  const bool reading = mode == 'r';
  const int mine = reading ? ends[0] : ends[1];
  const int theirs = reading ? ends[1] : ends[0];
  fcntl(mine, F_SETPIPE_SZ, kPipeSize);  // as large as allowed; smaller still works
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_adddup2(&actions, theirs, reading ? STDOUT_FILENO : STDIN_FILENO);
  // The server blocks its stop signals and ignores SIGPIPE; the command
  // gets the defaults.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  char sh[] = "/bin/sh", dash_c[] = "-c";
  char* argv[] = {sh, dash_c, const_cast<char*>(command), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, sh, &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(theirs);
  if (rc != 0) {
    close(mine);
    errno = rc;
    return -1;
  }
  fcntl(mine, F_SETFL, fcntl(mine, F_GETFL) | O_NONBLOCK);
  c->read = device_read;
  c->write = device_write;
  c->fd = mine;
  c->pid = pid;
  c->failed = c->cut = false;
  return 0;
}

int device_command_finish(DeviceCommand* c) {
  if (c->pid < 0) return -1;
  if (c->fd >= 0) close(c->fd);
  c->fd = -1;
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(c->pid, &status, WNOHANG);
    if (r == c->pid) break;
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      c->failed = true;
      break;
    }
    // Still running: after a cut it is not waited for.
    if (c->cut || device_wait(-1, 0) != 0) {
      c->cut = c->failed = true;
      kill(c->pid, SIGKILL);
      while (waitpid(c->pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
  }
  c->pid = -1;
  const bool exited_ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return !c->failed && exited_ok ? 0 : -1;
}
