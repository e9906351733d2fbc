// zentdb6_frame.h - zentdb6 in the shared service frame
// (server/service_frame.h): the server's name, its shutdown question, and
// the server it runs (server_main, server_stop_request and
// win32_server_atexit unless a test program puts in its own). The stop
// loop asks the server again until it has stopped.
#pragma once
#include "server/service_frame.h"

inline constexpr const char* kDefaultServiceName = "QX ZentDB6";
inline constexpr const char* kShutdownTimeoutText =
    "The service did not yet succeed to shutdown.\n"
    "Choose Retry to continue waiting,\n"
    "or choose Cancel to shutdown immediately.";

// What the frame runs.
struct ServiceServer {
  int (*main)(int argc, char** argv, int interactive);
  int (*stop_request)(int attempt);
  void (*atexit)();
};
void service_frame_set_server(const ServiceServer& server);

// The process entry of zentdb6: "-install [alias]", "-remove [alias]",
// "-standalone [options]" ('/' in place of '-', any case), no arguments for
// the service run. Returns the process status: install and remove 0, 1 or 2
// (already installed), usage 1, otherwise server_main's status.
int service_frame_main(int argc, char** argv);
