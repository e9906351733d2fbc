// tlog_checkpoint.cpp - checkpoint, Tlog_Freeze, the validation of a root
// log chain and crash recovery.
//
// A checkpoint rotates the root's DO_LOG into LOG under root_log_sem,
// writes the mark that starts the new interval, makes the data volumes
// durable, walks the old interval with the checkpoint table and frees it.
// Recovery replays what a crash left in the root log (LOG, then DO_LOG)
// up to the last complete unit, makes the result durable and empties the
// LOG volumes.
//
// State: the checkpoint count, the pages of the checkpoint in progress
// (tlog_state.h) and the delayed-free lists detached by checkpoints that
// have not finished yet.
//
// Context: the server thread. A checkpoint runs under the API lock and
// suspends in root_log_sem and the root's lock (cut short: status 27 or
// the lock's), in the writes and flushes of the volume set and in the
// handlers. Recovery runs before any client task exists.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/debug_log.h"
#include "base/panic.h"
#include "base/vbuf.h"
#include "storage/backup_redirect.h"
#include "storage/crash_point.h"
#include "storage/disk_bytes.h"
#include "storage/fixrec.h"
#include "storage/node_orphans.h"
#include "storage/page_io.h"
#include "storage/pool.h"
#include "storage/syspool.h"
#include "storage/tio.h"
#include "storage/tlog_state.h"
#include "storage/vnode.h"
#include "storage/volume_set.h"

using namespace tlog;

namespace {

// Delayed frees detached by checkpoints that have not reached their end;
// freed for good by the next checkpoint that does.
Vol_DELAYED_FREE* g_detached = nullptr;

const char* channel_name(int channel) { return channel == Tlog_CHANNEL_LOG ? "LOG" : "DO_LOG"; }

void detach_delayed_frees() {
  Vol_DELAYED_FREE* taken = Vol_TakeDelayedFrees();
  if (taken == nullptr) return;
  Vol_DELAYED_FREE* last = taken;
  while (last->next != nullptr) last = last->next;
  last->next = g_detached;
  g_detached = taken;
}

void free_detached() {
  Vol_FreeDelayedList(g_detached);
  g_detached = nullptr;
}

// Step 2 of a checkpoint: caches trimmed. Its delayed frees are detached
// where the interval closes.
void begin_interval() {
  Node_FlushLogRecordCache();
  VNode_Trim();
  vbuf_trim();
  g.checkpoints++;
}

int walk_result(int walk) {
  if (walk < 0) return -1;
  if (walk > 0) {
    TLOG_ERROR(Tlog_E_REDO);
    return -1;
  }
  return 0;
}

// Empties the root's channel. Nothing on disk may name a cluster that is
// free again: the cleared anchor is written and the LOG volumes flushed
// before the clusters are freed.
int empty_chain(Node* root, int channel) {
  Runtime* rt = runtime(root);
  if (Node_Lock(root, __FILE__, __LINE__) != 0) return -1;
  FPool_ANCHOR* anchor = anchor_of(rt, channel, "Tlog_Checkpoint() failed: invalid channel");
  FPool_ANCHOR old = *anchor;
  FPool_InitAnchor(anchor);
  store_meta(root, rt, true);
  Node_Unlock(root);
  Vol_TlogForceSync(Vol_TIO_SYNC);
  if (FPool_ValidAnchor(&old)) FPool_Truncate(root, nullptr, &old);
  return 0;
}

// Steps 12 to 14 of a checkpoint over the interval now in LOG: data made
// durable (node pages and meta data written back after the rotation, so
// that the meta changes of commits linked before it are kept), the walk
// with the checkpoint table, LOG emptied, the detached frees freed.
int finish_interval(Node* root) {
  CRASH_POINT("checkpoint.before_data_sync");
  // Pages kept back in backup mode for want of a LOG page live only in
  // memory: the interval stays in LOG, and the next checkpoint finishes it.
  if (Vol_SyncDataDurably() != 0) {
    debug_log('L', 1, "Tlog_Checkpoint(): data pages kept back, the log stays");
    return -1;
  }
  CRASH_POINT("checkpoint.after_data_sync");
  const int walk = Tlog_Action(root, Tlog_CHANNEL_LOG, Tlog_GetTable(Tlog_TABLE_CHECKPOINT),
                               nullptr, nullptr, nullptr, 0);
  if (walk_result(walk) != 0) return -1;
  CRASH_POINT("checkpoint.after_walk");
  if (empty_chain(root, Tlog_CHANNEL_LOG) != 0) return -1;
  free_detached();
  // No record names those pages any more: their bits go to disk now.
  Vol_SyncDataFiles(Vol_RefusedWrites());
  g.checkpoint_pages = 0;
  return 0;
}

int write_mark(Node* root, const char* comment) {
  const uint32_t size = comment != nullptr ? static_cast<uint32_t>(strlen(comment)) + 1 : 0;
  return Tlog_WriteRecord(root, Tlog_OP_CHECKPOINT, Tlog_CHANNEL_DO_LOG, nullptr, comment, size,
                          nullptr);
}

void warn_damage(uint32_t good) {
  debug_log('L', 0, "WARNING: Volume recovery information is corrupted.");
  if (good != 0) {
    debug_log('L', 0, "         %u actions can be recovered.", good);
    debug_log('L', 0, "         Committed transactions are incomplete.");
  } else {
    debug_log('L', 0, "         Unable to recover any actions.");
    debug_log('L', 0, "         Committed transactions are lost.");
  }
  debug_log('L', 0, "WARNING: Volume might be damaged.");
}

}  // namespace

