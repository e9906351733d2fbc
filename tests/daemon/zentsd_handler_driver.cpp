// zentsd_handler_driver - the smallest program entry that serves one
// connection with the session daemon's protocol, for tests until the
// daemon's own processes exist: it takes an accepted socket by number, reads
// the configuration, runs the protocol handler and exits with its status.
//
// Usage: zentsd_handler_driver [-c config] [-d flags] socket:N
// It keeps one extra descriptor open without close-on-exec, standing in for
// the inherited IPC record, so that tests can see what a started program
// inherits.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/debug_log.h"
#include "base/ini_file.h"
#include "daemon/daemon_config.h"
#include "daemon/protocol.h"
#include "server/tcp.h"

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  const char* config = nullptr;
  const char* flags = "*0";
  int sock = -1;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "-c") == 0 && i + 1 < argc) {
      config = argv[++i];
    } else if (strcmp(argv[i], "-d") == 0 && i + 1 < argc) {
      flags = argv[++i];
    } else if (strncmp(argv[i], "socket:", 7) == 0) {
      sock = atoi(argv[i] + 7);
    } else {
      fprintf(stderr, "usage: %s [-c config] [-d flags] socket:N\n", argv[0]);
      return 2;
    }
  }
  if (sock < 0) return 2;
  debug_set_variant(DebugVariant::Daemon);
  debug_set_source("zentsd");
  debug_daemon_init(flags, stderr);
  tcp_set_log_letter('N');
  IniSetLogLetter('C');
  const int ipc_record = open("/dev/null", O_RDONLY);  // inherited on purpose
  if (tcp_startup() != 0) return 1;
  zentsd::DaemonConfig cfg;
  if (zentsd::daemon_config_load(config, &cfg) != 0) {
    debug_log('S', 0, "Fatal configuration problem - terminating");
    return 1;
  }
  const int status = zentsd::protocol_serve(sock, &cfg);
  tcp_close(sock);
  close(ipc_record);
  tcp_cleanup();
  return status;
}
