// fixrec_internal.h - what the files of the fixed-record module share:
// fixrec.cpp (files, reads, changes, iteration, node callbacks) and
// fixrec_log.cpp (the log handlers, redo and the recount after it). Other
// modules use fixrec.h; nothing here is for them.
//
// Context: the server thread.
#pragma once
#include <cstdint>
#include <vector>

#include "base/error_status.h"
#include "storage/fixrec.h"
#include "storage/tlog.h"

#define FIXREC_ERROR(code) SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, (code))
#define FIXREC_STATUS(code) SET_ERROR(ERR_MOD_VOL, ERR_SEV_R, (code))

namespace fixrec {

// What this module keeps of a file in memory: the start pages of its
// clusters in list order, and the highest sequence a meta image in a
// transaction's unit has carried. The start pages outlive the last close
// (a read that opens the file alone must not walk its whole list again);
// they hold while the handle names the same node and the used-cluster
// list's head is as it was when they were taken (a list page that comes or
// goes moves its timestamp; clusters are only ever appended, which the
// count shows). A reset, a delete, a restore and recovery drop them.
struct State {
  std::vector<uint32_t> starts;
  uint32_t node_id = 0;
  Node_IHEAD ulist;
  uint32_t logged_sequence = 0;
};
State* state(Node* node);
void drop_state(Node* node);
void drop_all_states();
// The last close: the start pages stay, the unit's meta image goes.
void forget_logged_image(Node* node);

// The meta data of an open file, checked (a bad header is fatal), and back.
FixRec_META get_meta(Node* node, int line);
void put_meta(Node* node, const FixRec_META& m);

// The start page of the cluster that holds recno (<= max recno), from the
// cache; 0 when the used-cluster list has no such cluster.
uint32_t cluster_start(Node* node, const FixRec_META& m, uint32_t recno);

// The one or two pages of one slot, pinned.
struct SlotPages {
  Node_PGVEC vec[2];
  int count = 0;
  uint32_t offset = 0;  // of the slot in the first page
  uint32_t size = 0;    // slot size
};
void pin_slot(Node* node, const FixRec_META& m, uint32_t start, uint32_t recno, bool write,
              SlotPages* s);
void release_slot(Node* node, SlotPages* s, bool dirty);
uint8_t slot_flag(const SlotPages& s);
// The record's bytes (slot size - 1) out of / into the slot.
void slot_get(const SlotPages& s, void* out);
void slot_set(SlotPages* s, uint8_t flag, const void* image);
// The flag byte of recno's slot (pins and releases).
uint8_t read_flag(Node* node, const FixRec_META& m, uint32_t start, uint32_t recno);
// A flag that is neither 'U' nor 'D' is a corrupt file: logged with the
// page (or the cluster's first page), status FixRec_E_CORRUPT, false.
bool flag_ok(Node* node, uint8_t flag, uint32_t recno, uint32_t page, const char* who);
// The same where a request can no longer fail (commit, recovery): a stop.
void check_flag(Node* node, uint8_t flag, uint32_t recno, const char* who);

// A record of lnode's log read back whole (size bytes at most); a short
// read stops the process with who's messages. The bytes read.
int read_log_record(Node* node, Node* lnode, const Node_ADDR& pos, uint8_t* buf, uint32_t size,
                    const char* who);

// The meta image (opcode 14) into tag, or through a root tag record of its
// own when tag is none. A failure is fatal.
void log_meta_image(Node* node, const FixRec_META& m, Tlog_TAGREC* tag);

// Recovery: a file redo changed, for FixRec_RecoverCounts.
void note_touched(Node* node);

bool same_pos(const Node_ADDR& a, const Node_ADDR& b);

}  // namespace fixrec
