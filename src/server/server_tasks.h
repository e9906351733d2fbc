// server_tasks.h - the hand-off between the select thread and the server
// thread: the master socket set, notify_event, the select thread, the idle
// task that turns socket readiness into woken workers, and the hand-over of
// HTTP connections to the free http tasks.
//
// Contexts: the select thread only polls, fills read_set/except_set and
// signals; everything that touches tasks or sessions runs on the server
// thread (idle task, http task, posted work). notify_event and the master
// set calls are safe from any thread. README.md, "Select hand-off", walks
// through one cycle.
#pragma once
#include <cstdint>
#include <ctime>

#include "server/tcp.h"

struct Task;

// The select thread's last result (sockets reported) and its working sets;
// written by the select thread before it sets tcp_event, read and cleared by
// the idle task before it sets tcp_ack_event.
extern int client_poll_cnt;
extern SocketSet read_set;
extern SocketSet except_set;

// Every socket to watch. Guarded by a mutex; a change wakes the select
// thread so that it polls the new set. master_set_add: 0, or -1 when the
// socket is -1 or the set is full (the caller refuses the connection).
int master_set_add(int sock);
void master_set_remove(int sock);
// Sockets the master set can still take.
int master_set_room();
// Empties the set (clean-up).
void master_set_clear();

// True when t waits in thread_block, not on a wait queue: the only state in
// which another task or a posted wake-up may unblock it.
bool blocked_without_wchan(const Task* t);

// Logs "notify_event: <text>" and releases the sync semaphore by one; any
// thread. The I/O threads say "TIO", the select thread "TCP", the shutdown
// road "SHUTDOWN", the timers "TIMER".
void notify_event(const char* text);
// Drops the sync semaphore (clean-up); a notify_event racing with it finds
// none and does nothing.
void notify_event_close();

// Starts the select thread; 0 or an errno value. It runs until
// bg_tcp_thread_stop or the shutdown flag.
int bg_tcp_thread_start();
// Stops and joins the select thread; safe when it is not running.
void bg_tcp_thread_stop();
// For tests: called on the select thread between its copy of the master set
// and the poll over that copy, the moment a change of the set races with.
// None removes it.
using SelectPollHook = void (*)();
void bg_tcp_set_poll_hook(SelectPollHook hook);

// The server's way: the idle task waits for the sockets' readiness itself
// (one poll over the master set, the wake-up descriptor that notify_event
// and master set changes write, nothing else) instead of a select thread,
// so a request costs no wake-up of another thread. The hand-off stays as
// it is: the idle task polls only while acknowledged, and hands the result
// over through read_set/except_set, client_poll_cnt and tcp_event. Set
// before the kernel runs; the select thread is then not started.
void bg_tcp_poll_in_idle(bool on);

// Server thread: the worker in slot uses sock, so that a report of sock
// reaches it (session_start binds every connection's socket). 0, or -1 when
// the binding could not be kept (the connection must then be refused).
int worker_socket_bind(int sock, int slot);

// The idle task's body (priority 10): sleeps on the sync semaphore while no
// task can run and hands socket events to the workers.
void idle_thread();
// The idle task's TCP step, when the select thread reported work: accepts,
// wakes workers whose socket is readable, closes broken ones, and lets the
// select thread go on once no woken worker still has to read.
void handle_tcp_events();
// The yield hook of the kernel (thread_set_yield_hook): a task that keeps
// yielding (a long scan, an erase, a backup) stays runnable, and the idle
// task would not look at the sockets until it stops, so other connections'
// requests would wait for its end. From any runnable task but the idle
// task, at most every quarter millisecond: the idle task's TCP step, after a poll
// that does not wait when the server polls the sockets itself.
void serve_sockets_at_yield();

// An HTTP connection while an http task serves it (that task's data).
inline constexpr uint32_t HTTP_MAGIC = 0x48555550;
struct HttpSession {
  uint32_t magic;
  int sockfd;
  uint32_t peer_addr;  // IPv4, host order
  uint16_t port;
  char* host;  // the dotted address, or the peer's name once found
  uint64_t name_key;  // of its name lookup; 0 none
  time_t connect_time;
  // The http task's wait for the socket (reading the request, draining
  // after the answer): the socket is in the master set only while waiting
  // is set; the idle task wakes the task when it turns readable (counted
  // pending like a worker's wake-up), the deadline's timer when the wait
  // has lasted too long.
  bool waiting;
  bool counted;
  bool timed_out;
  uint64_t deadline_ms;  // monotonic; 0 none
  int timer;             // the deadline's timer, -1 none
};

// Idle task: HTTP connections' sockets were reported readable or broken
// while their http tasks wait for them: wakes each such task, counted
// pending until it has read (client_request_taken).
void http_socket_events();

// Idle task: the HTTP listen socket is readable. Hands one connection to a
// free http task; with every one busy (or none made) the connection is
// answered 503 without waiting and closed.
void accept_http_connection();
// An http task, after each answer: closes its connection.
void close_http_connection();
// "%d.%d.%d.%d" of a host-order IPv4 address into buf (at least 16 bytes).
const char* format_ipv4(uint32_t addr, char* buf);

// A connection just taken from a listen socket, with its peer: host is the
// dotted address; with NoDNS off a lookup of its name is under way (key).
struct AcceptedPeer {
  int sock;
  uint32_t addr;  // IPv4, host order
  uint16_t port;
  time_t when;
  char host[16];
  uint64_t name_key;  // names the lookup; 0 when none was asked for
};
// Accepts one connection on listen_sock and finds its peer's address; asks
// the resolver thread for its name without waiting (name_lookup.h). 0, or
// -1 after logging "accept failed - ignoring connection request" or "Unable
// to obtain peer address - dropping connection" (the socket is then closed).
int accept_peer(int listen_sock, AcceptedPeer* out);
// Posted work, server thread: the name of the peer whose lookup has key was
// found; the connection with that key, if it is still there, takes it.
void peer_name_found(uint64_t key, const char* name);

// "%c" of t in local time, as the connection log lines show it; returns buf.
const char* local_time_text(time_t t, char* buf, size_t size);