// --- Checkpoint -------------------------------------------------------------------------------

int Tlog_Checkpoint(const char* comment) {
  debug_log('L', 2, "Tlog_Checkpoint(%s)", comment != nullptr ? comment : "");
  begin_interval();
  if (Tlog_SetupRootNode() != 0) return -1;
  Node* root = g.root;
  Runtime* rt = runtime(root);
  // A checkpoint that failed after its rotation left its interval in LOG:
  // it is finished first, so the rotation below finds LOG empty.
  if (FPool_ValidAnchor(&rt->meta.log_anchor)) {
    debug_log('L', 1, "Tlog_Checkpoint(): finishing the previous checkpoint");
    if (finish_interval(root) != 0) return -1;
  }
  // Record files drop the free-list items taken since the last checkpoint;
  // what that logs falls into the interval this checkpoint closes, so the
  // data sync below covers it.
  if (Node_CheckpointNotify() != 0) return -1;
  if (Tlog_RootLogLockAll(__FILE__, __LINE__) != 0) return -1;
  if (Node_Lock(root, __FILE__, __LINE__) != 0) {
    Tlog_RootLogUnlockAll();
    return -1;
  }
  if (FPool_ValidAnchor(&rt->meta.log_anchor))
    ZENT_ASSERT(!"!FPool_ValidAnchor(&meta->log_anchor)");
  rt->meta.log_anchor = rt->meta.do_log_anchor;
  FPool_InitAnchor(&rt->meta.do_log_anchor);
  // At the rotation, not before: frees made since the checkpoint began
  // (the record files' drops among them) have their records in the
  // interval closing here, which is gone once LOG is emptied.
  detach_delayed_frees();
  g.checkpoint_pages = g.root_pages;
  g.root_pages = 0;
  // The mark's write stores the rotated anchors (DO_LOG starts afresh).
  if (write_mark(root, comment) != 0) {
    Node_Unlock(root);
    Tlog_RootLogUnlockAll();
    return -1;
  }
  const uint32_t counted = g.root_pages;
  Vol_LogAllRedirActions();
  g.root_pages = counted;
  Node_Unlock(root);
  Tlog_RootLogUnlockAll();
  CRASH_POINT("checkpoint.after_rotation");
  if (finish_interval(root) != 0) return -1;
  debug_log('L', 2, "Tlog_Checkpoint() done");
  return 0;
}

