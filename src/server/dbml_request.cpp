// dbml_request.cpp - request class 3 (see dbml_request.h).
//
// Every handler follows one pattern: name the codec context, decode its
// whole row, test the decode flag once, log its arguments at P2, run the
// call on a zeroed status array, build the status reply, and report a
// reply that could not be built. A decoding failure closes the connection
// without a reply.
#include "server/dbml_request.h"

#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <unordered_map>

#include "access/idb_dbctx.h"
#include "access/idb_delete.h"
#include "access/idb_get.h"
#include "access/idb_find.h"
#include "access/idb_info.h"
#include "access/idb_lock.h"
#include "access/idb_lockdesc.h"
#include "access/idb_logon.h"
#include "access/idb_open.h"
#include "access/idb_put.h"
#include "access/idb_session.h"
#include "access/idb_status.h"
#include "access/idb_update.h"
#include "base/debug_log.h"
#include "base/logon_password.h"
#include "base/panic.h"
#include "base/task_kernel.h"
#include "base/vbuf.h"
#include "platform/clock.h"
#include "server/buffer.h"
#include "server/client_session.h"
#include "server/db_admin.h"
#include "server/dispatch.h"
#include "server/logon_throttle.h"
#include "server/scan_request.h"
#include "server/schema_block.h"
#include "server/server_tasks.h"
#include "server/server_seams.h"
#include "server/system_tasks.h"
#include "server/syscat_maps.h"
#include "storage/ssn.h"
#include "storage/tlog.h"

