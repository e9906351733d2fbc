// A server whose data file goes bad during a checkpoint: every write or
// flush of it fails (EIO, or a full file system). The checkpoint fails and
// keeps the log, commits go on, the failure is logged once. A failed write
// leaves its pages dirty, so once the disk is good again the checkpoint
// retried writes them and succeeds. A failed flush may have cost the disk
// pages the cache holds as clean, so the log is kept until a restart
// recovers from it. Either way, after a power cut every acknowledged
// record is there and the consistency check finds nothing.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "platform/fault_file.h"
#include "storage/buffer_cache.h"
#include "storage/fixrec.h"
#include "storage/fixrec_fixture.h"
#include "storage/server_stop.h"
#include "storage/syspool.h"
#include "storage/task_runner.h"
#include "storage/tio.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"
#include "support/log_capture.h"
#include "support/set_check.h"
#include "tools/volume_create.h"

namespace {

using fixrec_test::record;

const char* kRoot = "/v/root.vol";
const char* kLog = "/v/log.vol";
constexpr uint32_t kSize = 600;

// The errors of the data file's writes and flushes during the first
// failed checkpoint, then during the second.
struct Fault {
  int write_err;
  int flush_err;
};

struct Case {
  const char* name;
  Fault first;
  Fault second;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// What the task bodies work on (task entries take no arguments).
struct World {
  platform::FaultFileSystem disk;
  Case c{};
  Node* file = nullptr;
  Node* tx = nullptr;
  uint32_t tag = 0;
  std::map<uint32_t, uint32_t> acked;  // recno -> tag, committed
  bool served = false;
};
World* w = nullptr;

// n transactions of one put each, every one acknowledged.
void commit_some(int n) {
  for (int i = 0; i < n; ++i) {
    const uint32_t tag = ++w->tag;
    ASSERT_EQ(Tlog_Begin(w->tx, "t", 1), 0);
    uint32_t recno = 0;
    ASSERT_EQ(FixRec_Put(w->file, &recno, record(kSize, tag).data(), nullptr, w->tx), 0);
    ASSERT_EQ(Tlog_Commit(w->tx), 0);
    Tlog_FinalCommit(w->tx);
    w->acked[recno] = tag;
  }
}

void serve() {
  commit_some(30);
  w->disk.fail_file(kRoot, w->c.first.write_err, w->c.first.flush_err);
  EXPECT_NE(Tlog_Checkpoint("disk failing"), 0);
  commit_some(30);
  w->disk.fail_file(kRoot, w->c.second.write_err, w->c.second.flush_err);
  EXPECT_NE(Tlog_Checkpoint("disk still failing"), 0);
  commit_some(10);
  w->disk.fail_file(kRoot, 0, 0);
  commit_some(10);
  EXPECT_EQ(Tlog_Checkpoint("disk good again"), 0);
  commit_some(10);
  w->served = true;
}

class CheckpointDiskError : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    w = new World;
    w->c = GetParam();
    platform::set_file_system(&w->disk);
  }
  void TearDown() override {
    if (Vol_GetRootVol() != nullptr) stop();
    platform::set_file_system(nullptr);
    delete w;
    w = nullptr;
  }
  void start() {
    storage_test::start_as_server({kRoot, kLog}, 64, 1, [] { ASSERT_EQ(FixRec_Init(), 0); });
    if (HasFatalFailure()) return;
    w->file = Node_Find(file_id);
    ASSERT_NE(w->file, nullptr);
    ASSERT_EQ(Node_Open(w->file), 0);
    w->tx = Tlog_Create();
    ASSERT_NE(w->tx, nullptr);
  }
  void stop() {
    if (w->file != nullptr && Node_RefCount(w->file) > 0) Node_Close(w->file);
    w->file = nullptr;
    if (w->tx != nullptr && Node_RefCount(w->tx) > 0) Node_Close(w->tx);
    w->tx = nullptr;
    storage_test::stop_as_server(w->disk.crashed());
  }
  // Exactly the acknowledged records.
  void check(const std::string& at) {
    SCOPED_TRACE(at);
    std::map<uint32_t, uint32_t> found;
    for (uint32_t r = 1; r <= FixRec_MaxRecno(w->file); ++r) {
      std::vector<uint8_t> b(kSize);
      const int rc = FixRec_Get(w->file, r, b.data(), nullptr, nullptr);
      ASSERT_GE(rc, 0) << "recno " << r;
      if (rc != 0) continue;
      auto it = w->acked.find(r);
      ASSERT_NE(it, w->acked.end()) << "recno " << r << " was never acknowledged";
      EXPECT_TRUE(b == record(kSize, it->second)) << "recno " << r << " not whole";
      found[r] = it->second;
    }
    EXPECT_EQ(found, w->acked);
    EXPECT_EQ(fixrec_test::meta_counts(w->file), fixrec_test::counted(w->file));
  }

  uint32_t file_id = 0;
};

TEST_P(CheckpointDiskError, ServerServesOnAndLosesNoAcknowledgedRecord) {
  fixrec_test::create_fixrec_set(kRoot, kLog, 2000, 0, kSize, &file_id);
  ASSERT_FALSE(HasFatalFailure());
  stop();
  start();
  ASSERT_FALSE(HasFatalFailure());
  {
    testsupport::LogCapture log("*0");
    ASSERT_EQ(tio_setup(), 0);
    {
      storage_test::TaskRunner runner;
      const bool ran = runner.run({serve});
      // The threads may still notify until they stop.
      tio_cleanup();
      ASSERT_TRUE(ran);
    }
    ASSERT_TRUE(w->served) << log.text();
    // The first failure of each kind is logged; the ones after it are not.
    const std::string text = log.text();
    const Case& c = GetParam();
    for (const auto& [err, what] :
         {std::pair{c.first.write_err | c.second.write_err, "WriteFile() failed"},
          std::pair{c.first.flush_err | c.second.flush_err, "Unable to flush"}}) {
      if (err == 0) continue;
      const std::string line = std::string(what);
      ASSERT_NE(text.find(line), std::string::npos) << text;
      EXPECT_EQ(text.find(line), text.rfind(line)) << text;
      EXPECT_NE(text.find(strerror(err)), std::string::npos) << text;
    }
  }
  check("while serving");
  // Power cut: only what was flushed stays, and recovery has the log.
  w->disk.crash_at(1, platform::PowerLoss::DropUnflushed);
  stop();
  w->disk.lose_power(platform::PowerLoss::DropUnflushed);
  start();
  ASSERT_FALSE(HasFatalFailure());
  check("after recovery");
  stop();
  testsupport::expect_set_consistent({kRoot, kLog}, "after a bad data disk");
}

INSTANTIATE_TEST_SUITE_P(
    Storage, CheckpointDiskError,
    ::testing::Values(Case{"WritesFailEIO", {EIO, 0}, {EIO, 0}},
                      Case{"WritesFailNoSpace", {ENOSPC, 0}, {ENOSPC, 0}},
                      Case{"FlushesFailEIO", {0, EIO}, {0, EIO}},
                      Case{"FlushesThenWritesFail", {0, EIO}, {EIO, 0}}),
    [](const auto& i) { return std::string(i.param.name); });

}  // namespace
