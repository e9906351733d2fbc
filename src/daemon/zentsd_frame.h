// zentsd_frame.h - zentsd in the shared service frame
// (server/service_frame.h): the daemon's name "QX ZentSD" and log letter
// S, one done event and no stop loop (a stop sets the listening loop's flag
// and the frame joins the server thread before it cleans up), the
// client-handler run "-win32_parent_phndl N", and the operations on the
// frame's wait list that the parent's threads use to keep one entry per
// child.
//
// The parent's wait list holds the done event, the controls (signals,
// SIGCHLD among them) and one process descriptor (pidfd) per child: 128
// entries, so at most 126 children. The client-handler run's list holds
// its done event and the parent's pidfd.
#pragma once
#include "server/wait_list.h"

inline constexpr const char* kZentsdServiceName = "QX ZentSD";
inline constexpr const char* kParentHandleOption = "win32_parent_phndl";

// The process entry of zentsd (after the signals are blocked).
int zentsd_frame_main(int argc, char** argv);

// Adds a child's process descriptor (owned by the list from then on) with
// the removal callback. The index, or -1 (full; the descriptor stays the
// caller's). A negative descriptor is a fatal assertion ("hProcess").
int win32_add_child(int process, WaitListCallback callback);
// 1 when one more child fits, else 0.
int win32_child_room();
// Children in the wait list.
int win32_child_count();
// Watches new_process in old_process's place (old closed). The index, or
// -1 when old_process is not in the list (new_process stays the caller's).
int win32_replace_child(int old_process, int new_process);
// The parent's process descriptor in a client-handler run; asking outside
// one is a fatal assertion ("hParentProcess").
int win32_parent_process();