namespace {

constexpr uint32_t kTrimAfterHeld = 64;

constexpr const char* kNames[] = {
    "DBOPEN",   "DBCLOSE",  "DBINFO",  "DBLOCK",  "DBUNLOCK", "DBPUT",
    "DBFIND",   "DBGET",    "DBUPDATE", "DBDELETE", "DBCREATE", "DBERASE",
    "DBPURGE",  "LOGON",    "BEGIN",   "ROLLBACK", "PRE-COMMIT", "FINAL-COMMIT",
};
static_assert(sizeof kNames / sizeof kNames[0] == 18);

// Status masks by request type.
constexpr uint16_t kMaskAll = 1023;
constexpr uint16_t kMaskClose = 1009;
constexpr uint16_t kMaskInfo = 1015;

Buffer* buf_of(ClientSession* session) { return &session->buffer; }

void put32(uint8_t* p, uint32_t v, uint32_t order) {
  for (int i = 0; i < 4; ++i)
    p[order == kBigEndian ? 3 - i : i] = static_cast<uint8_t>(v >> (8 * i));
}

// The status reply after request id and 0: the mask (by the rule of word 0)
// and ten words in a row, without alignment (44 bytes at p).
void put_status(uint8_t* p, const int32_t* status, uint16_t mask, uint32_t order) {
  const uint16_t m = status[0] == 0 ? mask : kDbmlFailMask;
  p[order == kBigEndian ? 0 : 1] = static_cast<uint8_t>(m >> 8);
  p[order == kBigEndian ? 1 : 0] = static_cast<uint8_t>(m);
  for (int i = 0; i < IDB_STATUS_WORDS; ++i)
    put32(p + 2 + 4 * i, static_cast<uint32_t>(status[i]), order);
}


// The common end of a handler: -1 when the reply could not be built.
int reply_result(ClientSession* session) {
  return Buffer_SendFailed(&session->buffer) ? -1 : 0;
}

void log_status(const int32_t* status, uint16_t mask) {
  if (!debug_enabled('P', 2)) return;
  for (int i = 0; i < IDB_STATUS_WORDS; ++i)
    if (status[i] != 0 && (mask & (1u << i)) != 0)
      debug_log('P', 2, " status[%d] = %d", i, status[i]);
}

// Builds the status reply and logs its words.
int status_reply(ClientSession* session, const int32_t* status, uint16_t mask) {
  dbml_status_reply(session, status, mask);
  log_status(status, status[0] == 0 ? mask : kDbmlFailMask);
  return reply_result(session);
}

// A status of one code, for refusals the class itself decides.
int refuse(ClientSession* session, int32_t* status, int32_t code) {
  status[0] = code;
  return status_reply(session, status, kMaskAll);
}

int begin_handler(ClientSession* session, const char* context) {
  Buffer_SetContext(buf_of(session), context);
  return 0;
}

// --- Decoders: exactly one row of the request table each --------------------

struct LockArgs {
  uint16_t dbid = 0;
  uint8_t mode = 0;
  uint16_t setno = 0;
  const uint8_t* descr = nullptr;
  uint32_t descr_size = 0;
};

void decode_lock(Buffer* b, LockArgs* a) {
  Buffer_Get_u16(b, &a->dbid);
  Buffer_Get_u8(b, &a->mode);
  switch (a->mode) {
    case 3: case 4: case 13: case 14:
      Buffer_Get_u16(b, &a->setno);
      break;
    case 5: case 6: case 15: case 16:
      Buffer_Get_align(b, 4);
      Buffer_Get_obj(b, &a->descr, &a->descr_size);
      break;
    default:
      break;
  }
}

struct RecordArgs {  // DBPUT and DBUPDATE
  uint16_t dbid = 0;
  uint16_t setno = 0;
  uint8_t mode = 0;
  const char* list = nullptr;
  uint32_t length = 0;
  const uint8_t* record = nullptr;
};

void decode_record(Buffer* b, RecordArgs* a) {
  Buffer_Get_u16(b, &a->dbid);
  Buffer_Get_u16(b, &a->setno);
  Buffer_Get_u8(b, &a->mode);
  Buffer_Get_str(b, &a->list);
  Buffer_Get_align(b, 4);
  Buffer_Get_u32(b, &a->length);
  // A record of no bytes, or after fields that failed, is undecodable.
  if (Buffer_RecvFailed(b)) return;
  Buffer_Get_raw(b, &a->record, a->length);
  if (a->length == 0) b->recv_decode_failed = -1;
}

struct ListArgs {  // DBCREATE, DBERASE, DBPURGE
  uint16_t dbid = 0;
  uint8_t mode = 0;
  const uint8_t* list = nullptr;
  uint32_t size = 0;
};

void decode_list(Buffer* b, ListArgs* a) {
  Buffer_Get_u16(b, &a->dbid);
  Buffer_Get_u8(b, &a->mode);
  Buffer_Get_align(b, 4);
  Buffer_Get_obj(b, &a->list, &a->size);
}

// --- Handlers -----------------------------------------------------------------

int dbml_open(ClientSession* session) {
  Buffer* b = buf_of(session);
  begin_handler(session, "dbml_open()");
  const char* db = nullptr;
  const char* password = nullptr;
  uint8_t mode = 0;
  Buffer_Get_str(b, &db);
  Buffer_Get_str(b, &password);
  Buffer_Get_u8(b, &mode);
  if (Buffer_RecvFailed(b)) return -1;
  debug_log('P', 2, "dbml_open(): db = \"%s\" mode = %d", LogText(db).c_str(), mode);
  idb_status status{};
  idb_open(session->db_session, db, password, mode, status);
  dbml_status_reply(session, status, kMaskAll);
  if (status[0] == 0) {
    const int32_t dbid = status[9];
    debug_log('P', 2, " dbid = %d", dbid);
    if (dbml_schema_block(b, dbid, session->db_session) != 0) {
      // The partial block goes with the reply that is built again.
      idb_status ignored{};
      idb_close(session->db_session, dbid, nullptr, 0, 1, ignored);
      idb_status failed{};
      failed[0] = IDB_RC_SCHEMA_BLOCK;
      failed[9] = S_SYSTEM;
      return status_reply(session, failed, kMaskAll);
    }
  }
  log_status(status, status[0] == 0 ? kMaskAll : kDbmlFailMask);
  return reply_result(session);
}

int dbml_close(ClientSession* session) {
  Buffer* b = buf_of(session);
  begin_handler(session, "dbml_close()");
  uint16_t dbid = 0, setno = 0;
  uint8_t mode = 0;
  Buffer_Get_u16(b, &dbid);
  Buffer_Get_u8(b, &mode);
  Buffer_Get_u16(b, &setno);
  if (Buffer_RecvFailed(b)) return -1;
  debug_log('P', 2, "dbml_close(): dbid = %d mode = %d setno = %d", dbid, mode, setno);
  idb_status status{};
  const int32_t set_ref = setno;
  idb_close(session->db_session, dbid, &set_ref, sizeof set_ref, mode, status);
  return status_reply(session, status, kMaskClose);
}

int dbml_info202(ClientSession* session) {
  Buffer* b = buf_of(session);
  begin_handler(session, "dbml_info202()");
  uint16_t dbid = 0, qualifier = 0, mode = 0;
  Buffer_Get_u16(b, &dbid);
  Buffer_Get_u16(b, &qualifier);
  Buffer_Get_u16(b, &mode);
  if (Buffer_RecvFailed(b)) return -1;
  debug_log('P', 2, "dbml_info202(): dbid = %d qualifier = %d mode = %d", dbid, qualifier, mode);
  idb_status status{};
  if (mode != 202) {
    // Only the set description travels on the wire.
    status[5] = IDB_INFO;
    status[8] = mode;
    return refuse(session, status, S_BADMODE);
  }
  const int32_t ref = qualifier;
  uint8_t answer[IDB_INFO_202_LEN];
  idb_info(session->db_session, dbid, &ref, sizeof ref, mode, status, answer, sizeof answer);
  dbml_status_reply(session, status, kMaskInfo);
  if (status[0] == 0) {
    uint32_t rec_len, records, highest;
    memcpy(&rec_len, answer + 20, 4);
    memcpy(&records, answer + 24, 4);
    memcpy(&highest, answer + 28, 4);
    Buffer_Put_nzstr(b, reinterpret_cast<const char*>(answer), 16);
    Buffer_Put_u8(b, answer[16]);
    Buffer_Put_u16(b, static_cast<uint16_t>(rec_len));
    Buffer_Put_u32(b, records);
    Buffer_Put_u32(b, highest);
  }
  log_status(status, status[0] == 0 ? kMaskInfo : kDbmlFailMask);
  return reply_result(session);
}

using LockCall = int (*)(idb_session*, int32_t, const void*, uint32_t, int32_t, int32_t*);

int dbml_lock_request(ClientSession* session, const char* context, LockCall call,
                      uint16_t mask) {
  Buffer* b = buf_of(session);
  begin_handler(session, context);
  LockArgs a;
  decode_lock(b, &a);
  if (Buffer_RecvFailed(b)) return -1;
  debug_log('P', 2, "%s: dbid = %d mode = %d setno = %d", context, a.dbid, a.mode, a.setno);
  idb_status status{};
  const int32_t set_ref = a.setno;
  const void* qualifier = nullptr;
  uint32_t size = 0;
  switch (a.mode) {
    case 3: case 4: case 13: case 14:
      qualifier = &set_ref;
      size = sizeof set_ref;
      break;
    case 5: case 6: case 15: case 16:
      qualifier = a.descr;
      size = a.descr_size;
      break;
    default:
      break;
  }
  call(session->db_session, a.dbid, qualifier, size, a.mode, status);
  return status_reply(session, status, mask);
}

int dbml_lock(ClientSession* session) {
  return dbml_lock_request(session, "dbml_lock()", idb_lock, kMaskAll);
}
int dbml_unlock(ClientSession* session) {
  return dbml_lock_request(session, "dbml_unlock()", idb_unlock, kMaskClose);
}

// A data-changing call while the outermost transaction is pre-committed
// answers 34: its work would otherwise join a unit already sealed and be
// lost at the final commit.
int precommitted_refusal(ClientSession* session, int32_t intrinsic, int32_t mode) {
  idb_status status{};
  status[5] = intrinsic;
  status[8] = mode;
  return refuse(session, status, IDB_RC_TX_LEVEL);
}

// The end every data-changing request shares: the refusal above, else the
// call on a zeroed status array and its status reply.
template <class Call>
int changing_call(ClientSession* session, int32_t intrinsic, int32_t mode, Call call) {
  if (dbml_tx_precommitted(session->db_session)) return precommitted_refusal(session, intrinsic, mode);
  idb_status status{};
  call(status);
  return status_reply(session, status, kMaskAll);
}

using RecordCall = int (*)(idb_session*, int32_t, const void*, int, int32_t, const void*, int,
                           std::span<const uint8_t>, int32_t*);

// DBPUT and DBUPDATE: one row, one call shape.
int dbml_record_request(ClientSession* session, const char* context, int32_t intrinsic,
                        RecordCall call) {
  Buffer* b = buf_of(session);
  begin_handler(session, context);
  RecordArgs a;
  decode_record(b, &a);
  if (Buffer_RecvFailed(b)) return -1;
  debug_log('P', 2, "%s: dbid = %d setno = %d mode = %d", context, a.dbid, a.setno, a.mode);
  return changing_call(session, intrinsic, a.mode, [&](int32_t* status) {
    const int32_t set_ref = a.setno;
    // The record is taken as sent: the call refuses one shorter than the set's.
    call(session->db_session, a.dbid, &set_ref, sizeof set_ref, a.mode, a.list,
         a.list != nullptr ? static_cast<int>(strlen(a.list)) + 1 : 0,
         std::span<const uint8_t>(a.record, a.length), status);
  });
}

int dbml_put(ClientSession* session) {
  return dbml_record_request(session, "dbml_put()", IDB_PUT, idb_put);
}
int dbml_update(ClientSession* session) {
  return dbml_record_request(session, "dbml_update()", IDB_UPDATE, idb_update);
}

int dbml_find(ClientSession* session) {
  Buffer* b = buf_of(session);
  begin_handler(session, "dbml_find()");
  uint16_t dbid = 0, setno = 0, itemno = 0;
  uint8_t mode = 0;
  const uint8_t* arg = nullptr;
  uint32_t arg_size = 0;
  Buffer_Get_u16(b, &dbid);
  Buffer_Get_u16(b, &setno);
  Buffer_Get_u8(b, &mode);
  Buffer_Get_u16(b, &itemno);
  Buffer_Get_align(b, 4);
  Buffer_Get_obj(b, &arg, &arg_size);
  if (Buffer_RecvFailed(b)) return -1;
  debug_log('P', 2, "dbml_find(): dbid = %d setno = %d mode = %d itemno = %d", dbid, setno, mode,
            itemno);
  idb_status status{};
  const int32_t set_ref = setno;
  const int32_t item_ref = itemno;
  idb_find(session->db_session, dbid, &set_ref, sizeof set_ref, mode, &item_ref, sizeof item_ref,
           std::span<const uint8_t>(arg, arg_size), status);
  return status_reply(session, status, kMaskAll);
}

int dbml_get(ClientSession* session) {
  Buffer* b = buf_of(session);
  begin_handler(session, "dbml_get()");
  uint16_t dbid = 0, setno = 0;
  uint8_t mode = 0;
  const char* list = nullptr;
  uint32_t size = 0;
  int32_t recno = 0;
  const uint8_t* key = nullptr;
  uint32_t key_size = 0;
  Buffer_Get_u16(b, &dbid);
  Buffer_Get_u16(b, &setno);
  Buffer_Get_u8(b, &mode);
  Buffer_Get_str(b, &list);
  Buffer_Get_u32(b, &size);  // no alignment before the size
  if (mode == 4) {
    Buffer_Get_i32(b, &recno);
  } else if (mode == 7) {
    Buffer_Get_align(b, 4);
    Buffer_Get_obj(b, &key, &key_size);
  }
  if (Buffer_RecvFailed(b)) return -1;
  debug_log('P', 2, "dbml_get(): dbid = %d setno = %d mode = %d buffer size = %ld", dbid, setno,
            mode, static_cast<long>(size));
  // The record goes straight into the reply, behind a status reply that is
  // filled once the call succeeds. Offsets, not pointers: a reserve may move
  // the message.
  start_reply(session);
  const uint32_t head = b->send_used;
  Buffer_Put_raw(b, kDbmlStatusReplySize - 4);
  Buffer_Put_align(b, 4);
  const uint32_t data_at = b->send_used;
  Buffer_Put_raw(b, size);
  if (Buffer_SendFailed(b)) return -1;  // larger than a message may be
  uint8_t* const data = b->send_buf + 4 + data_at;
  const int32_t set_ref = setno;
  std::span<const uint8_t> arg;
  if (mode == 4) arg = {reinterpret_cast<const uint8_t*>(&recno), sizeof recno};
  if (mode == 7) arg = {key, key_size};
  idb_status status{};
  idb_get(session->db_session, dbid, &set_ref, sizeof set_ref, mode, list,
          static_cast<int>(strlen(list)), {data, size}, arg, status);
  if (status[0] != 0) return status_reply(session, status, kMaskAll);
  // Bytes past the record would otherwise carry an earlier reply's data.
  const uint32_t rec_len = static_cast<uint32_t>(status[1]);
  if (rec_len < size) memset(data + rec_len, 0, size - rec_len);
  put_status(b->send_buf + 4 + head, status, kMaskAll, b->wire_order);
  log_status(status, kMaskAll);
  return reply_result(session);
}

int dbml_delete(ClientSession* session) {
  Buffer* b = buf_of(session);
  begin_handler(session, "dbml_delete()");
  uint16_t dbid = 0, setno = 0;
  uint8_t mode = 0;
  Buffer_Get_u16(b, &dbid);
  Buffer_Get_u16(b, &setno);
  Buffer_Get_u8(b, &mode);
  if (Buffer_RecvFailed(b)) return -1;
  debug_log('P', 2, "dbml_delete(): dbid = %d setno = %d mode = %d", dbid, setno, mode);
  return changing_call(session, IDB_DELETE, mode, [&](int32_t* status) {
    const int32_t set_ref = setno;
    idb_delete(session->db_session, dbid, &set_ref, sizeof set_ref, mode, status);
  });
}

using DbFunction = int (*)(idb_session*, int32_t, int32_t, int32_t*, uint32_t, const int32_t*);

int dbml_list_request(ClientSession* session, const char* context, int32_t intrinsic,
                      DbFunction call, const char* checkpoint) {
  Buffer* b = buf_of(session);
  begin_handler(session, context);
  ListArgs a;
  decode_list(b, &a);
  if (Buffer_RecvFailed(b)) return -1;
  debug_log('P', 2, "%s: dbid = %d mode = %d", context, a.dbid, a.mode);
  const uint32_t count = a.size / 4;
  vbuf* words = VBUF_OPEN(count * 4 + 4);
  int32_t* list = static_cast<int32_t*>(words->data);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* p = a.list + 4 * i;
    const uint32_t v = b->wire_order == kBigEndian
                           ? uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]
                           : uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
    list[i] = static_cast<int32_t>(v);
    debug_log('P', 2, " list[%u] = %d", i, list[i]);
  }
  const int rc = changing_call(session, intrinsic, a.mode, [&](int32_t* status) {
    call(session->db_session, a.dbid, a.mode, status, count, list);
    schedule_checkpoint(checkpoint, 0);
  });
  VBuf_Close(words);
  return rc;
}

