// tlog_tx.cpp - log nodes and transactions: the TL subsystem and its meta
// callbacks, the root log node, begin, nested and outermost pre-commit,
// final commit, rollback (complete or back to a begin record), the queries
// on a transaction stack, the API lock, root_log_sem and the counters.
//
// State: the root log node, the two 10000-unit semaphores and the counters
// (tlog_state.h); each transaction node's stack lives in its run-time part.
// A transaction node is used by one task at a time (its reference count is
// 1 whenever a transaction operation runs on it).
//
// Context: the server thread. A call may suspend where it takes a node
// lock or a semaphore (both may be cut short: -1, status 27 or the lock's),
// in the handlers, and in the final commit's force, which waits until the
// LOG volumes hold the commit (never cut).
#include <cstring>

#include "base/debug_log.h"
#include "base/panic.h"
#include "base/server_counters.h"
#include "base/task_kernel.h"
#include "storage/backup_redirect.h"
#include "storage/buffer_cache.h"
#include "storage/crash_point.h"
#include "storage/node_log.h"
#include "storage/node_tlog_seams.h"
#include "storage/pool.h"
#include "storage/tio.h"
#include "storage/tlog_state.h"
#include "storage/vnode.h"
#include "storage/volume_set.h"

using namespace tlog;

namespace {

Semaphore fresh_semaphore() {
  Semaphore s;
  s.count = Tlog_SEM_UNITS;
  return s;
}
Semaphore g_api_lock = fresh_semaphore();
Semaphore g_root_log_sem = fresh_semaphore();

const char* or_untitled(const char* s) { return s != nullptr ? s : "<untitled>"; }

bool log_off(const Node* node) { return g.root == nullptr || node == nullptr; }

void check_single_reference(const Node* node) {
  ZENT_ASSERT(Node_RefCount(node) == 1 && "Node_RefCount(node) == 1");
}

[[noreturn]] void internal(const char* what) { panic_assert_failed(what, __FILE__, __LINE__); }

// Frees the run-time lists of node, marking the meta data dirty when
// something went.
void free_run_time(Node* node, Runtime* rt) {
  if (free_runtime_lists(node, rt)) Node_SetMetaDirty(node);
}

// Writes the cached pages of the blocks from it to end (inclusive).
void write_moved(Node* root, FPool_ITER it, const Node_ADDR& end) {
  for (;;) {
    const uint32_t first = it.addr.offset / Vol_PAGESIZE;
    const uint32_t last = (it.addr.offset + Pool_HEADER_SIZE + it.addr.size - 1u) / Vol_PAGESIZE;
    buf_Sync_page(root, it.addr.cluster + first, static_cast<int>(last - first + 1));
    if (it.addr.cluster == end.cluster && it.addr.offset == end.offset) return;
    if (FPool_Next(&it) != 0) return;
  }
}

int take_units(Semaphore* sem, int n, const char* file, int line) {
  if (down_count(sem, n, file, line) != 0) {
    TLOG_ERROR(Tlog_E_SEMAPHORE);
    return -1;
  }
  return 0;
}

}  // namespace

// --- Subsystem and log nodes ---------------------------------------------------------------

int Tlog_Init() {
  Tlog_ResetTables();
  NodeLog_RegisterHandlers();
  Vol_RegisterRedirectHandlers();
  Tlog_ResetSemaphores();
  Vol_SetTlogReserveFn(reserve_pages);
  // A second start in one process (tests) registers afresh.
  if (Node_SubsystemRegistered(Tlog_Notify)) Node_UnregisterSubsystem(Tlog_Notify);
  return Node_RegisterSubsystem(NodeType_TL, Tlog_Notify);
}

int Tlog_Notify(Node* node, int event) {
  switch (event) {
    case Node_EVENT_SHUTDOWN:
      Tlog_CloseRootNode();
      drop_all_runtimes();
      Node_UnregisterSubsystem(Tlog_Notify);
      return 0;
    case Node_EVENT_META_READ:
      // A fresh run-time part: whatever an earlier run left is gone.
      drop_runtime(node);
      runtime(node);
      return 0;
    case Node_EVENT_LAST_CLOSE: {
      Runtime* rt = runtime(node);
      free_run_time(node, rt);
      store_meta(node, rt, false);
      drop_runtime(node);
      return 0;
    }
    case Node_EVENT_RESET:
      return Tlog_ResetMeta(node);
    default:
      return 0;
  }
}

