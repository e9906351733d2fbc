// ipc_seams.h - the handler's two calls to its parent process, as seams.
//
// NOT YET BUILT: the parent/child IPC record comes with the daemon's
// processes (the listener that starts one handler process per connection
// and watches the processes they start). Until then both calls only log at
// S 3 and succeed, so the protocol runs whole on a connected socket.
#pragma once
#include <sys/types.h>

#include <cstdint>

namespace zentsd {

// Tells the parent about the connection's peer and platform (start-up).
// 0, or -1 when the parent could not be told.
int register_child(int sock, uint32_t peer_addr, const char* peer_host, const char* platform);

// Tells the parent to watch pid (the started program) instead of this
// handler. 0, or -1.
int replace_child_process(int sock, pid_t pid);

}  // namespace zentsd
