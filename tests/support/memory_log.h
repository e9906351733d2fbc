// memory_log.h - an in-memory volume set (a DATA root and a LOG volume)
// with the transaction log started: what a database session needs for its
// transaction node, for tests that run the server's sessions in-process.
#pragma once
#include "platform/fault_file.h"
#include "storage/buffer_cache.h"
#include "storage/tio.h"
#include "tools/volume_create.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"

namespace testsupport {

class MemoryLog {
 public:
  // On the test's thread, before the kernel runs. False on a failure.
  bool start() {
    platform::set_file_system(&fs_);
    return Vol_Create("/m/root.vol", 2048, 256, 0) != nullptr &&
           Vol_CreateExtent("/m/log.vol", VolType_LOG, 2048, 256, 0) != nullptr &&
           buf_Init(256, 256) == 0 && SysPool_Initialize() == 0 && Tlog_Init() == 0 &&
           Tlog_SetupRootNode() == 0;
  }
  // After the kernel has stopped.
  void stop() {
    if (Vol_GetRootVol() != nullptr) {
      Vol_Sync(Vol_TIO_SYNC);
      Vol_Close();
      Vol_Free();
    }
    buf_Exit();
    Tlog_ResetTables();
    platform::set_file_system(nullptr);
  }

 private:
  platform::FaultFileSystem fs_;
};

}  // namespace testsupport