Node* Tlog_CreateNode(uint32_t system_node_id) {
  Node* node = system_node_id != 0 ? Pool_SysCreateLog(system_node_id) : Pool_CreateLog();
  if (node == nullptr) return nullptr;
  FPool_SetNoUlist(node);
  if (system_node_id != 0) Node_SetFlag(Node_SYSPOOL, node);
  if (Node_Open(node) != 0) {
    Node_Delete(node);
    return nullptr;
  }
  Node_SetType(node, NodeType_TL);
  if (Node_SetupMetaData(node, Tlog_META_SIZE) == nullptr) {
    Node_Close(node);
    Node_Delete(node);
    return nullptr;
  }
  Tlog_META fresh;
  uint8_t image[Tlog_META_SIZE];
  Tlog_EncodeMeta(fresh, image);
  memcpy(Node_GetMetaData(node), image, Tlog_META_SIZE);
  drop_runtime(node);
  store_meta(node, runtime(node), system_node_id != 0);
  return node;
}

Node* Tlog_Create() { return Tlog_CreateNode(0); }

int Tlog_Destroy(Node* node) {
  if (node == nullptr) return 0;
  check_single_reference(node);
  Node_Close(node);
  return Node_Delete(node);
}

int Tlog_ResetMeta(Node* node) {
  debug_log('L', 3, "Tlog_ResetMeta(node=%s)", Node_Name(node));
  // A create cut short before the meta data existed (a session closed while
  // it was being set up) left nothing to reset: its delete goes on.
  if (Node_GetMetaSize(node) == 0) return 0;
  if (Node_Open(node) != 0) return -1;
  if (Node_Lock(node, __FILE__, __LINE__) != 0) {
    Node_Close(node);
    return -1;
  }
  Runtime* rt = runtime(node);
  int rc = 0;
  if (node == g.root) {
    const int walk = Tlog_Action(node, Tlog_CHANNEL_DO_LOG, Tlog_GetTable(Tlog_TABLE_CHECKPOINT),
                                 nullptr, nullptr, nullptr, 0);
    if (walk < 0) rc = -1;
    if (walk > 0) TLOG_ERROR(Tlog_E_REDO);
    g.root_pages = 0;
  }
  if (rc == 0) {
    FPool_Truncate(node, nullptr, &rt->meta.log_anchor);
    FPool_Truncate(node, nullptr, &rt->meta.do_log_anchor);
    if (rt->stack.count > 0)
      debug_log('L', 1, "Tlog_ResetMeta(node=%s) note: transaction stack has not been "
                "previously cleaned-up", Node_Name(node));
    if (rt->contexts != nullptr)
      debug_log('L', 1, "Tlog_ResetMeta(node=%s) note: list of context records has not been "
                "previously cleaned-up", Node_Name(node));
    if (rt->free_items.count > 0)
      debug_log('L', 1, "Tlog_ResetMeta(node=%s) note: list of free pool items has not been "
                "previously cleaned-up", Node_Name(node));
    free_runtime_lists(node, rt);
    store_meta(node, rt, false);
  }
  Node_Unlock(node);
  Node_Close(node);
  VNode_Flush(node);
  return rc;
}

// --- The root log node ---------------------------------------------------------------------

Node* Tlog_RootNode() { return g.root; }

int Tlog_SetupRootNode() {
  if (g.root != nullptr) return 0;
  Node* node = Node_SysFindLog(Tlog_ROOTNODE);
  if (node == nullptr) {
    node = Tlog_CreateNode(Tlog_ROOTNODE);
    if (node == nullptr) return -1;
    Node_Sync(node);
  } else {
    ZENT_ASSERT(Node_RefCount(node) == 0 && "Node_RefCount(tlog_rootnode) == 0");
    Node_SetFlag(Node_SYSPOOL, node);
    if (Node_Open(node) != 0) return -1;
  }
  g.root = node;
  return 0;
}