int dbml_create(ClientSession* session) {
  return dbml_list_request(session, "dbml_create()", IDB_CREATE, db_create, "DBCREATE");
}
int dbml_erase(ClientSession* session) {
  return dbml_list_request(session, "dbml_erase()", IDB_ERASE, db_erase, "DBERASE");
}
int dbml_purge(ClientSession* session) {
  return dbml_list_request(session, "dbml_purge()", IDB_PURGE, db_purge, "DBPURGE");
}

int dbml_logon(ClientSession* session) {
  Buffer* b = buf_of(session);
  begin_handler(session, "dbml_logon()");
  const char* user = nullptr;
  const char* cipher = nullptr;
  Buffer_Get_str(b, &user);
  Buffer_Get_str(b, &cipher);
  if (Buffer_RecvFailed(b)) return -1;
  debug_log('P', 2, "dbml_logon(): user = \"%s\"", LogText(user).c_str());
  idb_status status{};
  char* password = nullptr;
  const int32_t code = decrypt_pswd(session, cipher, &password);
  if (code != 0) {
    // Refused cipher text is a failed logon; the identity stays.
    status[5] = IDB_LOGON;
    idb__fail_status(session->db_session, code, status);
  } else {
    idb_logon(session->db_session, user, password, status);
  }
  if (password != nullptr) {
    explicit_bzero(password, strlen(password));
    free(password);
  }
  if (status[0] == 0) {
    logon_throttle_succeeded(session->peer_addr);
  } else {
    // Guessing is slowed per address; the task waits, the server thread not.
    int failures = 0;
    const int wait_ms = logon_throttle_failed(session->peer_addr, platform::monotonic_ms(), &failures);
    char addr[16];
    debug_log('P', 1, "Logon of user \"%s\" from %s failed (%d in a row), reply delayed %d ms",
              LogText(user).c_str(), format_ipv4(session->peer_addr, addr), failures, wait_ms);
    if (logon_throttle_wait(wait_ms) != 0) return -1;  // closing, or no timer: drop it
  }
  return status_reply(session, status, kMaskAll);
}

