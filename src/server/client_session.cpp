// client_session.cpp - client connections: accept, the worker task loop, the
// framing of requests and replies, closing and freeing (see client_session.h
// and README.md, "Client sessions").
//
// Receives never wait on the socket. The select thread and the idle task
// wake a worker when its socket is readable; the worker takes what has
// arrived of the current frame and, when the frame is not complete yet,
// blocks again. A frame that stays incomplete past the frame time-out closes
// its connection (a one-shot timer posts the check to the server thread), and
// so does a handshake that has not come in within it from the connect.
// Sends never wait on the socket either: a reply the peer's socket cannot
// take yet waits in its worker, which retries on a timer while other tasks
// run, and closes the connection when the peer takes nothing for the frame
// time-out.
#include "server/client_session.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/debug_log.h"
#include "base/panic.h"
#include "base/server_counters.h"
#include "base/task_kernel.h"
#include "platform/clock.h"
#include "server/dispatch.h"
#include "server/server_main.h"
#include "server/server_seams.h"
#include "server/server_tasks.h"
#include "server/tcp.h"
#include "server/vtimer.h"

int client_pending_cnt = 0;

namespace {

int g_frame_timeout_ms = 0;  // 0: from the Timeout setting or the default
uint64_t g_watchdog_due_ms = 0;  // when the pending time-out check runs; 0 none
// Workers whose reply waits for room in the peer's socket.
WaitQueue g_send_waiters;

// The shutdown's wait for the workers to end (sessions_close_all).
WaitQueue g_workers_gone;
Task* g_closer = nullptr;  // the task sleeping on g_workers_gone, or none
constexpr int kShutdownWaitMs = 10000;

}  // namespace

int session_frame_timeout_ms() {
  if (g_frame_timeout_ms > 0) return g_frame_timeout_ms;
  const SrvConfig* srv = server_cfg != nullptr ? server_cfg->server : nullptr;
  if (srv != nullptr && srv->timeout > 0) return srv->timeout > 86400 ? 86400000 : srv->timeout * 1000;
  return kDefaultFrameTimeoutMs;
}

namespace {

int frame_timeout_ms() { return session_frame_timeout_ms(); }

// Timer thread: hand the check to the server thread.
void watchdog_fired(void*) {
  thread_post(sessions_check_frame_timeouts, nullptr);
  notify_event("TIMER");
}

void arm_watchdog(uint64_t due_ms) {
  const uint64_t now = platform::monotonic_ms();
  // A check already due no later covers this deadline too; one overdue by
  // far was lost (the timers were reset) and is replaced.
  if (g_watchdog_due_ms != 0 && g_watchdog_due_ms <= due_ms && now < g_watchdog_due_ms + 5000)
    return;
  const uint64_t wait = due_ms > now ? due_ms - now : 1;
  if (vtimer_add(static_cast<int>(wait > 86400000 ? 86400000 : wait), 0, nullptr, watchdog_fired,
                 nullptr) >= 0)
    g_watchdog_due_ms = due_ms;
  else
    debug_log('D', 1, "No timer for the frame time-out - will retry");
}

// Timer thread: the workers waiting to send try again.
void send_retry_fired(void*) {
  thread_post_wake_up(&g_send_waiters);
  notify_event("TIMER");
}

// A frame is in progress (part of the length word or of the payload is in).
bool frame_started(const ClientSession* session) {
  return session->async_state == AS_RECV2 || session->rx_got > 0;
}

// Takes up to n bytes the socket already holds: the count, 0 at end of
// stream, -2 when nothing is there yet, -1 on failure.
ssize_t recv_some(int sock, uint8_t* p, uint32_t n) {
  for (;;) {
    const ssize_t rc = recv(sock, p, n, MSG_DONTWAIT);
    if (rc >= 0) return rc;
    const int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) return -2;
    if (err != ECONNRESET) {
      const int code = tcp_wsa_error(err);
      char text[256];
      debug_log('X', 1, "tcp_recv: recv failed. [%d] %s", code,
                socket_error_text(code, text, sizeof text));
    }
    return -1;
  }
}

