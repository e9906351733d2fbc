// protocol.cpp - start-up exchange, framing, request loop, the `Protocol`
// base and the request classes that only refuse (see protocol.h).
#include "daemon/protocol.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/debug_log.h"
#include "base/panic.h"
#include "daemon/ipc.h"
#include "daemon/protocol_requests.h"
#include "platform/clock.h"
#include "server/tcp.h"

namespace zentsd {

namespace {

[[noreturn]] void not_implemented(const char* what) {
  debug_log('P', 0, "%s", what);
  panic_assert_failed(what, __FILE__, __LINE__);
}

const char* byte_order_name(uint16_t order) {
  if (order == 4321) return "BIG_ENDIAN";
  if (order == 1234) return "LITTLE_ENDIAN";
  return "unkown";
}

// A start-up refusal: logged as a protocol violation, replied, and the end.
int violation(Connection& conn, const char* text) {
  debug_log('P', 1, "protocol violation: %s", text);
  reply_failure(conn, text);
  return -1;
}

// When a wait for the client must end: the frame's time-out, or the logon
// deadline when that comes first.
struct Deadline {
  int64_t at = -1;  // monotonic ms; -1 none
  bool logon = false;
};

Deadline frame_deadline(const Connection& conn) {
  Deadline d;
  if (conn.cfg->timeout != 0)
    d.at = static_cast<int64_t>(platform::monotonic_ms()) + int64_t{conn.cfg->timeout} * 1000;
  if (!conn.authorized && conn.logon_due >= 0 && (d.at < 0 || conn.logon_due < d.at)) {
    d.at = conn.logon_due;
    d.logon = true;
  }
  return d;
}

// Waits until sock has data or the deadline passes; false after logging
// the time-out. Without a deadline only the stop descriptor ends it.
bool wait_readable(Connection& conn, const Deadline& d) {
  for (;;) {
    const int64_t left = d.at < 0 ? 60000 : d.at - static_cast<int64_t>(platform::monotonic_ms());
    if (left <= 0) break;
    pollfd p[2] = {{conn.sock, POLLIN, 0}, {conn.stop_fd, POLLIN, 0}};
    const int rc = poll(p, conn.stop_fd >= 0 ? 2 : 1, left > 60000 ? 60000 : static_cast<int>(left));
    if (rc > 0 && p[0].revents == 0 && conn.stop_fd >= 0 && p[1].revents != 0) {
      debug_log('P', 1, "Daemon stopping - connection closed");
      return false;
    }
    if (rc > 0) return true;
    if (rc < 0 && errno != EINTR) return true;  // the receive reports the error
  }
  if (d.logon)
    debug_log('P', 1, "No logon within %d seconds - connection closed", conn.cfg->logon_timeout);
  else
    debug_log('P', 1, "No request within %d seconds - connection closed", conn.cfg->timeout);
  return false;
}

// Receives exactly n bytes, each wait bounded by the frame's deadline.
int recv_within(Connection& conn, uint8_t* p, uint32_t n, const Deadline& d) {
  if (d.at < 0 && conn.stop_fd < 0) return tcp_recv(conn.sock, p, static_cast<int>(n));
  uint32_t got = 0;
  while (got < n) {
    if (!wait_readable(conn, d)) return -1;
    int avail = 0;
    if (ioctl(conn.sock, FIONREAD, &avail) != 0 || avail < 1) avail = 1;  // end or error: let recv say
    const uint32_t k = static_cast<uint32_t>(avail) < n - got ? static_cast<uint32_t>(avail) : n - got;
    const int rc = tcp_recv(conn.sock, p + got, static_cast<int>(k));
    if (rc != 0) return rc;
    got += k;
  }
  return 0;
}

}  // namespace

int Protocol::PutReply(Buffer&) { not_implemented("Protocol::PutReply not implemented"); }
int Protocol::GetReply(Buffer&) { not_implemented("Protocol::GetReply not implemented"); }
int Protocol::GetReq(Buffer&) { not_implemented("Protocol::GetReq not implemented"); }
int Protocol::PutReq(Buffer&) { not_implemented("Protocol::PutReq not implemented"); }
int Protocol::Execute(Connection&) { not_implemented("Protocol::Execute not implemented"); }

int send_reply(Connection& conn) {
  const int rc = conn.buf.Send(conn.sock);
  conn.buf.ResetSend();
  if (rc == 0) return 0;
  debug_log('P', 0, "tcp_send(): failed");
  return 1;
}

int reply_ok(Connection& conn, Protocol* req) {
  conn.buf.ResetSend();
  conn.buf.PutU16(kStatusOk);
  if (req != nullptr) req->PutReply(conn.buf);
  return send_reply(conn);
}

int reply_failure(Connection& conn, const char* text) {
  conn.buf.ResetSend();
  conn.buf.PutU16(kStatusFailure);
  conn.buf.PutString(text);
  return send_reply(conn);
}

bool require_logon(Connection& conn, int* result) {
  if (conn.authorized) return true;
  *result = reply_failure(conn, kNotAuthorized);
  return false;
}

int get_string_list(Buffer& buf, std::vector<const char*>* out) {
  uint16_t n = 0;
  if (buf.GetU16(&n) != 0) return -1;
  out->clear();
  out->reserve(n);
  for (uint16_t i = 0; i < n; ++i) {
    const char* s = nullptr;
    if (buf.GetString(&s) != 0) return -1;
    out->push_back(s);
  }
  return 0;
}

int protocol_recv_frame(Connection& conn) {
  const Deadline deadline = frame_deadline(conn);
  uint8_t word[4];
  if (recv_within(conn, word, sizeof word, deadline) != 0) return -1;
  const uint32_t n = uint32_t{word[0]} << 24 | uint32_t{word[1]} << 16 | uint32_t{word[2]} << 8 | word[3];
  const uint32_t limit = conn.authorized ? kLimitAfterLogon : kLimitBeforeLogon;
  if (n > limit) {
    debug_log('P', 0, "Request size exceeds maximum");
    return -1;
  }
  conn.buf.ResetRecv();
  uint8_t* p = conn.buf.RecvAlloc(n);
  if (p == nullptr) {
    debug_log('P', 0, "No memory for a request of %u bytes", n);
    return -1;
  }
  if (n == 0) return 0;
  return recv_within(conn, p, n, deadline) == 0 ? 0 : -1;
}

int protocol_startup(Connection& conn) {
  if (protocol_recv_frame(conn) != 0) return -1;
  Buffer& buf = conn.buf;
  const uint8_t* magic = nullptr;
  if (buf.GetFixed(&magic, sizeof kProtocolMagic) != 0) return -1;
  if (memcmp(magic, kProtocolMagic, sizeof kProtocolMagic) != 0) {
    debug_log('P', 1, "Bad protocol magic");
    return -1;
  }
  uint16_t revision = 0;
  if (buf.GetU16(&revision) != 0) return -1;
  debug_log('P', 2, "startup: protocol_rev = %d", revision);
  if (revision != kProtocolRevision) return violation(conn, "Bad protocol revision");
  uint16_t order = 0;
  if (buf.GetU16(&order) != 0) return -1;
  debug_log('P', 2, "startup: byte_order = %s (%d)", byte_order_name(order), order);
  if (order != 4321 && order != 1234) return violation(conn, "Unsupported byte order");
  const char* platform = nullptr;
  if (buf.GetString(&platform) != 0) return -1;
  if (debug_enabled('P', 2)) debug_log('P', 2, "startup: platform = '%s'", LogText(platform).c_str());
  const char* charset = nullptr;
  if (buf.GetString(&charset) != 0) return -1;
  if (debug_enabled('P', 2)) debug_log('P', 2, "startup: charset = '%s'", LogText(charset).c_str());
  if (buf.SetRemoteCharset(charset) < 0) return violation(conn, "Unsupported charset mapping");

  if (register_child(conn.peer_addr, conn.peer_host.c_str(), platform) != 0) return -1;
  // The challenge keys the password cipher: it must not be predictable.
  if (make_challenge(conn.challenge) != 0) return -1;
  buf.ResetRecv();
  buf.ResetSend();
  buf.PutU16(kStatusOk);
  buf.PutString(conn.challenge);
  return send_reply(conn) == 0 ? 0 : -1;
}

void protocol_loop(Connection& conn) {
  for (;;) {
    debug_log('P', 2, "\n-----");
    if (protocol_recv_frame(conn) != 0) return;
    uint16_t code = 0;
    if (conn.buf.GetU16(&code) != 0) return;
    debug_log('P', 2, "request %d (%s)", code, protocol_name(code));
    Protocol* req = protocol_create(code);
    if (req == nullptr) {
      debug_log('P', 1, "Unsupported protocol request: %d", code);
      reply_failure(conn, "Unsupported protocol request");
      return;
    }
    int rc = 1;
    try {
      if (req->GetReq(conn.buf) == 0) rc = req->Execute(conn);
    } catch (const std::bad_alloc&) {
      debug_log('P', 0, "No memory for request %d - connection closed", code);
      rc = 1;
    }
    delete req;
    conn.buf.ResetRecv();
    if (rc != 0) return;
  }
}

void protocol_drop_identity(Connection& conn) {
  if (conn.authorized && conn.cfg->logon_timeout > 0)
    conn.logon_due = static_cast<int64_t>(platform::monotonic_ms()) + int64_t{conn.cfg->logon_timeout} * 1000;
  conn.authorized = false;
  if (platform::revert_to_self() != 0)
    debug_syserr('P', 0, errno, "Unable to return to the daemon's own identity");
  conn.has_token = false;
  conn.token = platform::LogonToken{};
}

int protocol_pause(Connection& conn, int ms) {
  const int64_t until = static_cast<int64_t>(platform::monotonic_ms()) + ms;
  for (;;) {
    const int64_t left = until - static_cast<int64_t>(platform::monotonic_ms());
    if (left <= 0) return 0;
    pollfd p = {conn.stop_fd, POLLIN, 0};
    const int rc = poll(&p, conn.stop_fd >= 0 ? 1 : 0, static_cast<int>(left));
    if (rc > 0) {
      debug_log('P', 1, "Daemon stopping - connection closed");
      return -1;
    }
  }
}

int protocol_serve(int sock, DaemonConfig* cfg, int stop_fd) {
  Connection conn;
  conn.sock = sock;
  conn.stop_fd = stop_fd;
  conn.own_process = stop_fd < 0;
  conn.cfg = cfg;
  // Counted from the connect: a client that never logs on must not hold
  // its slot for the whole `timeout`.
  if (cfg->logon_timeout > 0)
    conn.logon_due = static_cast<int64_t>(platform::monotonic_ms()) + int64_t{cfg->logon_timeout} * 1000;
  conn.buf.SetLocalCharset(cfg->charset_id);
  if (cfg->use_keep_alive) {
    const int on = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
      debug_syserr('N', 1, errno, "Unable to set SO_KEEPALIVE");
  }
  const char* host = nullptr;
  if (tcp_peer_addr(sock, &conn.peer_addr, nullptr, &host) != 0) {
    debug_log('P', 0, "tcp_peer_addr failed");
    return 0;
  }
  conn.peer_host = host;
  if (debug_enabled('P', 2)) debug_log('P', 2, "startup: remote host = '%s'", LogText(host).c_str());
  if (protocol_startup(conn) == 0) protocol_loop(conn);
  protocol_drop_identity(conn);
  return conn.exit_status;
}

}  // namespace zentsd
