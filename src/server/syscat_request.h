// syscat_request.h - request class 4 (SYSCAT): a logged-on client reads
// and maintains the system catalog, one catalog call per request: the
// server's objects, volumes, volume allocation tables, users, databases
// and collations, and in a database's catalog (opened first, named by a
// u16 handle) its groups, members, privileges, columns, indexes, tables
// and paths; plus a walk over any catalog table (SELECT, FETCH).
//
// Replies: the success head {id, 0, u32 0} with the request's data, or
// the failure text reply (dispatch.h, reply_failed). Refusals keep the
// connection open; only a request that cannot be decoded closes it.
// docs/protocol.md, class 4, lists every request's fields.
//
// Context: the connection's worker task on the server thread, under one
// shared unit of the API lock. A handler suspends where the catalog does
// (table locks held by other transactions, node locks, I/O).
#pragma once
#include <cstdint>

struct Buffer;
struct ClientSession;

inline constexpr int kSyscatTypes = 51;

enum SyscatType : uint16_t {
  SC_ADD_OBJECT = 1,
  SC_GET_OBJECT_BY_NAME = 2,
  SC_GET_OBJECT_BY_ID = 3,
  SC_GET_VOL_BY_ID = 4,
  SC_ADD_VAT = 5,
  SC_GET_VAT_BY_NAME = 6,
  SC_GET_VAT_BY_ID = 7,
  SC_ADD_USER = 8,
  SC_GET_USER_BY_NAME = 9,
  SC_GET_USER_BY_ID = 10,
  SC_ADD_DB = 11,
  SC_DEL_DB = 12,
  SC_GET_DB_BY_NAME = 13,
  SC_GET_DB_BY_ID = 14,
  SC_OPEN_DB_BY_NAME = 15,
  SC_OPEN_DB_BY_ID = 16,
  SC_CLOSE_DB = 17,
  SC_ADD_COLLATE = 18,
  SC_GET_COLLATE_BY_NAME = 19,
  SC_GET_COLLATE_BY_ID = 20,
  SC_ADD_GROUP = 21,
  SC_GET_GROUP_BY_NAME = 22,
  SC_GET_GROUP_BY_ID = 23,
  SC_ADD_MEMBER = 24,
  SC_ADD_PRIVILEGE = 25,
  SC_GET_TABLE_PRIVILEGE = 26,
  SC_ADD_COLUMN = 27,
  SC_GET_COLUMN_BY_NAME = 28,
  SC_GET_COLUMN_BY_ID = 29,
  SC_ADD_INDEX = 30,
  SC_GET_INDEX_BY_NAME = 31,
  SC_GET_INDEX_BY_ID = 32,
  SC_ADD_INDEXSEG = 33,
  SC_ADD_TABLE = 34,
  SC_GET_TABLE_BY_NAME = 35,
  SC_GET_TABLE_BY_ID = 36,
  SC_ADD_TABLECOLUMN = 37,
  SC_ADD_TABLEPATH = 38,
  SC_ADD_TABLEINDEX = 39,
  SC_GET_TABLEINDEX_BY_ID = 40,
  SC_SELECT = 41,
  SC_FETCH = 42,
  SC_CLOSE_QUERY = 43,
  SC_UPD_USER = 44,
  SC_DEL_USER = 45,
  SC_UPD_GROUP = 46,
  SC_DEL_GROUP = 47,
  SC_DEL_MEMBER = 48,
  SC_DEL_PRIVILEGE = 49,
  SC_GET_CLIENT_COLLATE_BY_ID = 50,
  SC_UPD_COLLATE = 51,
};

// A request's decoded arguments, in the order the request carries them:
// the u16 handle (database or query) when it has one, its 32-bit fields,
// its one string, its u8 and u16 fields, its one object. Strings and
// objects point into the receive buffer.
struct SyscatArgs {
  uint16_t h = 0;
  uint32_t n[10] = {};
  int nn = 0;
  const char* name = nullptr;
  uint8_t c[2] = {};
  int nc = 0;
  uint16_t w[3] = {};
  int nw = 0;
  const uint8_t* obj = nullptr;
  uint32_t obj_size = 0;
  int extra = 0;  // ADD_TABLEPATH: the three linked fields were sent
};

// The name of a request type ("** unknown **" outside 1..51).
const char* syscat_request_name(int type);
// Decodes the arguments of request type (1..51) from the codec. 0, or -1
// when they cannot be decoded.
int syscat_decode(Buffer* b, int type, SyscatArgs* a);
// Reads the request type and runs its handler: 0 when a reply was built,
// -1 when the connection must be closed without one.
int syscat_request(ClientSession* session);
