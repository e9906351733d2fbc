// syscat_power.h - the steps a power-loss sweep over the catalog's volume
// set shares: everything made durable, the set forgotten after a cut (its
// files are gone for the program), and an orderly close.
#pragma once
#include "index/syscat.h"
#include "index/syscat_fixture.h"
#include "storage/buffer_cache.h"
#include "storage/tlog.h"
#include "storage/tlog_state.h"
#include "storage/volume_set.h"

namespace syscat_test {

// Everything written and flushed to the disk.
inline void sync_all() {
  Vol_Sync(Vol_TIO_SYNC);
  for (int v = 0; v < Vol_NumVolumes(); ++v)
    if (Vol_GetRootVol()[v].fhandle != nullptr) Vol_GetRootVol()[v].fhandle->datasync();
}

// After a cut the files are gone for the program (every transfer fails):
// the log's root node and run-time parts are dropped as they are, and the
// log leaves the node layer's shutdown, which would close (and write)
// them; then the catalog and the set are forgotten the same way.
inline void abandon_power_set() {
  tlog::g.root = nullptr;
  tlog::drop_all_runtimes();
  Node_UnregisterSubsystem(Tlog_Notify);
  abandon_set();
}

inline void close_power_set() {
  SysCat_close();
  sync_all();
  Vol_Close();
  Vol_Free();
  buf_Exit();
}

}  // namespace syscat_test