Node* tx_node(ClientSession* session) { return idb__tx_node(session->db_session); }

// -801 with the task's error code.
void tx_failed(int32_t* status) {
  status[0] = S_VOLUME;
  status[9] = idb__lower_status();
}

void end_of_transaction(ClientSession* session) {
  idb__del_tx_locks(session->db_session);
  session->db_session->tx_precommitted = 0;
}

int dbml_begin(ClientSession* session) {
  Buffer* b = buf_of(session);
  begin_handler(session, "dbml_begin()");
  uint8_t mode = 0, tx_lvl = 0;
  uint32_t tx_id = 0;
  const char* comment = nullptr;
  Buffer_Get_u8(b, &mode);
  Buffer_Get_u8(b, &tx_lvl);
  Buffer_Get_u32(b, &tx_id);
  Buffer_Get_str(b, &comment);
  if (Buffer_RecvFailed(b)) return -1;
  if (comment != nullptr && comment[0] == '\0') comment = nullptr;
  if (comment != nullptr)
    debug_log('P', 2, "dbml_begin(): mode = %d tx_lvl = %d tx_id = %u comment = \"%s\"", mode,
              tx_lvl, tx_id, LogText(comment).c_str());
  else
    debug_log('P', 2, "dbml_begin(): mode = %d tx_lvl = %d tx_id = %u comment = NULL", mode,
              tx_lvl, tx_id);
  idb_status status{};
  status[5] = IDB_BEGIN;
  status[8] = mode;
  Node* node = tx_node(session);
  if (dbml_tx_precommitted(session->db_session) || tx_lvl != Tlog_TxDepth(node))
    return refuse(session, status, IDB_RC_TX_LEVEL);
  // 0 names no transaction (a ROLLBACK of 0 means all of them); the log
  // takes it for an internal fault.
  if (tx_id == 0) return refuse(session, status, S_BAD);
  if (Tlog_Begin(node, comment, tx_id) != 0) {
    tx_failed(status);
  } else {
    status[1] = static_cast<int32_t>(tx_id);
    status[2] = tx_lvl + 1;
    status[5] = 0;
  }
  return status_reply(session, status, kMaskAll);
}

