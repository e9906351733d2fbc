// server_http.h - the server's HTTP status service: the http tasks, the
// road of one request (read, authenticate, route, answer, close), and the
// pages.
//
// Context: everything runs in the http tasks on the server thread; each
// serves one connection at a time, and the server frame hands a new
// connection to a free one (server_tasks.h), so a slow browser holds up
// only its own task. A task never blocks the server thread on its socket:
// it reads what has arrived and, while the request is incomplete, waits as
// a task until the idle task reports the socket readable or the request
// deadline (kHttpRequestMs, or the frame time-out session_frame_timeout_ms
// when shorter) has passed, which closes the connection; an answer the peer does not take
// waits on the send retry like a worker's reply. A page is built whole
// without sleeping (the engine's and the sessions' structures are read
// directly, no other task runs meanwhile), then sent. After the answer the
// sending side is shut and what the peer still sends is drained, bounded in
// bytes and time, before the frame closes the connection.
#pragma once

#include "server/http_status.h"

struct HttpSession;

// The longest wait for a browser's whole request, however it trickles.
inline constexpr int kHttpRequestMs = 10000;

// An http task's body (priority 5); one of tc_http.
void http_thread();
// One connection: 0 answered, -1 dropped (logged).
int http_read(HttpSession* conn);

// The server's site: title, realm, navigation bar.
extern const HttpSite kServerHttpSite;
// The server's credentials from the configuration.
HttpCredentials server_http_credentials();

// Builds and sends the answer for path on page (authentication passed).
void http_route(HttpPage* page, const char* path);

// The pages (body only; http_route adds header and footer).
void http_index_page(HttpPage* page);
void http_config_page(HttpPage* page);
void http_session_page(HttpPage* page);
void http_db_page(HttpPage* page);
// One open database of the schema cache as the database page shows it.
struct StatusDbRow {
  const char* name;  // none: "?"
  int32_t open_count;
  int32_t write_shared;
  int32_t write_exclusive;
  int32_t read_shared;
  int32_t read_exclusive;
};
// The row of the cache's entry after *cursor (start at 0) into *row;
// false at the end.
bool http_db_row_next(int* cursor, StatusDbRow* row);
// The line of one row of the database page.
void http_db_row(HttpPage* page, const StatusDbRow* r);
void http_lock_page(HttpPage* page);
// One lock of the lock manager's queue as the lock page shows it.
struct StatusLockRow {
  const void* session;   // the owning database session
  int task_id;
  const char* database;  // none: "?"
  int dbid;
  int status;            // 1 granted, 2 blocked, 3 pending
  int mode;              // the stored kind: 2, 4, 6, 12, 14, 16
  int set;               // set kinds: the set's 0-based position
  // Descriptor kinds: the parsed descriptor, its word count first; each
  // entry's first word counts the entry's words, itself included.
  const uint32_t* descriptor;
};
// The row of the queue's entry after *cursor (start at 0) into *row;
// false at the end.
bool http_lock_row_next(int* cursor, StatusLockRow* row);
// The lines of one row of the lock page.
void http_lock_row(HttpPage* page, const StatusLockRow* r);
void http_ps_page(HttpPage* page);
void http_vol_page(HttpPage* page);
void http_perf_page(HttpPage* page);
void http_stat_page(HttpPage* page);
void http_pinned_page(HttpPage* page);

// A parsed lock descriptor as the lock page shows it ("set=..., item=...,
// operator, val=type (length) value"; "@ (effective base lock)" and "@
// (effective set lock)" for whole-base and whole-set entries), unescaped,
// cut to fit buf. Malformed words end the text with "...". Returns buf.
const char* http_lock_descriptor_text(const uint32_t* words, char* buf, size_t size);
// The width of a bar of the performance page: value x 3 / (max(largest,
// 100) / 100), at least 6; 0 (no bar) for a zero value.
int http_bar_width(uint32_t value, uint32_t largest);
