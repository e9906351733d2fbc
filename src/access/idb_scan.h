// idb_scan.h - bulk scans: many records of one set (or of up to 16 sets
// at once) packed into one client-sized buffer per call, by serial record
// numbers, by an explicit list of record numbers, by index or master key
// with a relational operator, or along a detail chain from its master.
//
// Output buffer (data_sz bytes, at least the 12-byte head): three
// little-endian u32 words {next-or-more, record count, data bytes after the
// head}, then per record its little-endian u32 record number and the
// selected fields' bytes. Fields are the set's items in item order, one per
// element, lying one after the other from the record's start; a context
// selects them by first field, field count and bitmap (bit k of byte k / 8
// selects field first + k). A record that does not fit ends the buffer;
// when none fits the call fails with S_BAD.
//
// Key and chain scans keep a state in the scan context between calls. The
// two kinds carry different tags and hold set and item numbers rather than
// schema pointers: every continuation checks them against the open
// database again.
//
// Context: the session's task on the server thread under its unit of the
// API lock. Scans read as the session's transaction node sees the records
// and take no locks; they suspend in the record file's node lock and the
// buffer cache, and yield the processor before every 102nd record number
// visited, and between the retries of a taken B-tree node lock. A new key
// or chain scan allocates its state; nothing else allocates.
#pragma once
#include <cstdint>

#include "access/idb_session.h"

struct idb_scan_state;

// One scanned set of an open database and the fields taken from each of
// its records. The caller owns the bitmap ((fld_cnt + 7) / 8 bytes); the
// state belongs to the context (idb_scan_free_state).
struct idb_scan_ctx {
  int16_t dbid = 0;
  int16_t setno = 0;     // 1-based
  int16_t fld_offs = 0;  // first field
  int16_t fld_cnt = 0;   // fields considered from the first on
  const uint8_t* fld_map = nullptr;
  idb_scan_state* state = nullptr;
};

// The head of the output buffer.
inline constexpr uint32_t IDB_SCAN_HEAD = 12;
// Contexts of one record-list scan.
inline constexpr int IDB_SCAN_MAX_CTX = 16;
// Relational operators of a key scan.
enum : int32_t {
  IDB_SCAN_FIRST = 0,  // every key (empty argument)
  IDB_SCAN_LT = 1,
  IDB_SCAN_LE = 2,
  IDB_SCAN_EQ = 3,     // keys that begin with the argument
  IDB_SCAN_GE = 4,
  IDB_SCAN_GT = 5,     // keys behind all that begin with the argument
};

// Each call: 0 with *used (head + data bytes, at most data_sz) set, or -1
// with the session's error record set (-11 an unknown dbid; -21 a set out
// of range, no read access, a buffer under the head or too small for one
// record, a bad argument; other codes below). A positive condition of a
// worker is reported as -1 with that code in the record.

// Serial scan from the record after buffer word 0 (read on entry, 0: from
// the start). Word 0 becomes the last record number packed, 0 once the
// end of the file was met.
int idb_seq_scan(idb_session* s, idb_scan_ctx* ctx, uint8_t* buf, uint32_t data_sz,
                 uint32_t* used);

// Record-list scan over ctx_cnt (1..16) contexts: recnos holds rows of one
// record number per context (a partial last row is ignored). A row with a
// missing record is answered by one zero word per context. Word 0 is 0,
// word 1 the completed rows times the context count.
int idb_rec_scan(idb_session* s, int ctx_cnt, idb_scan_ctx* const* ctxs, uint8_t* buf,
                 uint32_t data_sz, int32_t recno_cnt, const int32_t* recnos, uint32_t* used);

// Key scan. Exactly one of itemno (the master key item of a master set,
// 1-based) and iitemno (an index item the set has an index on, 1-based
// among the index items) names the key; op is one of IDB_SCAN_*; arg the
// argument's arg_len bytes (whole index segments, the last cut only when
// it is a character or byte item; a master key argument at most the key,
// shorter only for a character or byte key). cont 1 continues the
// context's open key scan instead (the other arguments are not read).
// Word 0 is 1 while more keys remain, else 0. -52 an item that is not such
// a key; -804 a B-tree failure; -803 a record that cannot be read.
int idb_key_scan(idb_session* s, idb_scan_ctx* ctx, int32_t cont, int32_t op, int32_t itemno,
                 int32_t iitemno, const uint8_t* arg, int32_t arg_len, uint8_t* buf,
                 uint32_t data_sz, uint32_t* used);

// Chain scan of a detail set along the path whose search item is ditemno,
// from the master with record number mrecno or, when that is 0, with the
// master key key (key_len bytes, at least the key's size). Word 0 is 1
// while the chain goes on. 17 no such master; 18 a link to no record; -52
// ditemno searches no path.
int idb_chain_scan(idb_session* s, idb_scan_ctx* ctx, int32_t mrecno, int32_t ditemno,
                   const uint8_t* key, int32_t key_len, uint8_t* buf, uint32_t data_sz,
                   uint32_t* used);

// Continues the context's open chain scan (S_BAD without one).
int idb_next_scan(idb_session* s, idb_scan_ctx* ctx, uint8_t* buf, uint32_t data_sz,
                  uint32_t* used);

// Frees the context's state, if any.
void idb_scan_free_state(idb_scan_ctx* ctx);
// Nonzero while the context holds an open key or chain scan (tests).
int idb_scan_is_open(const idb_scan_ctx* ctx);

// Tests: called before each record number a scan visits (none: nothing),
// where the yield falls.
void idb__set_scan_visit_hook(void (*hook)(uint32_t recno));