int dbml_rollback(ClientSession* session) {
  Buffer* b = buf_of(session);
  begin_handler(session, "dbml_rollback()");
  uint8_t mode = 0, tx_lvl = 0;
  uint32_t tx_id = 0;
  Buffer_Get_u8(b, &mode);
  Buffer_Get_u8(b, &tx_lvl);
  Buffer_Get_u32(b, &tx_id);
  if (Buffer_RecvFailed(b)) return -1;
  debug_log('P', 2, "dbml_rollback(): mode = %d tx_lvl = %d tx_id = %u", mode, tx_lvl, tx_id);
  idb_status status{};
  status[5] = IDB_ROLLBACK;
  status[8] = mode;
  Node* node = tx_node(session);
  if (tx_id != 0 && tx_lvl != Tlog_TxDepth(node)) return refuse(session, status, IDB_RC_TX_LEVEL);
  syscat_before_rollback(session);
  if (Tlog_Rollback(node, tx_id) != 0) {
    tx_failed(status);
  } else {
    const uint32_t depth = Tlog_TxDepth(node);
    if (depth == 0) end_of_transaction(session);
    status[2] = static_cast<int32_t>(depth);
    status[5] = 0;
  }
  return status_reply(session, status, kMaskAll);
}

int dbml_commit1(ClientSession* session) {
  Buffer* b = buf_of(session);
  begin_handler(session, "dbml_commit1()");
  uint8_t mode = 0, tx_lvl = 0;
  Buffer_Get_u8(b, &mode);
  Buffer_Get_u8(b, &tx_lvl);
  if (Buffer_RecvFailed(b)) return -1;
  debug_log('P', 2, "dbml_commit1(): mode = %d tx_lvl = %d", mode, tx_lvl);
  idb_status status{};
  status[5] = IDB_COMMIT;
  status[8] = mode;
  Node* node = tx_node(session);
  idb_session* s = session->db_session;
  if (dbml_tx_precommitted(s) || tx_lvl != Tlog_TxDepth(node))
    return refuse(session, status, IDB_RC_TX_LEVEL);
  if (Tlog_Commit(node) != 0) {
    tx_failed(status);
    return status_reply(session, status, kMaskAll);
  }
  for (uint32_t level = tx_lvl;;) {
    if (level == 1) {
      if (mode == 12) {
        Tlog_FinalCommit(node);
        end_of_transaction(session);
      } else {
        // Sealed but open until FINAL-COMMIT or ROLLBACK.
        s->tx_precommitted = 1;
      }
    }
    --level;
    if (level == 0 || (mode != 2 && mode != 12)) break;
    if (Tlog_Commit(node) != 0) {
      tx_failed(status);
      return status_reply(session, status, kMaskAll);
    }
  }
  status[5] = 0;
  return status_reply(session, status, kMaskAll);
}

