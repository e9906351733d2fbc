// libFuzzer target for the request framing and the dispatcher: the input is
// the byte stream a client sends on its connection, followed by the end of
// the stream. Frames are taken off a socket the way the worker takes them,
// the first as the handshake, the rest as requests, until the connection
// would be closed. Every reply must be well framed and start with the
// request's id.
//
// The server behind it holds the test database (support/sample_server.h)
// in the in-memory file system of the power-loss double, opened as the
// server's start-up opens it, so that the DBML requests reach the database
// calls and the transaction log: after the handshake the session is logged
// on as the sample's dba (a LOGON in the input may still change that), and
// "sample" opens as dbid 1. The catalog class's decoders are also fed the
// input directly, so that every request type is reached from any input:
// the first byte picks the request type, the rest is its arguments.
// SCAN requests run as the logged-on dba, so every SCAN decoder is reached
// from the stream (corpus "scan_requests": contexts, each data request and
// the delete). MGMT requests run without the dba capability: the commands that stop
// the server, write files or end other work are refused, and the rest
// reach their parser.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "access/idb_logon.h"
#include "access/idb_session.h"
#include "base/debug_log.h"
#include "index/btree.h"
#include "index/syscat.h"
#include "platform/fault_file.h"
#include "server/client_session.h"
#include "server/dispatch.h"
#include "server/server_main.h"
#include "server/server_seams.h"
#include "storage/buffer_cache.h"
#include "storage/fixrec.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"
#include "support/sample_server.h"
#include "server/syscat_request.h"

namespace {

SrvConfig g_srv{};
CfgRecord g_cfg{};

// Lives as long as the process: the volume set stays open on it.
platform::FaultFileSystem* g_disk = nullptr;

void must(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "dispatch_fuzz: %s failed\n", what);
  abort();
}

void setup() {
  debug_set_stream(fopen("/dev/null", "w"));
  debug_set_flags("");
  g_srv.charset_name = const_cast<char*>("ISO8859/1");
  g_cfg.server = &g_srv;
  server_cfg = &g_cfg;
  g_disk = new platform::FaultFileSystem;
  platform::set_file_system(g_disk);
  must(!testsupport::write_sample_environment("/fuzz/root.vol").empty(), "the sample environment");
  // The server's start-up order, without its threads and tasks.
  const char* paths[] = {"/fuzz/root.vol", "/fuzz/log.vol"};
  must(Vol_OpenSet(2, paths) != nullptr, "Vol_OpenSet");
  must(buf_Init(256, 256) == 0, "buf_Init");
  seam_install_session_lookup();
  must(Tlog_Init() == 0 && FixRec_Init() == 0 && btree_Init() == 0, "the subsystems");
  must(Tlog_Recover() == 0 && Tlog_Checkpoint("Server startup") == 0, "recovery");
  must(SysCat_open() == 0, "SysCat_open");
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

void fuzz_syscat_decoders(const uint8_t* data, size_t size) {
  if (size < 1) return;
  static uint8_t area[4096];
  Buffer b;
  Buffer_Init(&b);
  Buffer_SetRecvArea(&b, area, sizeof area, 0);
  Buffer_SetWireOrder(&b, kLittleEndian);
  uint8_t* p = Buffer_RecvArea(&b, static_cast<uint32_t>(size - 1));
  if (p != nullptr) {
    if (size > 1) memcpy(p, data + 1, size - 1);
    SyscatArgs a;
    if (syscat_decode(&b, 1 + data[0] % kSyscatTypes, &a) == 0 && a.name != nullptr &&
        strlen(a.name) >= size)
      abort();  // a decoded text must lie inside the input
  }
  Buffer_Free(&b);
}

}  // namespace

// Writing and opening the environment takes seconds: done before the
// first input, outside the time one input may take.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_syscat_decoders(data, size);
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
    const Buffer& in = s->buffer;
    const bool mgmt = round > 0 && s->db_session != nullptr && in.recv_size >= 4 &&
                      in.recv_buf[2] == 6 && in.recv_buf[3] == 0;
    const uint32_t caps = s->db_session != nullptr ? s->db_session->caps : 0;
    if (mgmt) s->db_session->caps &= ~IDB_CAP_DBA;
    const int rc = handle_request(s);
    if (mgmt && s->db_session != nullptr) s->db_session->caps = caps;
    if (rc != 0) break;
    check_reply(s);
    s->async_state = AS_IDLE;
    if (round == 0) {
      session_established(s);
      if (s->db_session != nullptr && idb__logon(s->db_session, "boss", "boss-pw") != 0)
        abort();
    }
    s->async_state = AS_RECV;
  }

  close(fds[1]);
  dbml_close_session(s);
  session_release(s);
  free(s);
  // Committed transactions collect in the root log until a checkpoint.
  static unsigned runs = 0;
  if (++runs % 256 == 0 && Tlog_Checkpoint("fuzz") != 0) abort();
  return 0;
}