// Moves up to n bytes read ahead to p; how many.
uint32_t take_ahead(ClientSession* session, uint8_t* p, uint32_t n) {
  const uint32_t k = n < session->rx_ahead_len ? n : session->rx_ahead_len;
  if (k == 0) return 0;
  memcpy(p, session->rx_ahead + session->rx_ahead_at, k);
  session->rx_ahead_at = static_cast<uint16_t>(session->rx_ahead_at + k);
  session->rx_ahead_len = static_cast<uint16_t>(session->rx_ahead_len - k);
  return k;
}

}  // namespace

bool rx_ahead_held(const ClientSession* session) { return session->rx_ahead_len > 0; }

int wait_for_send_retry() {
  const int timer = vtimer_add(VTIMER_MIN_MS, 0, nullptr, send_retry_fired, nullptr);
  if (timer < 0) return -1;
  sleep_on(&g_send_waiters, WAIT_MAY_BE_CUT, __FILE__, __LINE__);
  // Woken by another waiter's timer or a close: this one's timer would only
  // wake everybody once more.
  vtimer_cancel(timer);
  return 0;
}

bool session_waits_for_peer(const Task* task) { return thread_wchan(task) == &g_send_waiters; }

namespace {

// Posted by the shutdown wait's timer: end the wait if it is still on.
void closer_wait_over(void*) {
  if (g_closer != nullptr) thread_timeout(g_closer, -1);
}

void closer_timer_fired(void*) {
  thread_post(closer_wait_over, nullptr);
  notify_event("TIMER");
}

int workers_alive() {
  int n = 0;
  for (int i = 0; i < max_workers; ++i) n += tc_worker[i] != nullptr;
  return n;
}

int free_worker_slot() {
  for (int i = 0; i < max_workers; ++i)
    if (tc_worker[i] == nullptr) return i;
  return -1;
}

}  // namespace

void session_release(ClientSession* session) {
  free(session->platform);
  free(session->charset);
  free(session->os_user);
  free(session->challenge);
  free(session->host);
  session->platform = session->charset = session->os_user = session->challenge = nullptr;
  session->host = nullptr;
  Buffer_Free(&session->buffer);
  free(session->send_area);
  free(session->recv_area);
  session->send_area = session->recv_area = nullptr;
}

void session_set_frame_timeout_ms(int ms) { g_frame_timeout_ms = ms > 0 ? ms : 0; }

ClientSession* session_of(Task* task) {
  return task != nullptr ? static_cast<ClientSession*>(thread_get_data(task)) : nullptr;
}

void accept_connection() {
  debug_log('D', 2, "Accepting new server connection ...");
  AcceptedPeer peer;
  if (accept_peer(server_listen_socket, &peer) != 0) return;
  char when[64];
  debug_log('D', 1, "Connection from %s port %u at %s", peer.host, peer.port,
            local_time_text(peer.when, when, sizeof when));
  session_start(peer.sock, peer.addr, peer.port, peer.host, peer.name_key);
}

int session_start(int sock, uint32_t addr, uint16_t port, const char* host_text,
                  uint64_t name_key) {
  // A connection without a slot, or whose socket the select thread cannot
  // watch, would never be woken: refuse it now. With the status pages
  // served, one place stays for an HTTP connection: the pages must answer
  // when the clients have taken every other place.
  const int slot = free_worker_slot();
  const int kept = http_listen_socket >= 0 ? 1 : 0;
  if (slot < 0 || master_set_room() <= kept) {
    debug_log('D', 0, "No room for another client connection (%d worker slots) - dropping connection",
              max_workers);
    tcp_close(sock);
    return -1;
  }
  Task* task = thread_create(worker_thread, 5);
  if (task == nullptr) {
    debug_log('D', 0, "Unable to create new thread - dropping connection");
    tcp_close(sock);
    return -1;
  }
  thread_set_name(task, host_text);
  debug_log('D', 2, "Worker thread is %d", thread_id(task));

  auto* session = static_cast<ClientSession*>(calloc(1, sizeof(ClientSession)));
  char* host = strdup(host_text);
  if (session == nullptr || host == nullptr) {
    free(session);
    free(host);
    debug_log('D', 0, "Unable to allocate session data - dropping connection");
    tcp_close(sock);
    thread_destroy(task);
    return -1;
  }
  session->magic = SESSION_MAGIC;
  session->closing = 0;
  session->sockfd = sock;
  session->peer_addr = addr;
  session->port = port;
  session->host = host;
  session->name_key = name_key;
  session->connect_time = time(nullptr);
  session->task = task;
  // The handshake, like a frame in pieces, must be in within the frame
  // time-out, counted from the connect: a connection that never speaks
  // must not keep its place for ever.
  session->rx_deadline_ms = platform::monotonic_ms() + static_cast<uint64_t>(frame_timeout_ms());
  arm_watchdog(session->rx_deadline_ms);

  thread_set_data(task, session);
  thread_set_cleanup(task, worker_cleanup);
  tc_worker[slot] = task;
  if (worker_socket_bind(sock, slot) != 0 || master_set_add(sock) != 0) {
    // The worker finds its session closed and ends at once.
    debug_log('D', 0, "Unable to watch the connection - dropping connection");
    tcp_close(sock);
    session->sockfd = -1;
    session->closing = 1;
    return -1;
  }
  return 0;
}

