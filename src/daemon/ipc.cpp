// ipc.cpp - the handler's requests (see ipc.h).
#include "daemon/ipc.h"

#include <unistd.h>

#include "base/debug_log.h"
#include "daemon/child_table.h"

namespace zentsd {

namespace {

IpcRecord* g_record = nullptr;

int request(uint32_t type, const uint8_t payload[kIpcPayloadSize]) {
  if (g_record == nullptr) {
    // In the listening process: only a started program and logons count.
    if (type != IPC_NEWCHILD && type != IPC_LOGON) return 0;
    return child_table_request(type, getpid(), payload);
  }
  const int rc = ipc_call(g_record, type, static_cast<int32_t>(getpid()), payload);
  debug_log('S', 3, "Inter-process-communication request %u: result %d", type, rc);
  return rc;
}

}  // namespace

void ipc_client_attach(IpcRecord* rec) { g_record = rec; }

int register_child(uint32_t peer_addr, const char* peer_host, const char* platform) {
  uint8_t payload[kIpcPayloadSize];
  ipc_encode_child(peer_host, peer_addr, platform, payload);
  return request(IPC_CHILD, payload);
}

int register_user(const char* user_id, const char* account) {
  uint8_t payload[kIpcPayloadSize];
  ipc_encode_user(user_id, account, payload);
  return request(IPC_USER, payload);
}

int report_logon(uint32_t peer_addr, bool failed, const char* user_id) {
  uint8_t payload[kIpcPayloadSize];
  ipc_encode_logon(peer_addr, failed, user_id, payload);
  return request(IPC_LOGON, payload);
}

int replace_child_process(pid_t pid) {
  uint8_t payload[kIpcPayloadSize];
  ipc_encode_newchild(pid, payload);
  return request(IPC_NEWCHILD, payload);
}

}  // namespace zentsd
