// server_stop.h - the start and end of a server run over a real set, for
// crash tests. The start: the set opened, the sync mode set, the log and
// the subsystems whose records it replays set up, crash recovery, the
// start-up checkpoint. The end: the vnodes closed, the shutdown checkpoint
// (skipped once the power is gone: the program runs on, but nothing
// reaches the disk), every page and descriptor written, the clean-close
// flag set, the set and its cache closed.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/buffer_cache.h"
#include "storage/tio.h"
#include "storage/tlog.h"
#include "storage/vnode.h"
#include "storage/volume_set.h"

namespace storage_test {

// subsystems() registers the kinds of node the log replays (FixRec_Init,
// btree_Init, ...) once the log is set up; it may fail the test.
template <class Subsystems>
void start_as_server(const std::vector<std::string>& paths, int nbufs, int sync_mode,
                     Subsystems subsystems) {
  std::vector<const char*> argv;
  for (const std::string& p : paths) argv.push_back(p.c_str());
  ASSERT_NE(Vol_OpenSet(static_cast<int>(argv.size()), argv.data()), nullptr);
  ASSERT_EQ(Vol_SetSyncMode(sync_mode), 0);
  ASSERT_EQ(buf_Init(nbufs, nbufs), 0);
  ASSERT_EQ(Tlog_Init(), 0);
  subsystems();
  if (::testing::Test::HasFatalFailure()) return;
  ASSERT_EQ(Tlog_Recover(), 0);
  ASSERT_EQ(Tlog_Checkpoint("Server startup"), 0);
}

inline void stop_as_server(bool power_gone) {
  VNode_Flush(nullptr);
  if (!power_gone) { EXPECT_EQ(Tlog_Checkpoint("Server shutdown"), 0); }
  VNode_Flush(nullptr);
  VNode_Cleanup();
  Vol_Sync(Vol_TIO_SYNC);
  Vol_SetConsistent();
  Vol_Close();
  Vol_Free();
  buf_Exit();
}

}  // namespace storage_test