int session_init(ClientSession* session) {
  ZENT_ASSERT(session->state == State_Initial);
  Buffer_Init(&session->buffer);
  session->send_area = static_cast<uint8_t*>(malloc(kSessionAreaSize));
  session->recv_area = static_cast<uint8_t*>(malloc(kSessionAreaSize));
  if (session->send_area == nullptr || session->recv_area == nullptr) return -1;
  session->area_size = kSessionAreaSize;
  Buffer_SetSendArea(&session->buffer, session->send_area, kSessionAreaSize, 0);
  Buffer_SetRecvArea(&session->buffer, session->recv_area, kSessionAreaSize, 0);
  return 0;
}

int rx_message(ClientSession* session) {
  ZENT_ASSERT(session->async_state == AS_RECV || session->async_state == AS_RECV2);
  Buffer* buf = &session->buffer;
  if (session->async_state == AS_RECV) {
    if (session->rx_got == 0) {
      Buffer_RecvReset(buf);
      debug_log('X', 2, "tcp_recv, expected %d bytes", static_cast<int>(sizeof session->rx_length));
    }
    while (session->rx_got < sizeof session->rx_length) {
      if (session->rx_ahead_len == 0) {
        const ssize_t n = recv_some(session->sockfd, session->rx_ahead, kRxAheadSize);
        if (n == -2) return 2;
        if (n == 0) debug_log('X', 2, "tcp_recv: EOF");
        if (n == 0 && session->rx_got == 0) return 1;
        if (n <= 0) {
          debug_log('P', 2, "tcp_recv(): failed");
          return -1;
        }
        session->rx_ahead_at = 0;
        session->rx_ahead_len = static_cast<uint16_t>(n);
      }
      session->rx_got += take_ahead(session, session->rx_length + session->rx_got,
                                    static_cast<uint32_t>(sizeof session->rx_length) - session->rx_got);
    }
    const uint8_t* w = session->rx_length;
    const uint32_t length = uint32_t{w[0]} << 24 | uint32_t{w[1]} << 16 | uint32_t{w[2]} << 8 | w[3];
    if (length > message_size_limit(session)) {
      debug_log('P', 0, "server message size exceeds limit");
      return -1;
    }
    if (length == 0) {
      // An empty payload reads as the end of the stream.
      debug_log('P', 2, "tcp_recv(): failed");
      return -1;
    }
    if (Buffer_RecvArea(buf, length) == nullptr) {
      debug_log('P', 0, "unable to allocate receive buffer");
      return -1;
    }
    session->async_state = AS_RECV2;
    session->rx_got = 0;
    debug_log('X', 2, "tcp_recv, expected %d bytes", static_cast<int>(length));
  }
  session->rx_got += take_ahead(session, buf->recv_buf + session->rx_got,
                                buf->recv_size - session->rx_got);
  // Read exactly the rest: nothing of the next frame goes past the read-ahead.
  while (session->rx_got < buf->recv_size) {
    const ssize_t n = recv_some(session->sockfd, buf->recv_buf + session->rx_got,
                                buf->recv_size - session->rx_got);
    if (n == -2) return 2;
    if (n == 0) debug_log('X', 2, "tcp_recv: EOF");
    if (n <= 0) {
      debug_log('P', 2, "tcp_recv(): failed");
      return -1;
    }
    session->rx_got += static_cast<uint32_t>(n);
  }
  if (debug_enabled('X', 3)) debug_dump("tcp_recv", buf->recv_buf, static_cast<int>(buf->recv_size));
  session->async_state = AS_IDLE;
  session->rx_got = 0;
  return 0;
}

