// handler_main.cpp - a client handler's child main (see handler_main.h).
#include "daemon/handler_main.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/debug_log.h"
#include "daemon/daemon_config.h"
#include "daemon/ipc.h"
#include "daemon/ipc_record.h"
#include "daemon/protocol.h"
#include "server/tcp.h"

namespace {

// "prefix" followed by a whole decimal number.
bool number_after(const char* arg, const char* prefix, int* out) {
  const size_t n = strlen(prefix);
  if (strncmp(arg, prefix, n) != 0) return false;
  long v = 0;
  if (!zentsd::parse_number(arg + n, 0, 0x7fffffff, &v)) return false;
  *out = static_cast<int>(v);
  return true;
}

void now_text(char* buf, size_t size) {
  const time_t now = time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  if (strftime(buf, size, "%c", &tmv) == 0) buf[0] = '\0';
}

}  // namespace

int zentsd_child_main(int argc, char** argv) {
  const char* cfg_path = nullptr;
  const char* flags = nullptr;
  bool to_stream = false;
  bool bad = false;
  optind = 0;
  opterr = 0;
  for (int c; (c = getopt(argc, argv, "c:d:l")) != -1;) {
    switch (c) {
      case 'c': cfg_path = optarg; break;
      case 'd': flags = optarg; break;
      case 'l': to_stream = true; break;
      default: bad = true; break;
    }
  }
  debug_daemon_init(flags != nullptr ? flags : "*0", to_stream ? stderr : nullptr);
  int sock = -1;
  int shm = -1;
  if (bad || argc - optind != 2 || !number_after(argv[optind], "socket:", &sock) ||
      !number_after(argv[optind + 1], "shm:", &shm)) {
    debug_log('S', 0, "Unexpected command line arguments - terminating");
    return 1;
  }
  debug_log('S', 2, "QX Zentrim server connecting ...");
  if (tcp_startup() != 0) {
    debug_log('S', 0, "Unable to setup socket subsystem - terminating");
    return 1;
  }
  zentsd::DaemonConfig cfg;
  if (zentsd::daemon_config_load(cfg_path, &cfg) != 0) {
    debug_log('S', 0, "Fatal configuration problem - terminating");
    tcp_cleanup();
    return 1;
  }
  zentsd::IpcRecord* rec = zentsd::ipc_record_map(shm);
  if (rec == nullptr) {
    const int err = errno;
    debug_log('S', 0, "Unable to map shared memory segment, errno %u: %s", static_cast<unsigned>(err),
              strerror(err));
    tcp_cleanup();
    return 1;
  }
  close(shm);  // the mapping stays; nothing started from here inherits the record
  zentsd::ipc_client_attach(rec);

  uint32_t addr = 0;
  uint16_t port = 0;
  int status = 1;
  char when[64];
  if (tcp_peer_addr(sock, &addr, &port, nullptr) != 0) {
    debug_log('S', 0, "Unable to obtain peer address - dropping connection");
  } else {
    in_addr a;
    a.s_addr = htonl(addr);
    char peer[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, peer, sizeof peer);
    now_text(when, sizeof when);
    debug_log('S', 1, "Startup from %s port %u at %s", peer, port, when);
    status = zentsd::protocol_serve(sock, &cfg);
    now_text(when, sizeof when);
    if (status == 0)
      debug_log('S', 1, "Completed %s port %u, at %s", peer, port, when);
    else
      debug_log('S', 1, "Connection with %s aborted due to failure at %s", peer, when);
  }
  tcp_close(sock);
  zentsd::ipc_client_attach(nullptr);
  zentsd::ipc_record_unmap(rec);
  tcp_cleanup();
  return status;
}
