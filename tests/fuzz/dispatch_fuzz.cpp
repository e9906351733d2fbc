// libFuzzer target for the request framing and the dispatcher: the input is
// the byte stream a client sends on its connection, followed by the end of
// the stream. Frames are taken off a socket the way the worker takes them,
// the first as the handshake, the rest as requests, until the connection
// would be closed. Every reply must be well framed and start with the
// request's id. The session counts as logged on after its handshake, so
// that MGMT commands reach their parser.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "access/idb_logon.h"
#include "access/idb_session.h"
#include "base/debug_log.h"
#include "server/client_session.h"
#include "server/dispatch.h"
#include "server/server_main.h"
#include "server/server_seams.h"

namespace {

SrvConfig g_srv{};
CfgRecord g_cfg{};

bool setup() {
  debug_set_stream(fopen("/dev/null", "w"));
  debug_set_flags("");
  g_srv.charset_name = const_cast<char*>("ISO8859/1");
  g_cfg.server = &g_srv;
  server_cfg = &g_cfg;
  return true;
}

void check_reply(const ClientSession* s) {
  const uint8_t* msg = s->send_ptr;
  const uint32_t size = s->async_total_sz;
  if (size < 8) abort();
  const uint32_t len = uint32_t{msg[0]} << 24 | uint32_t{msg[1]} << 16 | uint32_t{msg[2]} << 8 | msg[3];
  if (len + 4 != size) abort();
  // Little-endian once established; the handshake reply carries id 0.
  const uint16_t id = static_cast<uint16_t>(msg[4] | msg[5] << 8);
  if (id != s->request_id) abort();
  if (msg[6] != 0 || msg[7] != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = setup();
  (void)ready;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) abort();
  for (size_t off = 0; off < size;) {
    const ssize_t n = write(fds[0], data + off, size - off);
    if (n <= 0) abort();
    off += static_cast<size_t>(n);
  }
  close(fds[0]);  // the end of the stream follows the input

  auto* s = static_cast<ClientSession*>(calloc(1, sizeof(ClientSession)));
  s->magic = SESSION_MAGIC;
  s->sockfd = fds[1];
  if (session_init(s) != 0) abort();
  s->async_state = AS_RECV;
  for (int round = 0; round < 64; ++round) {
    if (rx_request(s) != 0) break;
    if (handle_request(s) != 0) break;
    check_reply(s);
    s->async_state = AS_IDLE;
    // Logged on without the dba capability, so that the MGMT class parses
    // its commands (a LOGON needs a catalog this target does not have),
    // and the commands that stop the server or write files are refused.
    if (s->state == State_Initial && s->db_session != nullptr) {
      s->db_session->uid = 2;
      s->db_session->caps = IDB_CAP_CONNECT;
    }
    session_established(s);
    s->async_state = AS_RECV;
  }

  close(fds[1]);
  dbml_close_session(s);
  session_release(s);
  free(s);
  return 0;
}