void Tlog_CloseRootNode() {
  if (g.root == nullptr) return;
  check_single_reference(g.root);
  Node* root = g.root;
  Node_Close(root);
  g.root = nullptr;
}

uint32_t Tlog_RootPages() { return g.root_pages; }
void Tlog_SetRootPages(uint32_t pages) { g.root_pages = pages; }
Tlog_META* Tlog_RootAnchors() { return g.root != nullptr ? &runtime(g.root)->meta : nullptr; }

int Tlog_InRecovery() { return g.recovering; }
void Tlog_SetRecovery(int on) { g.recovering = on ? 1 : 0; }

// --- Transactions ----------------------------------------------------------------------------

int Tlog_Begin(Node* node, const char* comment, uint32_t txid) {
  if (log_off(node)) return 0;
  ZENT_ASSERT(txid != 0 && "txid");
  check_single_reference(node);
  if (comment != nullptr)
    debug_log('L', 3, "Tlog_Begin(node=%s, comment=%s)", Node_Name(node), comment);
  else
    debug_log('L', 3, "Tlog_Begin(node=%s, <untitled>)", Node_Name(node));
  Runtime* rt = runtime(node);
  const bool nested = rt->stack.count > 0;
  auto* item = static_cast<StackItem*>(Llist_AddItem(&rt->stack, sizeof(StackItem)));
  if (item == nullptr) {
    debug_log('L', 0, "Tlog_Begin(node=%s) failed on Llist_AddItem(size=%u)", Node_Name(node),
              static_cast<unsigned>(sizeof(StackItem)));
    internal("Tlog_Begin() failed: heap overflow");
  }
  *item = StackItem{Node_ADDR{}, txid, 1, 0};
  if (nested) item->sub_id = ++outermost(rt)->sub_id;
  const uint32_t size = comment != nullptr ? static_cast<uint32_t>(strlen(comment)) + 1 : 0;
  Node_ADDR pos;
  if (Tlog_WriteRecord(node, Tlog_OP_BEGIN, Tlog_CHANNEL_LOG, nullptr, comment, size, &pos) != 0) {
    // The innermost element is ours still: nothing else runs on this node.
    Llist_DeleteItem(innermost(rt));
    if (!nested) Node_WakeUp(node);
    return -1;
  }
  item = innermost(rt);
  item->begin_pos = pos;
  item->actions = 0;  // the begin record is not one of its actions
  debug_log('L', 2, "Node %s: begin %stransaction #%u: %s", Node_Name(node),
            nested ? "sub-" : "", txid, or_untitled(comment));
  if (nested)
    g.counters.sub_begins++;
  else
    g.counters.top_begins++;
  return 0;
}

int Tlog_Commit(Node* node) {
  if (log_off(node)) return 0;
  check_single_reference(node);
  Runtime* rt = runtime(node);
  StackItem* in = innermost(rt);
  if (in == nullptr) {
    debug_log('L', 2, "Tlog_Commit(node=%s) note: transaction stack is empty", Node_Name(node));
    TLOG_ERROR(Tlog_E_NO_TX);
    return -1;
  }
  if (rt->stack.count > 1) {
    debug_log('L', 2, "Node %s: pre-commit sub-transaction #%u with %u actions", Node_Name(node),
              in->txid, in->actions);
    static_cast<StackItem*>(Llist_Prev(in))->actions += in->actions;
    Llist_DeleteItem(in);
  } else {
    ZENT_ASSERT(!FPool_ValidAnchor(&rt->meta.do_log_anchor) &&
                "!FPool_ValidAnchor(&meta->do_log_anchor)");
    debug_log('L', 2, "Node %s: pre-commit transaction #%u with %u actions", Node_Name(node),
              in->txid, in->actions);
    if (Node_Lock(node, __FILE__, __LINE__) != 0) return -1;
    const int walk = Tlog_Action(node, Tlog_CHANNEL_LOG, Tlog_GetTable(Tlog_TABLE_PRECOMMIT),
                                 nullptr, nullptr, nullptr, 0);
    Node_Unlock(node);
    if (walk < 0) return -1;
    if (walk > 0) {
      TLOG_ERROR(Tlog_E_PRECOMMIT);
      return -1;
    }
    debug_log('L', 2, "Node %s: transaction #%u successfully pre-committed", Node_Name(node),
              innermost(rt)->txid);
  }
  g.counters.precommits++;
  return 0;
}