int dbml_commit2(ClientSession* session) {
  begin_handler(session, "dbml_commit2()");
  debug_log('P', 2, "dbml_commit2()");
  idb_status status{};
  status[5] = IDB_COMMIT;
  Node* node = tx_node(session);
  // Only a pre-committed transaction has its work where the final commit
  // takes it from: one that was not would be reported committed and lost.
  if (Tlog_TxDepth(node) != 1 || !dbml_tx_precommitted(session->db_session))
    return refuse(session, status, IDB_RC_TX_LEVEL);
  Tlog_FinalCommit(node);
  end_of_transaction(session);
  status[5] = 0;
  return status_reply(session, status, kMaskAll);
}

using Handler = int (*)(ClientSession*);
constexpr Handler kHandlers[] = {
    dbml_open,   dbml_close,  dbml_info202, dbml_lock,  dbml_unlock,   dbml_put,
    dbml_find,   dbml_get,    dbml_update,  dbml_delete, dbml_create,  dbml_erase,
    dbml_purge,  dbml_logon,  dbml_begin,   dbml_rollback, dbml_commit1, dbml_commit2,
};
static_assert(sizeof kHandlers / sizeof kHandlers[0] == 18);

}  // namespace

const char* dbml_request_name(int type) {
  return type >= 1 && type <= 18 ? kNames[type - 1] : "** unknown **";
}

