// jrnclear.cpp - the log reset tool: recovers the set and makes every LOG
// volume of it an empty log again.
//
// Refuses a set that was shut down in on-line backup mode: its LOG volumes
// hold the redirected data pages, which only the server's recovery puts
// back; emptying them would lose those pages.
//
// Context: one thread, no task kernel; every transfer blocks it.
#include <cstdio>
#include <string>
#include <vector>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "index/btree.h"
#include "storage/buffer_cache.h"
#include "storage/fixrec.h"
#include "storage/syspool.h"
#include "storage/tio.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"
#include "tools/util_frame.h"
#include "tools/volume_create.h"

namespace {

const UtilTool kTool = {"jrnclear", "JRNCLEAR", "vd:c:", nullptr, UtilOperand::None, false};

void close_set() {
  Vol_Close();
  Vol_Free();
  buf_Exit();
}

// A failed step: its message, then "<call>() failed with <status>", both
// logged at D 0.
int step_failed(const char* message, const char* call) {
  debug_log('D', 0, "%s", message);
  debug_log('D', 0, "%s() failed with %s", call, error_text());
  close_set();
  return 1;
}

int run(const UtilArgs& args, const CfgRecord* cfg, void*) {
  util_progress(args, "Opening root volume\n");
  if (util_open_set(cfg, 0) == nullptr) {
    util_failure("Unable to open root volume\n");
    return 1;
  }
  if (util_refuse_backup_mode()) {
    close_set();
    return 1;
  }
  if (Vol_GetTlogVol() == nullptr) {
    debug_log('D', 0, "No LOG volume present.");
    close_set();
    return 1;
  }
  Vol_SetSyncMode(cfg->server->sync_mode);
  util_progress(args, "Initializing cache subsystem ...\n");
  const int pages = cfg->limits->buffer_cache * 128;
  if (buf_Init(pages, pages) != 0)
    return step_failed("Unable to initialize buffer-cache subsystem.", "buf_Init");
  util_progress(args, "Initializing subsystems ...\n");
  if (Tlog_Init() != 0)
    return step_failed("Unable to initialize transaction log subsystem", "Tlog_Init");
  if (FixRec_Init() != 0) return step_failed("Unable to initialize FixRec subsystem", "FixRec_Init");
  if (btree_Init() != 0) return step_failed("Unable to initialize btree subsystem", "btree_Init");
  util_progress(args, "Recovering committed transactions ...\n");
  if (Tlog_Recover() != 0) return step_failed("Volume recovery failed", "Tlog_Recover");
  util_progress(args, "Resetting transaction log volume ...\n");
  if (Vol_TlogReset() != 0) return step_failed("Unable to reset the log volumes", "Vol_TlogReset");
  if (SysPool_Get(1) == nullptr)
    return step_failed("Failed to setup log volume system pool node", "SysPool_Find");
  std::vector<std::string> logs;
  for (int id = 0; id < Vol_NumVolumes(); ++id) {
    const VOLUME* v = &Vol_GetRootVol()[id];
    if (v->fhandle != nullptr && v->type == VolType_LOG) logs.emplace_back(v->path);
  }
  for (const std::string& path : logs) util_volume_hook(path.c_str());
  util_progress(args, "Closing volume ...\n");
  buf_Sync(nullptr, 0);
  Vol_SyncOpenVolumes(Vol_TIO_SYNC);
  // Recovery marked the set in use; its work is on disk and the log is
  // empty now, so the set is left as a clean shutdown leaves it.
  Vol_SetConsistent();
  close_set();
  util_progress(args, "done.\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return util_main(kTool, argc, argv, nullptr, nullptr, UtilConfig::NeedVolumes, run);
}