void Tlog_FinalCommit(Node* node) {
  if (log_off(node)) return;
  check_single_reference(node);
  check_single_reference(g.root);
  Runtime* rt = runtime(node);
  ZENT_ASSERT(rt->stack.count == 1 && "Llist_NumItems(&meta->tx_stack) == 1");
  const StackItem* item = innermost(rt);
  const uint32_t txid = item->txid;
  g.counters.final_commits++;
  server_count(server_counters.commits);
  debug_log('L', 2, "Node %s: commit transaction #%u with %u actions", Node_Name(node), txid,
            item->actions);
  if (Node_Lock(node, __FILE__, __LINE__) != 0)
    internal("Tlog_FinalCommit() failed on Node_Lock(node) (1)");

  // The unit's end: the last record of DO_LOG closes it.
  FPool_ITER last;
  if (FPool_ValidAnchor(&rt->meta.do_log_anchor)) {
    if (FPool_Last(node, &rt->meta.do_log_anchor, &last) != 0)
      internal("Tlog_FinalCommit() failed on FPool_Last()");
    vbuf* buffer = VBUF_OPEN(Vol_PAGESIZE);
    auto* b = static_cast<uint8_t*>(buffer->data);
    const uint32_t size = last.addr.size < Vol_PAGESIZE ? last.addr.size : Vol_PAGESIZE;
    const int got = Pool_Read(node, &last.addr, b, size, nullptr);
    ZENT_ASSERT(got >= static_cast<int>(Tlog_OVERHEAD) && "size >= Tlog_OVERHEAD");
    uint32_t off = 0;
    for (;;) {
      ZENT_ASSERT(static_cast<uint32_t>(got) - off >= Tlog_OVERHEAD && "size >= Tlog_OVERHEAD");
      const uint32_t next = Tlog_DecodeHead(b + off).next;
      if (next == 0) break;
      off += next;
    }
    uint8_t& state = b[off + 13];
    if (state == Tlog_STATE_FIRST)
      state = Tlog_STATE_ONLY;
    else if (state == Tlog_STATE_MORE)
      state = Tlog_STATE_LAST;
    else
      internal("Tlog_FinalCommit() failed: unexpected record state");
    if (Pool_Write(node, &last.addr, b, static_cast<uint32_t>(got), nullptr) != got)
      internal("Tlog_FinalCommit() failed on Pool_Write()");
    VBuf_Close(buffer);
    // Write-ahead: the unit's blocks and the page copies its records name
    // are durable before anything links them into the root's chain. A
    // power loss may land any unflushed write, torn, and recovery trusts
    // whatever the root's chain reaches; with both on the disk first, the
    // link is the only write that can still be lost.
    FPool_ITER first;
    if (FPool_First(node, &rt->meta.do_log_anchor, &first) != 0)
      internal("Tlog_FinalCommit() failed on FPool_First()");
    write_moved(node, first, last.addr);
    Vol_TlogForceSync(Vol_TIO_SYNC);
  }

  if (down(&g_root_log_sem, __FILE__, __LINE__) != 0)
    internal("Tlog_FinalCommit() failed on down(&root_log_sem)");
  Node* root = g.root;
  if (Node_Lock(root, __FILE__, __LINE__) != 0)
    internal("Tlog_FinalCommit() failed on Node_Lock(tlog_rootnode)");
  Runtime* root_rt = runtime(root);
  const bool root_was_empty = !FPool_ValidAnchor(&root_rt->meta.do_log_anchor);
  const bool linked_any = FPool_ValidAnchor(&rt->meta.do_log_anchor);
  const uint32_t old_tail = root_rt->meta.do_log_anchor.tail;
  FPool_ITER moved;
  if (FPool_Link(root, &root_rt->meta.do_log_anchor, node, &rt->meta.do_log_anchor, &moved,
                 nullptr) != 0)
    internal("Tlog_FinalCommit() failed on FPool_Link()");
  const Node_ADDR link_end = root_rt->meta.do_log_anchor.last_block;
  // Clusters linked whole count as pages the root log gained; blocks copied
  // into the root's last cluster add none.
  if (linked_any && root_rt->meta.do_log_anchor.tail != old_tail) g.root_pages += rt->do_log_pages;
  rt->do_log_pages = 0;
  store_meta(root, root_rt, root_was_empty);
  store_meta(node, rt, false);
  Node_Unlock(root);

  // From here the transaction survives a crash: the moved blocks and the
  // root's anchor are on the LOG volumes before anything is applied, and
  // the force waits until the flush has covered them. The root's own
  // changes were written through; clusters linked whole came with the
  // node's cached pages, which are written here.
  if (linked_any && root_rt->meta.do_log_anchor.tail != old_tail) write_moved(root, moved, link_end);
  CRASH_POINT("final_commit.before_force");
  Vol_TlogForceSync(Vol_TIO_SYNC);
  g.counters.forces++;
  CRASH_POINT("final_commit.after_force");

  FPool_Truncate(node, nullptr, &rt->meta.log_anchor);
  store_meta(node, rt, false);
  Node_Unlock(node);

  if (linked_any) {
    if (Tlog_Action(root, 0, Tlog_GetTable(Tlog_TABLE_FINALCOMMIT), &moved, &link_end, nullptr,
                    0) != 0)
      internal("Tlog_FinalCommit() failed on Tlog_Action()");
  }
  up(&g_root_log_sem);

  if (Node_Lock(node, __FILE__, __LINE__) != 0)
    internal("Tlog_FinalCommit() failed on Node_Lock(node) (2)");
  free_run_time(node, rt);
  Node_Unlock(node);
  Node_WakeUp(node);
  debug_log('L', 2, "Node %s: transaction #%u successfully committed", Node_Name(node), txid);
}

