// user_process.h - starting a program as a logged-on user for good: the
// stand-in for creating a process with a user's token.
//
// fork, then in the child: every signal back to its default and none
// blocked; the user's for good (`assume_user`: a uid other than root keeps
// no capability and cannot take root back, which is checked); standard
// input, output and error /dev/null; the working directory entered as the
// user; every descriptor closed but 0, 1, 2 and the one to keep (3 or above;
// it stays open across the exec); execve of the
// program with the argument vector and environment as given, never through
// a shell. Errors of the child before the exec come back to the caller
// through a close-on-exec pipe, so a failed start is an error, not a child
// that dies.
#pragma once
#include <sys/types.h>

#include "platform/logon.h"

namespace platform {

struct UserProcess {
  const char* path;        // the program
  char* const* argv;       // argv[0] first, terminated by none
  char* const* envp;       // terminated by none
  const char* workdir;     // entered as the user
  const LogonToken* token; // the user; required
  int keep_fd;             // a descriptor (3 or above) the program inherits, or -1
};

// The new process's id, or -1 with errno: fork's error, or the error of the
// child's step that failed (EPERM when root could be taken back).
pid_t start_user_process(const UserProcess& p);

// Every signal back to its default action and none blocked, as a program
// started from here expects. Async-signal-safe.
void reset_signals_for_exec();

// Closes every descriptor from 3 up but the n in keep (at most 16).
// Async-signal-safe: for a child between fork and exec.
void close_descriptors_except(const int* keep, int n);

}  // namespace platform
