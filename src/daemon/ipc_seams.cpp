// ipc_seams.cpp - seams for the parent/child IPC, not yet built (see
// ipc_seams.h and the README's "Not yet built").
#include "daemon/ipc_seams.h"

#include "base/debug_log.h"

namespace zentsd {

int register_child(int sock, uint32_t peer_addr, const char* peer_host, const char* platform) {
  (void)peer_addr;
  (void)peer_host;
  (void)platform;
  debug_log('S', 3, "register_child(sockfd=%d): parent/child IPC not yet built", sock);
  return 0;
}

int replace_child_process(int sock, pid_t pid) {
  debug_log('S', 3, "replace_child_process(sockfd=%d, pid=%d): parent/child IPC not yet built", sock,
            static_cast<int>(pid));
  return 0;
}

}  // namespace zentsd
