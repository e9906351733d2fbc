// protocol.h - the session daemon's protocol on one connection: the
// start-up exchange, the request loop and the `Protocol` family of request
// classes. docs/zentsd-protocol.md is the client writer's reference.
//
// One handler serves one connection with one thread (the connection's own
// process). Frames are a u32 big-endian length and the payload; a request
// is a u16 code and its fields; a reply is a u16 status (0 success, 2
// failure with one string) and its payload. A request longer than 256 bytes
// before a successful logon, or 0x100000 after it, ends the connection
// unread. Until a logon succeeds every wait for the client is also bounded
// by the logon deadline (`logonTimeout` from the start), so that silent
// connections cannot hold the handler slots. A request that cannot be
// decoded ends the connection (never the process) without a reply. Every
// other refusal is a status-2 reply.
//
// Identity: a logon attempt first drops the connection's authorization and
// goes back to the daemon's own identity. In a client handler (the
// connection's own process) a successful one makes the process the user for
// good, without a capability left, and refuses later attempts; served in the
// listening process it impersonates the user until the next attempt or the
// end of the connection. `zentcore` is only ever started as the logged-on
// user.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "base/logon_password.h"
#include "daemon/buffer.h"
#include "daemon/daemon_config.h"
#include "platform/logon.h"

namespace zentsd {

inline constexpr char kProtocolMagic[8] = {'Z', 'N', '.', 'Z', 'E', 'N', 'T', 'D'};
inline constexpr uint16_t kProtocolRevision = 5;
inline constexpr uint32_t kLimitBeforeLogon = 256;
inline constexpr uint32_t kLimitAfterLogon = 0x100000;
// How long a failed logon's reply waits when the parent cannot say.
inline constexpr int kLogonDelayFallbackMs = 5000;

enum RequestCode : uint16_t {
  REQ_NOP = 0,
  REQ_REGISTER = 1,
  REQ_LOGON = 10,
  REQ_AUTHZENTD = 11,
  REQ_START = 20,
  REQ_DLGSRV = 21,
  REQ_REXEC = 22,
  REQ_DDE = 30,
  REQ_HOSTLIST = 40,
  REQ_PSLIST = 41,
  REQ_ATTACH = 50,
  REQ_DEBUGSTART = 51,
  REQ_SHARELIST = 60,
  REQ_FILELIST = 61,
  REQ_FILESTAT = 62,
  REQ_MAPPATH = 63,
  REQ_REVERSEMAPPATH = 64,
  REQ_FILELOAD = 70,
  REQ_FILESAVE = 71,
};

inline constexpr uint16_t kStatusOk = 0;
inline constexpr uint16_t kStatusFailure = 2;

inline constexpr const char* kNotAuthorized = "Sorry, you are not authorized";

// The state of one connection.
struct Connection {
  int sock = -1;
  Buffer buf;
  DaemonConfig* cfg = nullptr;
  bool authorized = false;  // a logon succeeded; lifts the receive limit
  bool has_token = false;
  platform::LogonToken token;
  char challenge[kChallengeLen + 1] = {};
  uint32_t peer_addr = 0;  // the peer's IPv4 address and name, for the parent
  std::string peer_host;
  int exit_status = 0;  // the handler's exit status when the loop ends
  int stop_fd = -1;     // readable when the daemon stops (serving in the listening process)
  bool own_process = false;  // a client handler: a logon gives root up for good
  // zentcore's directory, read at the logon while the registry is still
  // read as the daemon; or the error that reading met.
  std::string bin_dir;
  int bin_err = 0;
  int64_t logon_due = -1;  // monotonic ms by which a logon must succeed; -1 none
};

// The base of the request classes. The base versions of the five
// operations are fatal; a class overrides what it needs.
class Protocol {
 public:
  virtual ~Protocol() = default;
  // Server side: appends the success payload. 0 or -1.
  virtual int PutReply(Buffer& buf);
  // Client side: decodes a reply's payload.
  virtual int GetReply(Buffer& buf);
  // Server side: decodes the request's fields. 0, or -1 (ends the connection).
  virtual int GetReq(Buffer& buf);
  // Client side: encodes code and fields.
  virtual int PutReq(Buffer& buf);
  // Server side: acts and replies. 0 to go on, non-zero to end the loop.
  virtual int Execute(Connection& conn);
};

// The server side's requests: no client-side operations, and no success
// payload unless a class appends one.
class ServerRequest : public Protocol {
 public:
  int PutReply(Buffer&) override { return 0; }
  int GetReply(Buffer&) override { return 0; }
  int PutReq(Buffer&) override { return 0; }
};

// The request class for a code, or none for an unknown code (or no memory).
Protocol* protocol_create(uint16_t code);
// The class name of a code ("ProtocolLogon"), or "unknown".
const char* protocol_name(uint16_t code);

// Replies: status 0 with req's payload (none: no payload), or status 2 with
// text. 0 when sent; 1 after "tcp_send(): failed" (the loop ends).
int reply_ok(Connection& conn, Protocol* req);
// Sends the reply built in conn.buf and drops it; 0, or 1 after the log line.
int send_reply(Connection& conn);
int reply_failure(Connection& conn, const char* text);
// True when conn is authorized; else replies "Sorry, you are not
// authorized" and leaves what Execute returns in *result.
bool require_logon(Connection& conn, int* result);

// u16 n and n strings.
int get_string_list(Buffer& buf, std::vector<const char*>* out);

// Runs the protocol on a connected socket with the loaded configuration:
// socket options (keep-alive, nothing else), peer, start-up, request loop,
// then back to the daemon's identity. Returns the handler's exit status (1
// after a failed start of zentcore, else 0). A readable stop_fd (none: -1)
// ends a wait for the client's next request; without one the process is the
// connection's own (a client handler) and a logon makes it the user for good.
int protocol_serve(int sock, DaemonConfig* cfg, int stop_fd = -1);
// The start-up exchange: 0 when the challenge was sent, -1 when the
// connection ends.
int protocol_startup(Connection& conn);
// The request loop until a request ends it or the client goes.
void protocol_loop(Connection& conn);
// Receives one frame within the current limit and the configured time-out
// into conn.buf. 0, or -1 when the connection ends.
int protocol_recv_frame(Connection& conn);
// Back to the daemon's own identity, the token and authorization dropped.
// A connection that was logged on gets a fresh logon deadline.
void protocol_drop_identity(Connection& conn);
// Waits ms; a readable stop descriptor cuts it short (-1, logged), else 0.
int protocol_pause(Connection& conn, int ms);

}  // namespace zentsd
