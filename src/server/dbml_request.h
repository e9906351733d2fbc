// dbml_request.h - request class 3 (DBML): the database calls of the record
// interface and the explicit transactions, each decoded from the session's
// codec, run on the connection's database session and answered with the
// call's status array (and, for DBOPEN and DBGET, data after it). Also the
// start and end of a connection's database session.
//
// Owner: the client session owns its database session (db_session) from
// dbml_open_session to dbml_close_session.
//
// Context: the connection's worker task on the server thread, under one
// shared unit of the API lock. A handler may suspend in the access layer
// (catalog reads, lock waits, I/O) and in the transaction log; nothing here
// suspends on its own. The decode and reply steps allocate nothing while a
// reply fits the session's fixed send area.
#pragma once
#include <cstdint>

struct ClientSession;
struct idb_session;

// Request types (u16 after the request head).
enum DbmlType : uint16_t {
  DBML_OPEN = 1,
  DBML_CLOSE = 2,
  DBML_INFO = 3,
  DBML_LOCK = 4,
  DBML_UNLOCK = 5,
  DBML_PUT = 6,
  DBML_FIND = 7,
  DBML_GET = 8,
  DBML_UPDATE = 9,
  DBML_DELETE = 10,
  DBML_CREATE = 11,
  DBML_ERASE = 12,
  DBML_PURGE = 13,
  DBML_LOGON = 14,
  DBML_BEGIN = 15,
  DBML_ROLLBACK = 16,
  DBML_PRECOMMIT = 17,
  DBML_FINALCOMMIT = 18,
};

// Bytes of the status reply: request id, 0, mask, ten status words.
inline constexpr uint32_t kDbmlStatusReplySize = 46;
// Mask of a failed call: words 0 and 4 to 9.
inline constexpr uint16_t kDbmlFailMask = 1009;

// The name of a request type ("** unknown **" outside 1..18).
const char* dbml_request_name(int type);
// Reads the request type and runs its handler: 0 when a reply was built,
// -1 when the connection must be closed without one.
int dbml_request(ClientSession* session);
// Starts a new reply and writes the status reply: mask while word 0 is 0,
// kDbmlFailMask otherwise.
void dbml_status_reply(ClientSession* session, const int32_t* status, uint16_t mask);
// The clear password of a logon's hex cipher text under the session's
// challenge. 0 with *out a new heap string (none for an empty cipher text:
// no password); S_BADPSWD for cipher text that is refused; S_SYSTEM when the
// key could not be made (no memory).
int32_t decrypt_pswd(ClientSession* session, const char* cipher, char** out);
// Nonzero while the session's outermost transaction is pre-committed: until
// its FINAL-COMMIT or ROLLBACK, BEGIN, PRE-COMMIT and the data-changing
// calls answer 34. FINAL-COMMIT answers 34 while it is not.
int dbml_tx_precommitted(const idb_session* s);

// Right after the handshake: the connection's database session. 0 or -1.
int dbml_open_session(ClientSession* session);
// When an established connection ends: the catalog maps, the scan maps,
// then the database session (its databases, locks and transactions).
void dbml_close_session(ClientSession* session);
// The count of open database sessions (seam_db_sessions_open) and the
// lookup of a task's session state (seam_install_session_lookup) are
// declared in server_seams.h and kept with the sessions here.