int rx_request(ClientSession* session) {
  ZENT_ASSERT(session->async_state == AS_RECV || session->async_state == AS_RECV2);
  const int rc = rx_message(session);
  if (rc == 2) {
    if (frame_started(session) && session->rx_deadline_ms == 0) {
      session->rx_deadline_ms = platform::monotonic_ms() + static_cast<uint64_t>(frame_timeout_ms());
      arm_watchdog(session->rx_deadline_ms);
    }
    return 1;
  }
  session->rx_deadline_ms = 0;
  if (rc != 0) return -1;
  if (session->state == State_Initial) return 0;
  return Buffer_Get_u16(&session->buffer, &session->request_id) == 0 ? 0 : -1;
}

int finish_reply(ClientSession* session) {
  Buffer* buf = &session->buffer;
  if (Buffer_SendFailed(buf)) {
    debug_log('P', 0, "Unable to allocate send buffer (%u bytes)", Buffer_SendSize(buf));
    return -1;
  }
  Buffer_Finish(buf);
  session->async_state = AS_XMIT;
  session->send_ptr = Buffer_SendData(buf);
  session->async_total_sz = Buffer_SendSize(buf);
  session->async_rem_sz = session->async_total_sz;
  session->async_ofs = 0;
  return 0;
}

int tx_reply(ClientSession* session) {
  ZENT_ASSERT(session->async_state == AS_XMIT || session->async_state == AS_XMIT2);
  // The TCP layer's lines for a send, once per reply.
  if (session->async_ofs == 0) {
    if (debug_enabled('X', 3))
      debug_dump("tcp_send", session->send_ptr, static_cast<int>(session->async_total_sz));
    else
      debug_log('X', 2, "tcp_send");
  }
  while (session->async_rem_sz > 0) {
    const ssize_t n = send(session->sockfd, session->send_ptr + session->async_ofs,
                           session->async_rem_sz, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      session->async_ofs += static_cast<uint32_t>(n);
      session->async_rem_sz -= static_cast<uint32_t>(n);
      continue;
    }
    const int err = n < 0 ? errno : 0;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      session->async_state = AS_XMIT2;
      return 1;
    }
    if (err != EPIPE && err != ECONNRESET) {
      const int code = tcp_wsa_error(err);
      char text[256];
      debug_log('X', 1, "tcp_send: send failed: writecount %u, [%d] %s", session->async_ofs, code,
                socket_error_text(code, text, sizeof text));
    }
    debug_log('P', 2, "tcp_send(): failed");
    return -1;
  }
  session->async_state = AS_IDLE;
  return 0;
}

void session_established(ClientSession* session) {
  if (session->state == State_Initial) session->state = State_Established;
}

void client_request_taken() {
  if (server_shutdown || tcp_event == nullptr || tcp_ack_event == nullptr) return;
  ZENT_ASSERT(client_pending_cnt >= 0);
  if (client_pending_cnt > 0 && --client_pending_cnt == 0) tcp_ack_event->set();
}

// Sends the finished reply. While the peer's socket is full the worker
// sleeps between retries, so the server thread serves the others; a peer
// that takes nothing for the frame time-out is dropped. False when the
// connection was closed or is closing.
static bool send_reply(Task* self, ClientSession* session) {
  uint64_t deadline = 0;
  for (;;) {
    const uint32_t left_before = session->async_rem_sz;
    const int rc = tx_reply(session);
    if (rc == 0) {
      session_established(session);
      session->async_state = AS_RECV;
      return true;
    }
    if (rc < 0) {
      close_connection(self);
      return false;
    }
    const uint64_t now = platform::monotonic_ms();
    if (deadline == 0 || session->async_rem_sz < left_before) {
      deadline = now + static_cast<uint64_t>(frame_timeout_ms());
    } else if (now >= deadline) {
      debug_log('P', 0, "Send time-out: the client takes no reply - dropping connection");
      close_connection(self);
      return false;
    }
    if (wait_for_send_retry() != 0) {
      debug_log('P', 0, "No timer to wait for the client to take its reply - dropping connection");
      close_connection(self);
      return false;
    }
    if (session->closing) return false;
  }
}

