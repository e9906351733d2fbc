// scan_request.cpp - the SCAN request class (see scan_request.h).
//
// State: the session's scan maps (scan_map.h). The receive buffer holds the
// request's key and record numbers for the whole call; the data area is
// reserved inside the reply, so the scans write straight into it.
#include "server/scan_request.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "access/idb_session.h"
#include "access/idb_status.h"
#include "base/debug_log.h"
#include "base/panic.h"
#include "server/buffer.h"
#include "server/client_session.h"
#include "server/dispatch.h"
#include "storage/disk_bytes.h"

namespace {

enum : uint16_t {
  SCAN_NEW_CONTEXT = 1,
  SCAN_DEL_CONTEXT = 2,
  SCAN_SEQ = 3,
  SCAN_REC = 4,
  SCAN_NEXT = 5,
  SCAN_KEY = 6,
  SCAN_CHAIN = 7,
};

constexpr const char* kNames[] = {"NEW_CONTEXT", "DEL_CONTEXT", "SEQ", "REC",
                                  "NEXT",        "KEY",         "CHAIN"};
constexpr const char* kRelops[] = {"first", "<", "<=", "==", ">=", ">", "like"};

// The scan failure reply: the access layer's last code (-1 when none) and
// its sub-code, then the text.
int scan_reply_failed(ClientSession* session, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
int scan_reply_failed(ClientSession* session, const char* format, ...) {
  char text[kReplyTextMax + 1];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  debug_log('P', 2, "scan_reply_failed: %s", LogText(text).c_str());
  const idb_error& e = session->db_session->error;
  Buffer* b = &session->buffer;
  start_reply(session);
  Buffer_Put_u32(b, e.code != 0 ? static_cast<uint32_t>(e.code) : UINT32_MAX);
  Buffer_Put_u32(b, static_cast<uint32_t>(e.code != 0 ? e.sub_code : 0));
  Buffer_Put_str(b, text);
  Buffer_Put_u16(b, 0);
  return Buffer_SendFailed(b) ? -1 : 0;
}

// One data request: the refusal's text, the client's data area and the
// map it reads through.
struct DataCall {
  ClientSession* s;
  const char* text;
  uint32_t data_sz;
  ScanMap* map = nullptr;
  uint8_t* area = nullptr;
  int reply = 0;  // the handler's result once a refusal was built
};

// The map of handle h; none after its refusal was built.
ScanMap* find_map(DataCall& c, uint32_t h) {
  ScanMap* m = scan_find_map(c.s, h);
  if (m == nullptr) c.reply = scan_reply_failed(c.s, "SCAN handle %d not found", static_cast<int>(h));
  return m;
}

// The data area inside the reply: the success head, align 4 and data_sz
// bytes reserved. false after the refusal (a size under the area's head,
// room that cannot be had).
bool reserve_area(DataCall& c) {
  Buffer* b = &c.s->buffer;
  reply_success(c.s);
  Buffer_Put_align(b, 4);
  if (c.data_sz >= IDB_SCAN_HEAD) c.area = Buffer_Reserve(b, c.data_sz);
  if (c.area != nullptr) return true;
  IDB_ERROR(c.s->db_session, S_BAD, 0);
  c.reply = scan_reply_failed(c.s, "%s", c.text);
  return false;
}

// The map of handle h and the data area; false after a refusal.
bool begin_call(DataCall& c, uint32_t h) {
  c.map = find_map(c, h);
  return c.map != nullptr && reserve_area(c);
}

// After the scan: the reply cut to the area used, or the refusal.
int end_call(DataCall& c, int rc, uint32_t used) {
  if (rc != 0) return scan_reply_failed(c.s, "%s", c.text);
  ZENT_ASSERT(used <= c.data_sz && "real_data_sz <= data_sz");
  Buffer_Put_raw(&c.s->buffer, used);
  return Buffer_SendFailed(&c.s->buffer) ? -1 : 0;
}

int req_new_context(ClientSession* s) {
  Buffer* b = &s->buffer;
  int16_t dbid = 0, mode = 0, setno = 0, fld_offs = 0, fld_cnt = 0;
  uint16_t rec_size = 0;
  Buffer_Get_i16(b, &dbid);
  Buffer_Get_i16(b, &mode);
  Buffer_Get_i16(b, &setno);
  Buffer_Get_u16(b, &rec_size);
  Buffer_Get_i16(b, &fld_offs);
  Buffer_Get_i16(b, &fld_cnt);
  if (Buffer_RecvFailed(b) || fld_cnt < 0) return -1;
  const uint32_t map_len = (static_cast<uint32_t>(fld_cnt) + 7) / 8;
  const uint8_t* bits = nullptr;
  if (map_len > 0 && Buffer_Get_raw(b, &bits, map_len) != 0) return -1;
  debug_log('P', 2, " dbid=%d, mode=%d, setno=%d, rec_size=%u, fld_offs=%d, fld_cnt=%d", dbid, mode,
            setno, rec_size, fld_offs, fld_cnt);
  ScanMap* m = scan_new_map(s);
  if (m == nullptr) return scan_reply_failed(s, "No more SCAN slots available");
  if (map_len > 0) {
    m->fld_map = static_cast<uint8_t*>(malloc(map_len));
    ZENT_ASSERT(m->fld_map != nullptr && "scan_new_fld_map() failed: heap overflow");
    memcpy(m->fld_map, bits, map_len);
  }
  m->mode = mode;
  m->rec_size = rec_size;
  m->ctx.dbid = dbid;
  m->ctx.setno = setno;
  m->ctx.fld_offs = fld_offs;
  m->ctx.fld_cnt = fld_cnt;
  m->ctx.fld_map = m->fld_map;
  debug_log('P', 2, " new scan_hndl = %u", m->handle);
  reply_success(s);
  Buffer_Put_u32(b, m->handle);
  return Buffer_SendFailed(b) ? -1 : 0;
}

int req_del_context(ClientSession* s) {
  uint32_t h = 0;
  if (Buffer_Get_u32(&s->buffer, &h) != 0) return -1;
  DataCall c{s, nullptr, 0};
  ScanMap* m = find_map(c, h);
  if (m == nullptr) return c.reply;
  scan_free_map(s, m);
  reply_success(s);
  return Buffer_SendFailed(&s->buffer) ? -1 : 0;
}

int req_seq(ClientSession* s) {
  Buffer* b = &s->buffer;
  uint32_t h = 0, data_sz = 0;
  int32_t next = 0;
  Buffer_Get_u32(b, &h);
  Buffer_Get_u32(b, &data_sz);
  Buffer_Get_i32(b, &next);
  if (Buffer_RecvFailed(b)) return -1;
  DataCall c{s, "Failure during sequential SCAN", data_sz};
  if (!begin_call(c, h)) return c.reply;
  le_put32(c.area, static_cast<uint32_t>(next));
  uint32_t used = 0;
  const int rc = idb_seq_scan(s->db_session, &c.map->ctx, c.area, data_sz, &used);
  return end_call(c, rc, used);
}

int req_rec(ClientSession* s) {
  Buffer* b = &s->buffer;
  uint16_t n = 0;
  if (Buffer_Get_u16(b, &n) != 0) return -1;
  uint32_t handles[IDB_SCAN_MAX_CTX] = {};
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t h = 0;
    if (Buffer_Get_u32(b, &h) != 0) return -1;
    if (i < IDB_SCAN_MAX_CTX) handles[i] = h;
  }
  uint32_t data_sz = 0;
  int32_t cnt = 0;
  Buffer_Get_u32(b, &data_sz);
  Buffer_Get_i32(b, &cnt);
  if (Buffer_RecvFailed(b)) return -1;
  // The count must be covered by the bytes that came.
  if (cnt < 0 || static_cast<uint32_t>(cnt) > (b->recv_size - b->recv_pos) / 4) return -1;
  const uint8_t* raw = nullptr;
  if (cnt > 0 && Buffer_Get_raw(b, &raw, static_cast<uint32_t>(cnt) * 4) != 0) return -1;
  DataCall c{s, "Failure during record SCAN", data_sz};
  idb_scan_ctx* ctxs[IDB_SCAN_MAX_CTX];
  const uint32_t used_ctx = n < IDB_SCAN_MAX_CTX ? n : IDB_SCAN_MAX_CTX;
  for (uint32_t i = 0; i < used_ctx; ++i) {
    ScanMap* m = find_map(c, handles[i]);
    if (m == nullptr) return c.reply;
    ctxs[i] = &m->ctx;
  }
  int32_t* recnos = nullptr;
  if (cnt > 0) {
    recnos = static_cast<int32_t*>(malloc(static_cast<size_t>(cnt) * 4));
    if (recnos == nullptr) {
      IDB_ERROR(s->db_session, S_SYSTEM, 12);
      return scan_reply_failed(s, "%s", c.text);
    }
    for (int32_t i = 0; i < cnt; ++i) recnos[i] = static_cast<int32_t>(le_get32(raw + 4 * i));
  }
  if (!reserve_area(c)) {
    free(recnos);
    return c.reply;
  }
  uint32_t used = 0;
  const int rc = idb_rec_scan(s->db_session, n, ctxs, c.area, data_sz, cnt, recnos, &used);
  free(recnos);
  return end_call(c, rc, used);
}

int req_next(ClientSession* s) {
  Buffer* b = &s->buffer;
  uint32_t h = 0, data_sz = 0;
  Buffer_Get_u32(b, &h);
  Buffer_Get_u32(b, &data_sz);
  if (Buffer_RecvFailed(b)) return -1;
  DataCall c{s, "Failure during next SCAN", data_sz};
  if (!begin_call(c, h)) return c.reply;
  uint32_t used = 0;
  const int rc = idb_next_scan(s->db_session, &c.map->ctx, c.area, data_sz, &used);
  return end_call(c, rc, used);
}

int req_key(ClientSession* s) {
  Buffer* b = &s->buffer;
  uint32_t h = 0, data_sz = 0;
  int8_t mode = 0, relop = 0;
  uint16_t iitemno = 0, itemno = 0;
  int32_t key_sz = 0;
  Buffer_Get_u32(b, &h);
  Buffer_Get_i8(b, &mode);
  Buffer_Get_i8(b, &relop);
  Buffer_Get_u32(b, &data_sz);
  Buffer_Get_u16(b, &iitemno);
  Buffer_Get_u16(b, &itemno);
  Buffer_Get_align(b, 4);
  Buffer_Get_i32(b, &key_sz);
  if (Buffer_RecvFailed(b) || key_sz < 0) return -1;
  const uint8_t* key = nullptr;
  uint32_t obj_sz = 0;
  if (key_sz != 0 &&
      (Buffer_Get_obj(b, &key, &obj_sz) != 0 || obj_sz != static_cast<uint32_t>(key_sz)))
    return -1;
  debug_log('P', 2, " scan_hndl=%u, mode=%d, relop=%d (%s), data_sz=%u, iitemno=%u, itemno=%u, key_sz=%d",
            h, mode, relop, relop >= 0 && relop <= 6 ? kRelops[relop] : "<unknown>", data_sz,
            iitemno, itemno, key_sz);
  DataCall c{s, "Failure during key SCAN", data_sz};
  if (!begin_call(c, h)) return c.reply;
  uint32_t used = 0;
  const int rc = idb_key_scan(s->db_session, &c.map->ctx, mode, relop, itemno, iitemno, key,
                              key_sz, c.area, data_sz, &used);
  return end_call(c, rc, used);
}

int req_chain(ClientSession* s) {
  Buffer* b = &s->buffer;
  uint32_t h = 0, data_sz = 0;
  int8_t mode = 0;
  int32_t mrecno = 0;
  uint16_t ditemno = 0;
  Buffer_Get_u32(b, &h);
  Buffer_Get_i8(b, &mode);
  Buffer_Get_i32(b, &mrecno);
  Buffer_Get_u16(b, &ditemno);
  Buffer_Get_u32(b, &data_sz);
  const uint8_t* key = nullptr;
  uint32_t key_sz = 0;
  Buffer_Get_obj(b, &key, &key_sz);
  if (Buffer_RecvFailed(b) || key_sz > INT32_MAX) return -1;
  debug_log('P', 2, " scan_hndl=%u, mode=%d, mrecno=%d, ditemno=%u, data_sz=%u, key_sz=%u", h, mode,
            mrecno, ditemno, data_sz, key_sz);
  DataCall c{s, "Failure during chain SCAN", data_sz};
  if (!begin_call(c, h)) return c.reply;
  uint32_t used = 0;
  const int rc = idb_chain_scan(s->db_session, &c.map->ctx, mrecno, ditemno, key,
                                static_cast<int32_t>(key_sz), c.area, data_sz, &used);
  return end_call(c, rc, used);
}

}  // namespace

