// device_command.h - the command of a '|' device (MGMT dbstore and
// dbrestore) as an archive stream that never makes the server thread wait.
//
// The command runs under "/bin/sh -c" with its standard output (a restore's
// source) or its standard input (a store's target) on a pipe whose server
// end does not block. A read or write that finds the pipe empty or full
// puts the calling task to sleep for a timer's tick and tries again, so that
// every other session goes on while the command takes its time; outside the
// task kernel (tests, tools) it polls the pipe instead. The sleep may be
// cut: the connection's close ends the transfer, and the command is killed
// when it is finished.
//
// Context: the requesting session's task (server thread).
#pragma once
#include <sys/types.h>

#include "storage/archive_stream.h"

struct DeviceCommand : Archive_STREAM {
  int fd = -1;      // the server's end of the pipe
  pid_t pid = -1;   // the shell
  bool failed = false;  // a transfer failed or was cut short
  bool cut = false;     // a wait was cut (the connection is closing)
};

// Starts command with its output (mode 'r') or input ('w') on the pipe.
// 0, or -1 with errno.
int device_command_start(DeviceCommand* c, const char* command, char mode);

// Closes the pipe and waits for the command to end (as the transfers wait;
// a command still running after a cut is killed). 0 when every transfer
// succeeded and the command exited with status 0, else -1.
int device_command_finish(DeviceCommand* c);
