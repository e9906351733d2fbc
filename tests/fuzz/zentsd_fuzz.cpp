// libFuzzer target for the session daemon's protocol. Byte 0 of the input
// chooses what the rest drives:
//   0: the message buffer - a script of gets over a received message, each
//      item put again, which must reproduce the bytes taken;
//   1: a connection - the rest is the byte stream a client sends (start-up
//      message, then requests) through the real handler, without a logon;
//   2: one request decoder - a u16 code and the fields of that request,
//      decoded by its class; a logon's password text also goes through the
//      key derivation and decryption.
// Nothing may read outside a message, assert or leak.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/debug_log.h"
#include "base/logon_password.h"
#include "daemon/buffer.h"
#include "daemon/daemon_config.h"
#include "daemon/protocol.h"
#include "daemon/protocol_requests.h"

namespace {

using zentsd::Buffer;

zentsd::DaemonConfig* g_cfg = nullptr;

bool setup() {
  debug_set_variant(DebugVariant::Daemon);
  debug_daemon_init("", fopen("/dev/null", "w"));
  static char users[] = "/tmp/zentsd-fuzz-users-XXXXXX";
  const int fd = mkstemp(users);
  if (fd < 0) abort();
  const char text[] = "[fuzz]\nName = fuzzer\n";
  if (write(fd, text, sizeof text - 1) != static_cast<ssize_t>(sizeof text - 1)) abort();
  close(fd);
  g_cfg = new zentsd::DaemonConfig;
  g_cfg->charset_id = 1;
  if (g_cfg->users.SetFile(users) != 0) abort();
  unlink(users);  // read once; the table keeps it
  return true;
}

void fill(Buffer& b, const uint8_t* data, size_t size) {
  uint8_t* p = b.RecvAlloc(static_cast<uint32_t>(size));
  if (p == nullptr) abort();
  if (size > 0) memcpy(p, data, size);
}

void run_buffer(const uint8_t* data, size_t size) {
  if (size < 2) return;
  const size_t nscript = data[0] < size - 1 ? data[0] : size - 1;
  const uint8_t* script = data + 1;
  Buffer in;
  Buffer out;
  in.SetLocalCharset(1);
  out.SetLocalCharset(1);
  fill(in, script + nscript, size - 1 - nscript);
  const uint8_t* payload = script + nscript;
  for (size_t i = 0; i < nscript; ++i) {
    const uint32_t from = in.RecvOffset();
    int rc = 0;
    switch (script[i] % 7) {
      case 0: { uint8_t v; if ((rc = in.GetU8(&v)) == 0) out.PutU8(v); break; }
      case 1: { uint16_t v; if ((rc = in.GetU16(&v)) == 0) out.PutU16(v); break; }
      case 2: { uint32_t v; if ((rc = in.GetU32(&v)) == 0) out.PutU32(v); break; }
      case 3: {
        const char* s;
        // A text with a zero byte inside ends there for its users: put again
        // it is shorter, so it is not compared.
        if ((rc = in.GetRawString(&s)) == 0 && strlen(s) + 3 == in.RecvOffset() - from)
          out.PutRawString(s);
        else if (rc == 0)
          out.ResetSend();
        break;
      }
      case 4: {
        const uint8_t* p; uint32_t n;
        if ((rc = in.GetObject(&p, &n)) == 0) {
          uint8_t* o = out.PutObject(n);
          if (o == nullptr) abort();
          memcpy(o, p, n);
        }
        break;
      }
      case 5: { const uint8_t* p; if ((rc = in.GetFixed(&p, script[i] >> 3)) == 0) out.PutFixed(p, script[i] >> 3); break; }
      case 6: { const char* s; rc = in.GetString(&s); break; }  // mapped: not compared
    }
    if (rc != 0) {
      if (in.RecvOffset() != from) abort();  // a refused item is not consumed
      continue;
    }
    if ((script[i] % 7) == 6 || out.SendLength() == 0) {
      out.ResetSend();
      continue;
    }
    // What was put again equals what was taken (objects: their zero byte
    // is written fresh, so only the bytes before it are compared).
    const uint32_t taken = in.RecvOffset() - from;
    if (out.SendLength() < taken && (script[i] % 7) != 4) abort();
    const uint32_t compare = (script[i] % 7) == 4 ? taken - 1 : taken;
    if (memcmp(out.SendPayload() + out.SendLength() - taken, payload + from, compare) != 0) abort();
  }
}

void run_connection(const uint8_t* data, size_t size) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) abort();
  for (size_t off = 0; off < size;) {
    const ssize_t n = write(fds[0], data + off, size - off);
    if (n <= 0) abort();
    off += static_cast<size_t>(n);
  }
  shutdown(fds[0], SHUT_WR);  // the end of the stream follows the input
  zentsd::Connection conn;
  conn.sock = fds[1];
  conn.cfg = g_cfg;
  conn.buf.SetLocalCharset(1);
  if (zentsd::protocol_startup(conn) == 0) zentsd::protocol_loop(conn);
  zentsd::protocol_drop_identity(conn);
  if (conn.authorized) abort();  // no logon can succeed here
  close(fds[1]);
  close(fds[0]);
}

void run_decoder(const uint8_t* data, size_t size) {
  if (size < 2) return;
  const uint16_t code = static_cast<uint16_t>(data[0] << 8 | data[1]);
  std::unique_ptr<zentsd::Protocol> req(zentsd::protocol_create(code));
  if (req == nullptr) return;
  Buffer b;
  b.SetLocalCharset(1);
  fill(b, data + 2, size - 2);
  if (req->GetReq(b) != 0) return;
  if (code == zentsd::REQ_LOGON) {
    auto* logon = static_cast<zentsd::ProtocolLogon*>(req.get());
    char challenge[] = "0123456789abcdef0123456789abcdef";
    uint8_t* key = des_makekey(challenge);
    char* plain = nullptr;
    const int n = decrypt_msg_hex(key, logon->password_hex, static_cast<int>(strlen(logon->password_hex)), &plain);
    if (n >= 0 && (plain == nullptr || strlen(plain) > static_cast<size_t>(n))) abort();
    free(plain);
    free(key);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = setup();
  (void)ready;
  if (size < 1) return 0;
  switch (data[0] % 3) {
    case 0: run_buffer(data + 1, size - 1); break;
    case 1: run_connection(data + 1, size - 1); break;
    case 2: run_decoder(data + 1, size - 1); break;
  }
  return 0;
}