int Tlog_Freeze(const char* comment) {
  if (comment != nullptr)
    debug_log('L', 3, "Tlog_Freeze(comment=%s)", comment);
  else
    debug_log('L', 3, "Tlog_Freeze(<untitled>)");
  ZENT_ASSERT(!Vol_IsRedirected() && "!Vol_IsRedirected()");
  if (Tlog_ApiLock(__FILE__, __LINE__) != 0) return -1;
  VOLUME* table = Vol_GetRootVol();
  const uint32_t generation = ++table[0].generation;
  for (int id = 1; id < Vol_NumVolumes(); ++id) {
    if (table[id].fhandle == nullptr) continue;
    table[id].generation = generation;
    Vol_SetFlag(Vol_DIRTY, &table[id].header);
  }
  Vol_SetFlag(Vol_DIRTY, &table[0].header);
  begin_interval();
  detach_delayed_frees();
  auto fail = [] {
    Tlog_ApiUnlock();
    return -1;
  };
  if (Tlog_SetupRootNode() != 0) return fail();
  Node* root = g.root;
  Runtime* rt = runtime(root);
  if (FPool_ValidAnchor(&rt->meta.log_anchor) && finish_interval(root) != 0) return fail();
  // The data the log covers reach the disk before the log is cut: a crash
  // in between must still find the commits in the log.
  Vol_SyncDataDurably();
  if (Node_Lock(root, __FILE__, __LINE__) != 0) return fail();
  const int walk = Tlog_Action(root, Tlog_CHANNEL_DO_LOG, Tlog_GetTable(Tlog_TABLE_CHECKPOINT),
                               nullptr, nullptr, nullptr, 0);
  Node_Unlock(root);
  if (walk_result(walk) != 0) return fail();
  ZENT_ASSERT(!FPool_ValidAnchor(&rt->meta.log_anchor) && "!FPool_ValidAnchor(&meta->log_anchor)");
  if (empty_chain(root, Tlog_CHANNEL_DO_LOG) != 0) return fail();
  if (Node_Lock(root, __FILE__, __LINE__) != 0) return fail();
  const int marked = write_mark(root, comment);
  Node_Unlock(root);
  if (marked != 0) return fail();
  free_detached();
  g.root_pages = 0;
  Vol_SyncDataDurably();
  Vol_SetConsistent();
  Vol_TlogForceSync(Vol_TIO_SYNC);
  return 0;
}

uint32_t Tlog_LogSize() {
  return Vol_DelayedLogPages() + (g.checkpoint_pages != 0 ? g.checkpoint_pages : g.root_pages);
}

uint32_t Tlog_NumCheckpoints() { return g.checkpoints; }

// --- Validation -------------------------------------------------------------------------------