void dbml_status_reply(ClientSession* session, const int32_t* status, uint16_t mask) {
  Buffer* b = buf_of(session);
  start_reply(session);
  // One reserve, no per-word calls.
  if (uint8_t* p = Buffer_Put_raw(b, kDbmlStatusReplySize - 4))
    put_status(p, status, mask, b->wire_order);
}

int dbml_request(ClientSession* session) {
  uint16_t type = 0;
  if (Buffer_Get_u16(buf_of(session), &type) != 0) return -1;
  debug_log('P', 2, "Processing dbml request type %d (%s)", type, dbml_request_name(type));
  if (type < 1 || type > 18) {
    debug_log('P', 1, "Unsupported DBML request %d", type);
    return -1;
  }
  return kHandlers[type - 1](session);
}

int32_t decrypt_pswd(ClientSession* session, const char* cipher, char** out) {
  *out = nullptr;
  if (cipher == nullptr || cipher[0] == '\0') return 0;  // no password
  char tmp_challenge[65];
  const char* challenge = session->challenge != nullptr ? session->challenge : "";
  ZENT_ASSERT(strlen(challenge) < sizeof tmp_challenge &&
              "strlen(session->challenge) < sizeof(tmp_challenge)");
  strcpy(tmp_challenge, challenge);
  uint8_t* key = des_makekey(tmp_challenge);
  if (key == nullptr) {
    debug_log('P', 1, "decrypt_pswd() failed on des_makekey()");
    return S_SYSTEM;
  }
  const size_t len = strlen(cipher);
  const int n = len <= 0x7fffffff ? decrypt_msg_hex(key, cipher, static_cast<int>(len), out) : -1;
  explicit_bzero(key, kKeyBlockSize);
  free(key);
  if (n < 0) {
    *out = nullptr;
    debug_log('P', 2, "decrypt_pswd(): cipher text refused");
    return S_BADPSWD;
  }
  return 0;
}

