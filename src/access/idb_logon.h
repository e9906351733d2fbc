// idb_logon.h - logon of a database session by user name and password
// against the server catalog's sysuser table, and the questions the rest
// of the server asks about it: who is logged on, and may they do a thing.
//
// Owner: the session owns its copy of the user's name; a failed logon
// leaves the session's identity (name, id, capabilities) as it was.
//
// Context: the session's task on the server thread; the catalog read may
// suspend (node locks, pools, the buffer cache).
#pragma once
#include <cstdint>

struct idb_session;

// Capability bits of a user (sysuser priv).
enum : uint32_t { IDB_CAP_DBA = 1u << 0, IDB_CAP_USERADM = 1u << 1, IDB_CAP_CONNECT = 1u << 2 };

// The user id of name when password matches (none: the null password,
// which differs from the empty one), with its capability bits; -1 with
// S_BADUSER (unknown, may not connect) or S_BADPSWD set in s's record.
int32_t get_user_id(idb_session* s, const char* name, const char* password, uint32_t* caps);
// Logs the session on; a null or empty name is "public". 0 or -1.
int idb__logon(idb_session* s, const char* name, const char* password);
// The intrinsic (420): fills status. 0 or -1.
int idb_logon(idb_session* s, const char* name, const char* password, int32_t* status);
// The session's user id, 0 while nobody is logged on.
int32_t idb__get_uid(const idb_session* s);
// Nonzero when logged on and capability bit (bit & 31) is set.
int idb__chk_capability(const idb_session* s, int bit);