int Tlog_Rollback(Node* node, uint32_t txid) {
  if (log_off(node)) return 0;
  check_single_reference(node);
  Runtime* rt = runtime(node);
  StackItem* found = nullptr;
  bool complete = true;
  if (txid == 0) {
    debug_log('L', 3, "Tlog_Rollback(node=%s, txid=ALL)", Node_Name(node));
  } else {
    for (void* p = Llist_Last(&rt->stack); p != nullptr; p = Llist_Prev(p)) {
      if (static_cast<StackItem*>(p)->txid == txid) {
        found = static_cast<StackItem*>(p);
        break;
      }
    }
    if (found == nullptr) {
      debug_log('L', 2, "Tlog_Rollback(node=%s) note: transaction #%u not found on transaction "
                "stack", Node_Name(node), txid);
      TLOG_ERROR(Tlog_E_NO_TX);
      return -1;
    }
    complete = found == outermost(rt);
    debug_log('L', 3, "Tlog_Rollback(node=%s, txid=#%u) %u actions", Node_Name(node), txid,
              Tlog_NumActions(node, txid));
  }
  if (Node_Lock(node, __FILE__, __LINE__) != 0) return -1;
  const Node_ADDR begin_pos = found != nullptr ? found->begin_pos : Node_ADDR{};
  const int walk = Tlog_Action(node, Tlog_CHANNEL_LOG, Tlog_GetTable(Tlog_TABLE_ROLLBACK), nullptr,
                               complete ? nullptr : &begin_pos, nullptr, 1);
  if (walk != 0) {
    Node_Unlock(node);
    if (walk > 0) TLOG_ERROR(Tlog_E_ROLLBACK);
    return -1;
  }
  if (Tlog_NumDispatched() > 0) g.counters.rollbacks++;
  if (!complete) {
    FPool_Truncate(node, &begin_pos, &rt->meta.log_anchor);
    store_meta(node, rt, false);
    while (innermost(rt) != found) Llist_DeleteItem(innermost(rt));
    Llist_DeleteItem(found);
    Node_Unlock(node);
    debug_log('L', 3, "Tlog_Rollback(node=%s, txid=#%u) succeeded", Node_Name(node), txid);
    return 0;
  }
  Node_Unlock(node);
  debug_log('L', 2, "Node %s: transaction has been completely rolled-back", Node_Name(node));
  free_run_time(node, rt);
  // Both chains go: a pre-commit that stopped half-way leaves records in
  // DO_LOG that no later pre-commit may find.
  FPool_Truncate(node, nullptr, &rt->meta.log_anchor);
  FPool_Truncate(node, nullptr, &rt->meta.do_log_anchor);
  rt->do_log_pages = 0;
  store_meta(node, rt, false);
  Node_WakeUp(node);
  if (txid == 0)
    debug_log('L', 3, "Tlog_Rollback(node=%s, txid=ALL) succeeded", Node_Name(node));
  else
    debug_log('L', 3, "Tlog_Rollback(node=%s, txid=#%u) succeeded", Node_Name(node), txid);
  return 0;
}