void worker_thread() {
  Task* self = thread_self();
  ClientSession* session = session_of(self);
  debug_log('T', 2, "Client thread %d started", thread_id(self));
  ZENT_ASSERT(session->magic == SESSION_MAGIC);
  session->state = State_Initial;
  session->async_state = AS_RECV;
  if (session_init(session) != 0) {
    debug_log('P', 0, "buffer allocation failed - dropping connection");
    close_connection(self);
  }

  while (!session->closing) {
    // Bytes read ahead with the last request are taken at once: the socket
    // may have nothing more, and no wake-up would come for them. The yield
    // still lets the other tasks have their turn.
    const bool ahead = rx_ahead_held(session);
    if (!ahead) thread_block(self);
    thread_yield();
    // Only the idle task's wake-up counts as pending; a close's does not,
    // nor does a turn taken for bytes read ahead. Every road out of here
    // settles a counted wake-up, or the select thread would never select
    // again.
    const bool counted = !ahead && !session->woken_by_close;
    session->woken_by_close = 0;
    auto taken = [counted] {
      if (counted) client_request_taken();
    };
    if (session->closing) {
      taken();
      break;
    }
    switch (session->async_state) {
      case AS_RECV:
      case AS_RECV2: {
        const int rc = rx_request(session);
        taken();
        if (rc == 1) continue;
        if (rc < 0) {
          close_connection(self);
          continue;
        }
        break;
      }
      case AS_XMIT2:
        taken();
        send_reply(self, session);
        continue;
      case AS_IDLE:
        taken();
        break;
      default:
        taken();
        debug_log('T', 0, "Unexpected async_state = %d - dropping connection", session->async_state);
        close_connection(self);
        continue;
    }

    if (Tlog_ApiSharedLock() != 0) {
      // A close aborts the wait for the lock; only then may the take fail.
      if (session->closing) break;
      ZENT_ASSERT(!"worker_thread: Tlog_ApiSharedLock() failed");
    }
    const int rc = handle_request(session);
    Tlog_ApiSharedUnlock();
    // Closed while the request waited for a page or an I/O, which a close
    // does not cut: the request has run to its end, the reply has nowhere
    // to go.
    if (session->closing) break;
    if (rc != 0) {
      close_connection(self);
      continue;
    }
    server_count(server_counters.requests);
    switch (session->async_state) {
      case AS_IDLE:
        session->async_state = AS_RECV;
        break;
      case AS_XMIT:
        send_reply(self, session);
        break;
      default:
        debug_log('T', 0, "Unexpected async_state = %d - dropping connection", session->async_state);
        close_connection(self);
        break;
    }
  }

  if (session->sockfd >= 0) close_connection(self);
  // A close kept for a wait that was not to be cut must not cut the end of
  // the session's work.
  thread_drop_cut(self);
  // The handshake opens the database session before its reply is sent, so
  // one may exist even though the session never became established.
  if (session->db_session != nullptr) dbml_close_session(session);
  debug_log('T', 2, "Client thread %d terminating", thread_id(self));
}

void close_connection(Task* task) {
  debug_log('D', 2, "Closing connection ...");
  ClientSession* session = session_of(task);
  ZENT_ASSERT(session != NULL);
  if (session->sockfd < 0 && session->closing) return;
  const int sock = session->sockfd;
  session->sockfd = -1;
  if (sock >= 0) {
    master_set_remove(sock);
    tcp_close(sock);
  }
  session->closing = 1;
  session->rx_deadline_ms = 0;
  // Posted work (the frame time-out check) is no task, so this is never
  // skipped for a worker whose own pass the check runs in.
  if (task != thread_self()) {
    if (blocked_without_wchan(task)) {
      session->woken_by_close = 1;
      thread_unblock(task);
    } else {
      // A lock, semaphore or send wait ends now; a page or I/O wait runs to
      // its end and the worker's next wait that may be cut ends at once.
      thread_cut(task, -1);
    }
  }
  char when[64];
  debug_log('D', 1, "Disconnected %s port %u, at %s",
            session->host ? LogText(session->host).c_str() : "?", session->port,
            local_time_text(time(nullptr), when, sizeof when));
}

