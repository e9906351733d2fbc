// server_stop.h - the end of a server run over a real set, for crash
// tests: the vnodes closed, the shutdown checkpoint (skipped once the power
// is gone: the program runs on, but nothing reaches the disk), every page
// and descriptor written, the clean-close flag set, the set and its cache
// closed.
#pragma once
#include <gtest/gtest.h>

#include "storage/buffer_cache.h"
#include "storage/tlog.h"
#include "storage/vnode.h"
#include "storage/volume_set.h"

namespace storage_test {

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