int dbml_tx_precommitted(const idb_session* s) { return s != nullptr && s->tx_precommitted != 0; }

// --- The connection's database session ----------------------------------------

namespace {
int g_db_sessions_open = 0;
// The client sessions that have a database session: a task's user data is
// taken for a client session only when it is one of them (other tasks keep
// other records there).
std::unordered_map<const void*, idb_session*> g_db_sessions;

Ssn_STATE* session_state(Task* task) {
  auto it = g_db_sessions.find(thread_get_data(task));
  return it != g_db_sessions.end() ? &it->second->ssn : nullptr;
}
}  // namespace

void seam_install_session_lookup() { ssn_set_lookup(session_state); }

int dbml_open_session(ClientSession* session) {
  idb_session* s = nullptr;
  if (idb_init_session(session, &s) != 0) return -1;
  s->ssn.client = session;
  try {
    g_db_sessions[session] = s;
  } catch (const std::bad_alloc&) {
    idb_exit_session(s);
    return -1;
  }
  session->db_session = s;
  ++g_db_sessions_open;
  return 0;
}

void dbml_close_session(ClientSession* session) {
  if (session->db_session == nullptr) return;
  uint32_t held = 0;
  for (const CatalogDbMap* m = session->catalog_db_maps; m != nullptr; m = m->next) ++held;
  for (const CatalogQueryMap* q = session->catalog_query_maps; q != nullptr; q = q->next) ++held;
  for (const ScanMap* m = session->scan_maps; m != nullptr; m = m->next) ++held;
  syscat_close_session(session);  // the catalog maps go first
  scan_close_session(session);  // then the scan maps
  // Ended while the session is still found: its rollback may wait.
  idb_exit_session(session->db_session);
  g_db_sessions.erase(session);
  session->db_session = nullptr;
  --g_db_sessions_open;
  // What a session with many handles freed goes back to the system instead
  // of staying in the allocator's arenas.
  if (held > kTrimAfterHeld) malloc_trim(0);
}

int seam_db_sessions_open() { return g_db_sessions_open; }