const char* scan_request_name(uint16_t type) {
  return type >= 1 && type <= 7 ? kNames[type - 1] : "<unknown>";
}

int scan_request(ClientSession* session) {
  Buffer* b = &session->buffer;
  uint16_t type = 0;
  if (Buffer_Get_u16(b, &type) != 0) return -1;
  debug_log('P', 2, "Processing SCAN request type %d (%s)", type, scan_request_name(type));
  ZENT_ASSERT(session->db_session != nullptr && "session->db_session");
  // A failure reply carries this request's code, not one left behind.
  session->db_session->error = idb_error{};
  if (scan_disabled()) return scan_reply_failed(session, "SCAN API has been disabled");
  if (session->db_session->uid == 0) {
    debug_log('P', 1, "client failure: no logon");
    return scan_reply_failed(session, "client failure: no logon");
  }
  switch (type) {
    case SCAN_NEW_CONTEXT: return req_new_context(session);
    case SCAN_DEL_CONTEXT: return req_del_context(session);
    case SCAN_SEQ: return req_seq(session);
    case SCAN_REC: return req_rec(session);
    case SCAN_NEXT: return req_next(session);
    case SCAN_KEY: return req_key(session);
    case SCAN_CHAIN: return req_chain(session);
    default: return scan_reply_failed(session, "Unsupported SCAN request %d", type);
  }
}