int Tlog_Validate(Node* root, int channel, Tlog_STOPPOS* stop) {
  debug_log('L', 2, "Tlog_Validate(channel=%s)", channel_name(channel));
  *stop = Tlog_STOPPOS{};
  FPool_ANCHOR* anchor = anchor_of(runtime(root), channel, "Tlog_Validate() failed: invalid channel");
  FPool_ITER it;
  int rc = FPool_DefensiveFirst(root, anchor, &it);
  if (rc == 1 || (rc == 0 && !Node_AddrValid(&it.addr))) return 0;
  vbuf* buffer = VBUF_OPEN(Vol_PAGESIZE);
  auto* b = static_cast<uint8_t*>(buffer->data);
  enum { UNKNOWN, OLD, NEW } format = UNKNOWN;
  bool damage = rc < 0;
  bool in_unit = false;
  uint32_t records = 0, good = 0;
  Tlog_STOPPOS last_closed;
  while (!damage) {
    const uint32_t want = it.addr.size < Vol_PAGESIZE ? it.addr.size : Vol_PAGESIZE;
    const int got = Pool_DefensiveRead(root, &it.addr, b, want, nullptr);
    if (got < static_cast<int>(Tlog_OVERHEAD)) {
      damage = true;
      break;
    }
    const uint32_t len = static_cast<uint32_t>(got);
    for (uint32_t off = 0;;) {
      // Every distance is checked before it is used: a torn block is
      // damage, never a read outside the buffer.
      if (len - off < Tlog_OVERHEAD) {
        damage = true;
        break;
      }
      const Tlog_RECHEAD h = Tlog_DecodeHead(b + off);
      if (h.size > len - off - Tlog_OVERHEAD) {
        damage = true;
        break;
      }
      ++records;
      if (format == UNKNOWN) {
        format = h.state == Tlog_STATE_OLD ? OLD : NEW;
        debug_log('L', 2, format == OLD ? "Tlog_Validate(): old log format detected"
                                        : "Tlog_Validate(): new log format detected");
      }
      bool closes = false;
      if (format == OLD) {
        if (h.state != Tlog_STATE_OLD) {
          debug_log('L', 0, "Tlog_Validate(): invalid state %u in old log format", h.state);
          damage = true;
          break;
        }
        closes = true;  // every record of the old format stands alone
      } else if (!in_unit) {
        if (h.state == Tlog_STATE_SINGLE || h.state == Tlog_STATE_ONLY) {
          closes = true;
        } else if (h.state == Tlog_STATE_FIRST) {
          in_unit = true;
        } else {
          debug_log('L', 0, "Tlog_Validate(): invalid state %u outside transaction", h.state);
          damage = true;
          break;
        }
      } else if (h.state == Tlog_STATE_LAST) {
        in_unit = false;
        closes = true;
      } else if (h.state != Tlog_STATE_MORE) {
        debug_log('L', 0, "Tlog_Validate(): invalid state %u inside transaction", h.state);
        damage = true;
        break;
      }
      if (closes) {
        last_closed = Tlog_STOPPOS{it.addr, off};
        good = records;
      }
      if (h.next == 0) break;
      if (h.next < Tlog_OVERHEAD + h.size || h.next > len - off - Tlog_OVERHEAD) {
        damage = true;
        break;
      }
      off += h.next;
    }
    if (damage) break;
    rc = FPool_DefensiveNext(&it);
    if (rc == 1) break;
    if (rc != 0) damage = true;
  }
  VBuf_Close(buffer);
  // A unit still open at the chain's end was cut off: damage too.
  if (!damage && !in_unit) return 0;
  if (!Node_AddrValid(&last_closed.block)) FPool_InitAnchor(anchor);
  warn_damage(good);
  *stop = last_closed;
  return 0;
}

// --- Notes of unfinished work ------------------------------------------------------------------

namespace {

// A note record: id, 1 begun or 0 ended, three zero bytes, the text.
constexpr uint32_t kNoteSize = 8 + Tlog_NOTE_TEXT;
uint32_t g_last_note = 0;
// The notes the replay found begun and not ended, in log order.
std::vector<std::pair<uint32_t, std::string>> g_open_notes;

int write_note(uint32_t id, bool begun, const char* text) {
  uint8_t rec[kNoteSize] = {};
  le_put32(rec, id);
  rec[4] = begun ? 1 : 0;
  if (text != nullptr) {
    const size_t n = strnlen(text, Tlog_NOTE_TEXT - 1);
    memcpy(rec + 8, text, n);
  }
  return Tlog_WriteRecord(g.root, Tlog_OP_NOTE, Tlog_CHANNEL_DO_LOG, nullptr, rec, kNoteSize,
                          nullptr);
}

int note_redo(Node*, const void* data, uint32_t size, const Node_ADDR*) {
  if (data == nullptr || size != kNoteSize) return Tlog_Damaged("note_redo()", "size", size);
  const auto* rec = static_cast<const uint8_t*>(data);
  const uint32_t id = le_get32(rec);
  if (rec[4] != 0) {
    const char* text = reinterpret_cast<const char*>(rec + 8);
    g_open_notes.emplace_back(id, std::string(text, strnlen(text, Tlog_NOTE_TEXT - 1)));
  } else {
    for (auto it = g_open_notes.begin(); it != g_open_notes.end(); ++it)
      if (it->first == id) {
        g_open_notes.erase(it);
        break;
      }
  }
  return 0;
}

}  // namespace

int Tlog_BeginNote(const char* text, uint32_t* id) {
  *id = 0;
  if (g.root == nullptr) return 0;
  const uint32_t next = g_last_note + 1 != 0 ? g_last_note + 1 : 1;
  if (write_note(next, true, text) != 0) return -1;
  g_last_note = next;
  *id = next;
  return 0;
}

