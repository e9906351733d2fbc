// daemon_parent.h - the listening process of zentsd: options, log and
// configuration, the IPC record with its response thread, the listening
// loop and one client-handler process per accepted connection, with a
// watcher thread per handler that copies its log output into the parent's
// log.
//
// Threads: the server thread runs zentsd_server_main (the listening loop;
// it spawns handlers, adds them to the wait list and joins finished
// watchers); ipc_response_thread answers the handlers' requests; one
// watcher per handler; the frame thread waits on the wait list and reaps
// ended children (zentsd_reap_children). The IPC thread and the watchers
// are stopped by flag and joined by the server thread before it returns;
// the frame joins the server thread before it cleans the wait list up, and
// zentsd_atexit frees the record last. The parent is a child subreaper, so
// a zentcore whose handler ended is reparented to it and reaped here.
//
// Identity: with -f the connection is served by the listening thread
// itself; a logon there takes on the user's identity for the whole
// process until the connection ends, and the daemon's own identity is
// back before the next accept (or the daemon stops).
#pragma once

// The parent start (getopt "c:d:l:fs:", "-help"): 0 after a stop, 1 when it
// could not start (configuration, IPC, listening), 2 after the usage.
int zentsd_server_main(int argc, char** argv, int interactive);
// Sets the listening loop's stop flag; returns the milliseconds it may take.
int zentsd_stop_request(int attempt);
// The IPC clean-up, after the server thread has ended.
void zentsd_atexit();
// Reaps every child that has ended (the frame thread, on SIGCHLD).
void zentsd_reap_children();

// The usage lines (standard error).
void zentsd_usage(const char* program);
