// Fuzz target: one log record, as recovery reads it back from a damaged
// LOG volume, handed to the handlers of every opcode. Each input gets a
// small set of its own on the file double (root and LOG volume, a pool
// with blocks, a fixed-record file), the record is written to the root's
// DO_LOG with the input's opcode, owner and bytes, and the root's chain is
// walked with one table as recovery and a checkpoint walk it. A handler may
// refuse the record (damage) or apply it; it must never read outside the
// record, assert or crash, and the set must close afterwards.
//
// Input: byte 0 the opcode (2..20), byte 1 the table (low 3 bits) and the
// owner (next 2 bits: none, the pool, the record file), the rest the data.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "base/debug_log.h"
#include "platform/fault_file.h"
#include "storage/buffer_cache.h"
#include "storage/fixrec.h"
#include "storage/node_log.h"
#include "storage/pool.h"
#include "storage/syspool.h"
#include "storage/tio.h"
#include "storage/tlog.h"
#include "storage/tlog_state.h"
#include "storage/vnode.h"
#include "storage/volume_set.h"
#include "tools/volume_create.h"

namespace {

const char* kRoot = "/v/root.vol";
const char* kLog = "/v/log.vol";

constexpr Tlog_TABLE kTables[] = {Tlog_TABLE_REDO,          Tlog_TABLE_REDO,
                                  Tlog_TABLE_FINALCOMMIT,   Tlog_TABLE_CLAIM,
                                  Tlog_TABLE_EXTEND_REDO,   Tlog_TABLE_REDIRECT_REDO,
                                  Tlog_TABLE_CHECKPOINT,    Tlog_TABLE_REDO};

struct Set {
  Node* pool = nullptr;
  Node* file = nullptr;
};

bool start(Set* s) {
  if (Vol_Create(kRoot, 640, 64, 0) == nullptr) return false;
  if (Vol_CreateExtent(kLog, VolType_LOG, 640, 64, 0) == nullptr) return false;
  if (buf_Init(64, 64) != 0 || SysPool_Initialize() != 0 || Tlog_Init() != 0 ||
      FixRec_Init() != 0 || Tlog_Checkpoint("fuzz") != 0)
    return false;
  s->pool = Pool_Create();
  if (s->pool == nullptr) return false;
  for (int i = 0; i < 3; ++i) {
    Node_ADDR a;
    if (Pool_Alloc(s->pool, 600, &a, nullptr) != 0) return false;
  }
  s->file = FixRec_Create(20, 1);
  return s->file != nullptr;
}

void stop() {
  VNode_Flush(nullptr);
  VNode_Cleanup();
  Vol_Sync(Vol_TIO_SYNC);
  Vol_Close();
  Vol_Free();
  buf_Exit();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size - 2 > Vol_PAGESIZE - Tlog_OVERHEAD) return 0;
  // Refusals log at level 0: kept out of the fuzzer's output.
  static const bool quiet = [] {
    debug_set_stream(fopen("/dev/null", "w"));
    return true;
  }();
  (void)quiet;
  platform::FaultFileSystem disk;
  platform::set_file_system(&disk);
  Set s;
  if (!start(&s)) abort();
  const uint8_t opcode = static_cast<uint8_t>(2 + data[0] % 19);
  const Tlog_TABLE table = kTables[data[1] & 7];
  Node* const owners[] = {nullptr, s.pool, s.file, s.pool};
  Node* owner = owners[(data[1] >> 3) & 3];
  Node* root = Tlog_RootNode();
  const uint32_t n = static_cast<uint32_t>(size - 2);
  if (Tlog_WriteRecord(root, opcode, Tlog_CHANNEL_DO_LOG, owner, n > 0 ? data + 2 : nullptr, n,
                       nullptr) != 0)
    abort();
  // Every table but the checkpoint's is walked as recovery walks it.
  tlog::g.recovering = table != Tlog_TABLE_CHECKPOINT ? 1 : 0;
  if (Node_Lock(root, __FILE__, __LINE__) != 0) abort();
  const int rc = Tlog_Action(root, Tlog_CHANNEL_DO_LOG, Tlog_GetTable(table), nullptr, nullptr,
                             nullptr, 0);
  Node_Unlock(root);
  tlog::g.recovering = 0;
  (void)rc;
  Vol_ReleaseReserved();
  stop();
  platform::set_file_system(nullptr);
  return 0;
}