int Tlog_EndNote(uint32_t id) {
  if (id == 0 || g.root == nullptr) return 0;
  return write_note(id, false, nullptr);
}

// --- Recovery ---------------------------------------------------------------------------------

namespace {

// One replay pass over a channel up to its stop; *count gains the records
// dispatched less `less`. A record a handler finds damaged ends the pass
// there, as validation ends a chain at a torn block: nothing after it is
// acted on, and the warning says how many actions were replayed.
int replay(Node* root, int channel, Tlog_TABLE table, const Tlog_STOPPOS* stop,
           const char* message, uint32_t less, uint32_t* count) {
  const int rc = Tlog_ActionTo(root, channel, Tlog_GetTable(table), stop, message);
  uint32_t n = Tlog_NumDispatched();
  if (rc == Tlog_DAMAGED && n > 0) --n;  // the damaged record was not applied
  if (n > less) *count += n - less;
  if (rc != Tlog_DAMAGED) return rc;
  debug_log('L', 0, "Tlog_Recover(): damaged record in %s, replay of the channel stopped",
            channel_name(channel));
  warn_damage(*count);
  return 0;
}

}  // namespace

int Tlog_Recover() {
  debug_log('L', 3, "Tlog_Recover()");
  // The backup flag is remembered here and cleared on disk only once its
  // passes have run: a crash meanwhile finds it still set.
  const bool redirected = Vol_IsRedirected() != 0;
  const bool needed = !Vol_IsConsistent() || redirected;
  uint32_t recovered = 0;
  Tlog_SetHandler(Tlog_TABLE_REDO, Tlog_OP_NOTE, note_redo);
  g_open_notes.clear();
  // A log whose own node pages are damaged holds nothing recovery can
  // trust: its commits are lost, and the LOG volumes are rebuilt below.
  const bool log_lost = needed && Node_CheckLogRoot() != 0;
  if (log_lost) {
    debug_log('L', 0, "Tlog_Recover(): the log root's node pages are damaged");
    warn_damage(0);
  }
  Node* root = log_lost ? nullptr : Node_SysFindLog(Tlog_ROOTNODE);
  Tlog_STOPPOS stop_log, stop_do;
  if (root != nullptr) {
    ZENT_ASSERT(Node_RefCount(root) == 0 && "Node_RefCount(tlog_rootnode) == 0");
    Node_SetFlag(Node_SYSPOOL, root);
    if (needed) {
      if (Node_Open(root) != 0) return -1;
      if (Node_Lock(root, __FILE__, __LINE__) != 0) {
        Node_Close(root);
        return -1;
      }
      g.root = root;
      // Validated as the replay walks it: past the anchor on disk, as far
      // as the chain really goes (a torn block beyond it is damage, where
      // the replay stops, and not a block the replay would stop on).
      g.recovering = 1;
      const int valid = Tlog_Validate(root, Tlog_CHANNEL_LOG, &stop_log) == 0 &&
                        Tlog_Validate(root, Tlog_CHANNEL_DO_LOG, &stop_do) == 0;
      g.recovering = 0;
      if (!valid) {
        Node_Unlock(root);
        Node_Close(root);
        g.root = nullptr;
        return -1;
      }
    }
  }
  auto give_up = [&](int rc) {
    g.recovering = 0;
    Node_RecoverSettleChainedPages(false);
    Vol_ReleaseReserved();
    if (rc > 0) TLOG_ERROR(Tlog_E_REDO);
    if (g.root != nullptr) {
      Node_Unlock(g.root);
      VNode_Flush(nullptr);
      Node_Close(g.root);
      g.root = nullptr;
    }
    return -1;
  };
  if (root != nullptr && needed && redirected) {
    struct Pass {
      int channel;
      Tlog_TABLE table;
      const Tlog_STOPPOS* stop;
      const char* message;
    };
    const Pass passes[] = {
        {Tlog_CHANNEL_LOG, Tlog_TABLE_EXTEND_REDO, &stop_log,
         "volume recovery: recovering temporary checkpoint data volume size"},
        {Tlog_CHANNEL_DO_LOG, Tlog_TABLE_EXTEND_REDO, &stop_do,
         "volume recovery: recovering data volume size"},
        {Tlog_CHANNEL_LOG, Tlog_TABLE_REDIRECT_REDO, &stop_log,
         "volume recovery: recovering temporary checkpoint data volume actions"},
        {Tlog_CHANNEL_DO_LOG, Tlog_TABLE_REDIRECT_REDO, &stop_do,
         "volume recovery: recovering data volume actions"},
    };
    g.recovering = 1;
    for (const Pass& p : passes) {
      const int rc = replay(root, p.channel, p.table, p.stop, p.message, 0, &recovered);
      if (rc != 0) return give_up(rc);
    }
    g.recovering = 0;
    if (Vol_ReInit() != 0) return give_up(-1);
  }
  if (needed && SysPool_Recover() != 0) return give_up(-1);
  if (root == nullptr && !log_lost) {
    Vol_ClearConsistent();
    return 0;
  }
  if (needed && root != nullptr) {
    g.recovering = 1;
    // The bitmap on disk may lag the log: what the replay allocates (meta
    // data blocks, list pages) must not take a page a later record claims.
    uint32_t claims = 0;
    int rc = replay(root, Tlog_CHANNEL_LOG, Tlog_TABLE_CLAIM, &stop_log, nullptr, 0, &claims);
    if (rc == 0)
      rc = replay(root, Tlog_CHANNEL_DO_LOG, Tlog_TABLE_CLAIM, &stop_do, nullptr, 0, &claims);
    if (rc == 0)
      rc = replay(root, Tlog_CHANNEL_LOG, Tlog_TABLE_REDO, &stop_log,
                  "volume recovery: recovering temporary checkpoint log actions", 1, &recovered);
    Node_RecoverTrackLists(true);
    if (rc == 0)
      rc = replay(root, Tlog_CHANNEL_DO_LOG, Tlog_TABLE_REDO, &stop_do,
                  "volume recovery: recovering committed transactions", 1, &recovered);
    Node_RecoverSettleChainedPages(rc == 0);
    Vol_ReleaseReserved();
    // Clusters listed by a pre-commit whose transaction never got linked
    // belong to nobody.
    if (rc == 0 && Node_RecoverDropUnconfirmed() != 0) rc = -1;
    Node_RecoverTrackLists(false);
    // Redo changed slots without counting them: the record files it
    // touched count again from their slots, still as recovery (nothing
    // is logged).
    if (rc == 0 && FixRec_RecoverCounts() != 0) rc = -1;
    // Nodes made by transactions the power cut before their commit.
    if (rc == 0 && Node_RecoverDropUncommitted() != 0) rc = -1;
    if (rc != 0) return give_up(rc);
    for (const auto& note : g_open_notes)
      debug_log('L', 0, "volume recovery: NOTE: %s", LogText(note.second.c_str()).c_str());
    g_open_notes.clear();
    g.recovering = 0;
    Node_Unlock(root);
    CRASH_POINT("recover.after_replay");
    // The owners the replay kept open write their meta data back.
    VNode_Flush(nullptr);
    Node_Close(root);
  }
  if (recovered != 0)
    debug_log('L', 1, "volume recovery: successfully recovered %u committed actions", recovered);
  else
    debug_log('L', 1, "volume recovery: state of committed transactions is OK");

  g.root = nullptr;
  VNode_Flush(nullptr);
  if (needed) {
    // What the replay changed reaches the disk before the log that holds
    // it is given up: node pages, meta data, every dirty page, the data
    // volumes' descriptors and free lists, flushed.
    Vol_SyncDataDurably();
    if (redirected) Vol_ClearRedirectFlags(1);
  }
  Vol_TlogRebuild();
  CRASH_POINT("recover.after_rebuild");
  if (SysPool_Get(1) == nullptr) {
    debug_log('L', 0, "Tlog_Recover() failed to setup log volume system pool node, file %s, "
              "line %d", __FILE__, __LINE__);
    return -1;
  }
  if (recovered != 0)
    debug_log('L', 1, "volume recovery: volume has been successfully recovered");
  else
    debug_log('L', 1, "volume recovery: state of volume is OK");
  Vol_ClearConsistent();
  return 0;
}
