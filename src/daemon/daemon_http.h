// daemon_http.h - the session daemon's HTTP status pages: configuration,
// configured users and shares, and the children (sessions not yet replaced
// by zentcore, tasks that were), on the page module both programs share
// (src/server/http_status.h).
//
// Threads: the HTTP thread owns the HTTP listen socket and hands each
// connection to a thread of its own, at most kDaemonHttpConnections at
// once, so one slow browser holds up no other page; one more is answered
// 503 at once. The listening loop never waits for a browser. Each wait on
// the browser (the whole request, room for the answer, the drain after it)
// has a deadline and ends early when the daemon stops. The threads read
// the configuration's settings (read-only once loaded), share one pair of
// share and user tables of their own on the same files under a mutex (so
// none shares a table with a connection served in the listening process),
// and take the child table as a snapshot under its lock.
#pragma once
#include <ctime>

namespace zentsd {

struct DaemonConfig;

// Starts the HTTP thread on listen_sock; it ends when stop_fd turns
// readable. 0, or an errno value.
int daemon_http_start(int listen_sock, const DaemonConfig* cfg, int stop_fd);
// Joins the thread (after stop_fd was made readable); safe when not started.
void daemon_http_stop();

// The time since a registration: "%d years", "%d months", "%d days" (each
// only when not zero), then "%02d:%02d:%02d", joined by ", ";
// "<em>conversion failed</em>" for a negative span. Returns buf.
const char* daemon_http_elapsed(time_t seconds, char* buf, size_t size);

// The longest wait for room for the answer.
inline constexpr int kDaemonHttpTimeoutMs = 30000;
// The longest wait for a browser's whole request (a shorter configured
// timeout wins): a browser that sends nothing or trickles is closed then.
inline constexpr int kDaemonHttpRequestMs = 10000;
// Browsers served at once; one more is answered 503 and closed.
inline constexpr int kDaemonHttpConnections = 16;

}  // namespace zentsd
