// server_main.h - the spine of zentdb6: command line, log set-up,
// configuration, the start-up and close-down order of the kernel and the
// storage, the shutdown task, signal handling and the panic handler.
//
// Everything here runs on the server thread, except shutdown_callback and
// server_stop_request (any thread), the signal handlers (the service frame's
// thread, which takes the signals) and a panic's clean-up (any thread).
#pragma once
#include <atomic>
#include <memory>

#include "base/server_config.h"
#include "platform/event.h"
#include "platform/os_semaphore.h"

struct Task;

inline constexpr const char* kServerTitle = "QX Zentrim data base server";
// The build identification: "QX Zentrim data base server 6.0.0 (<date>)".
const char* server_revision_text();

// Server-wide frame state, one instance each.
extern CfgRecord* server_cfg;           // the configuration
extern int server_interactive;          // console run
extern int server_listen_socket;        // -1 when not open
extern int http_listen_socket;          // -1 when not open
// Set once by the shutdown task; read by the select and timer threads too.
extern std::atomic<int> server_shutdown;
extern int max_workers;                 // Threads
extern Task** tc_worker;                // max_workers slots
extern Task* tc_idle;
extern std::atomic<Task*> tc_shutdown;  // also read by shutdown_callback on any thread
extern Task* tc_ps;
extern Task* tc_syncer;
// HTTP connections served at once, each by an http task of its own; one
// more is answered 503 and closed.
inline constexpr int kHttpTasks = 16;
extern Task* tc_http[kHttpTasks];       // none when not made (no ServiceHTTP)
extern Task* tc_checkpt;
// Hand-off between the select and timer threads and the idle task.
extern std::unique_ptr<platform::OsSemaphore> sync_sem;
extern std::unique_ptr<platform::Event> tcp_event;
extern std::unique_ptr<platform::Event> tcp_ack_event;

// Process status: 0 after a normal shutdown, 1 usage/version/configuration
// stop, 3 network or server-body failure. Usage exits with status 2.
int server_main(int argc, char** argv, int interactive);
int tserver(const char* service, int interactive);
int tmain_init();
// Runs the kernel on the calling thread; -1 when a background thread could
// not be started (the kernel then did not run).
int tmain();
int server_startup();
int server_closedown();
void server_cleanup();

// Wakes the shutdown task; safe from any thread.
void shutdown_callback();
// The service frame's stop hook; attempt counts from 1. Returns the time in
// milliseconds the frame waits before asking again.
int server_stop_request(int attempt);
void win32_server_atexit();

[[noreturn]] void server_assert(const char* expression, const char* file, int line);
[[noreturn]] void server_panic(const char* text, const char* file, int line);
[[noreturn]] void server_panic_exit(const char* text, const char* file, int line);

// The Panic setting in force (CfgPanic); Restart until the configuration is read.
void server_set_panic_action(int action);
