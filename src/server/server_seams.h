// server_seams.h - services the server's start-up order calls that are not
// built yet. Each is a plainly named stand-in, listed in the README under
// "Not yet built"; the step that builds the real service deletes its block
// here and includes the real module's header instead.
#pragma once
#include <cstdint>

struct Task;

// --- Network frame (not yet built) -------------------------------------
void master_set_add(int sock);
void master_set_remove(int sock);
void notify_event(const char* text);
// Start the select thread; 0 or an errno value.
int bg_tcp_thread_start();
void idle_thread();
void ps_thread();
void syncer_thread();
void checkpoint_thread();
void http_thread();
// Client sessions: close every open connection at shutdown.
void sessions_close_all();

// --- Storage engine (not yet built) ------------------------------------
void Vol_SetLargeFileMode(int on);
int Vol_Open(int count, const char* const* paths);
int Vol_HasLogVolume();
int Vol_SetSyncMode(int mode);
int tio_setup();
void tio_cleanup();
int buf_Init(int pages);
void buf_Exit();
int Tlog_Init();
int FixRec_Init();
int btree_Init();
int Tlog_Recover();
int Tlog_Checkpoint(const char* reason);
int Vol_ClearRedirectFlags(int data_only);
int SysCat_open();
int SysCat_close();
int Vol_InitStatistics();
void VNode_Flush();
void VNode_Cleanup();
int Vol_Sync(int flags);
int Vol_SetConsistent();
int Vol_Close();
void Vol_Free();
int Tlog_ApiLock();
