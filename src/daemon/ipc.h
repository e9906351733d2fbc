// ipc.h - a client handler's requests to its parent: who the peer is, who
// logged on, and which process to watch once zentcore runs.
//
// A handler process goes through the shared record it inherited
// (ipc_record.h); serving in the listening process itself (-f) there is no
// record and the requests act on the parent's table directly. Called from
// the one thread that runs the protocol.
#pragma once
#include <sys/types.h>

#include <cstdint>

#include "daemon/ipc_record.h"

namespace zentsd {

// The record this process's requests use; none: serving in the listening
// process.
void ipc_client_attach(IpcRecord* rec);

// Tells the parent about the connection's peer and platform (start-up).
// 0, or -1 when the parent could not be told.
int register_child(uint32_t peer_addr, const char* peer_host, const char* platform);
// Tells the parent who logged on (the status pages). 0 or -1.
int register_user(const char* user_id, const char* account);
// Tells the parent how a logon from peer_addr ended. After a failure: how
// long the reply must wait (ms, growing with the failures from that
// address), or -1 when the parent could not be asked. 0 after a success.
int report_logon(uint32_t peer_addr, bool failed, const char* user_id);
// Tells the parent to watch pid (the started program) instead of this
// handler; returns once the parent has opened its descriptor for it. 0 or -1.
int replace_child_process(pid_t pid);

}  // namespace zentsd