// --- Queries ---------------------------------------------------------------------------------

uint32_t Tlog_TxID(Node* node) {
  if (log_off(node)) return 0;
  check_single_reference(node);
  StackItem* in = innermost(runtime(node));
  return in != nullptr ? in->txid : 0;
}

uint32_t Tlog_SubID(Node* node) {
  if (log_off(node)) return 0;
  check_single_reference(node);
  Runtime* rt = runtime(node);
  if (rt->stack.count == 0) return 0;
  return record_txid(rt);
}

uint32_t Tlog_EnclosingSubID(Node* node, uint32_t sub_id) {
  if (log_off(node)) return 0;
  check_single_reference(node);
  ZENT_ASSERT(sub_id != 0 && "sub_id");
  Runtime* rt = runtime(node);
  StackItem* out = outermost(rt);
  for (void* p = Llist_Last(&rt->stack); p != nullptr; p = Llist_Prev(p)) {
    auto* item = static_cast<StackItem*>(p);
    if (item == out) return 1;
    if (item->sub_id <= sub_id) return item->sub_id;
  }
  return 0;
}

uint32_t Tlog_TxDepth(Node* node) {
  if (log_off(node)) return 0;
  check_single_reference(node);
  return runtime(node)->stack.count;
}

uint32_t Tlog_NumActions(Node* node, uint32_t txid) {
  if (log_off(node)) return 0;
  check_single_reference(node);
  uint32_t sum = 0;
  for (void* p = Llist_Last(&runtime(node)->stack); p != nullptr; p = Llist_Prev(p)) {
    auto* item = static_cast<StackItem*>(p);
    sum += item->actions;
    if (txid != 0 && item->txid == txid) break;
  }
  return sum;
}

// --- Semaphores and counters -----------------------------------------------------------------

int Tlog_ApiLock(const char* file, int line) {
  return take_units(&g_api_lock, Tlog_SEM_UNITS, file, line);
}
void Tlog_ApiUnlock() { up_count(&g_api_lock, Tlog_SEM_UNITS); }
int Tlog_ApiSharedLock(const char* file, int line) {
  return take_units(&g_api_lock, 1, file, line);
}
void Tlog_ApiSharedUnlock() { up(&g_api_lock); }
void Tlog_Thaw() { Tlog_ApiUnlock(); }

int Tlog_ApiWaiters() {
  int n = 0;
  for (const WaitQueue* q : {&g_api_lock.wait, &g_api_lock.parked})
    for (const WaitEntry* e = q->head; e != nullptr; e = e->next) ++n;
  return n;
}

int Tlog_CheckpointLock(const char* file, int line) {
  return take_units(&g_root_log_sem, 1, file, line);
}
void Tlog_CheckpointUnlock() { up(&g_root_log_sem); }
int Tlog_RootLogLockAll(const char* file, int line) {
  return take_units(&g_root_log_sem, Tlog_SEM_UNITS, file, line);
}
void Tlog_RootLogUnlockAll() { up_count(&g_root_log_sem, Tlog_SEM_UNITS); }

void Tlog_ResetSemaphores() {
  g_api_lock = fresh_semaphore();
  g_root_log_sem = fresh_semaphore();
}

const Tlog_COUNTERS* Tlog_Counters() { return &g.counters; }

uint32_t Tlog_TakeFinalCommits() {
  const uint32_t n = g.counters.final_commits;
  g.counters.final_commits = 0;
  return n;
}