void worker_cleanup(Task* task) {
  debug_log('T', 2, "Cleaning up session %d", thread_id(task));
  ClientSession* session = session_of(task);
  ZENT_ASSERT(session != NULL);
  ZENT_ASSERT(session->magic == SESSION_MAGIC);
  ZENT_ASSERT(session->sockfd == -1);
  session_release(session);
  session->magic = SESSION_FREED;
  int i = 0;
  while (i < max_workers && tc_worker[i] != task) ++i;
  ZENT_ASSERT(i < max_workers);
  tc_worker[i] = nullptr;
  wake_up(&g_workers_gone);
}

void sessions_close_all() {
  for (int i = 0; i < max_workers; ++i) {
    Task* task = tc_worker[i];
    if (task == nullptr) continue;
    ClientSession* session = session_of(task);
    ZENT_ASSERT(session->magic == SESSION_MAGIC);
    if (session->sockfd < 0 || session->closing) continue;
    session->closing = 1;
    if (blocked_without_wchan(task)) {
      session->woken_by_close = 1;
      thread_unblock(task);
    } else {
      // A request waiting for the API lock, a lock or a transaction ends
      // now; one in a page or I/O wait at its next wait that may be cut.
      thread_cut(task, -1);
    }
  }
  // Workers waiting to send find their session closing at once.
  wake_up(&g_send_waiters);
  // Let every worker close its socket and end its database session before
  // the shutdown goes on; a worker that does not end in time is left.
  if (thread_self() == nullptr) return;
  const int timer = vtimer_add(kShutdownWaitMs, 0, nullptr, closer_timer_fired, nullptr);
  g_closer = thread_self();
  while (workers_alive() > 0) {
    debug_log('T', 2, "Waiting for %d client sessions to end", workers_alive());
    if (sleep_on(&g_workers_gone, WAIT_MAY_BE_CUT, __FILE__, __LINE__) != 0) {
      debug_log('D', 1, "%d client sessions did not end at shutdown", workers_alive());
      break;
    }
  }
  g_closer = nullptr;
  if (timer >= 0) vtimer_cancel(timer);
}

void session_take_name(uint64_t name_key, const char* name) {
  for (int i = 0; i < max_workers; ++i) {
    ClientSession* session = session_of(tc_worker[i]);
    if (session == nullptr || session->magic != SESSION_MAGIC || session->name_key != name_key)
      continue;
    char* copy = strdup(name);
    if (copy == nullptr) return;  // it keeps its address
    const LogText text(name);
    debug_log('D', 1, "Connection from %s port %u: host name %s", session->host, session->port,
              text.c_str());
    free(session->host);
    session->host = copy;
    thread_set_name(tc_worker[i], text.c_str());
    return;
  }
}

void sessions_check_frame_timeouts(void*) {
  g_watchdog_due_ms = 0;
  if (tc_worker == nullptr) return;
  const uint64_t now = platform::monotonic_ms();
  uint64_t next = 0;
  for (int i = 0; i < max_workers; ++i) {
    Task* task = tc_worker[i];
    ClientSession* session = session_of(task);
    if (session == nullptr || session->magic != SESSION_MAGIC || session->sockfd < 0 ||
        session->closing || session->rx_deadline_ms == 0)
      continue;
    if (session->rx_deadline_ms <= now) {
      if (session->state == State_Initial)
        debug_log('P', 1, "Handshake time-out - dropping connection");
      else
        debug_log('P', 0, "Receive time-out in the middle of a message - dropping connection");
      close_connection(task);
    } else if (next == 0 || session->rx_deadline_ms < next) {
      next = session->rx_deadline_ms;
    }
  }
  if (next != 0) arm_watchdog(next);
}
