// A LOG volume that cannot grow, filled by one transaction of puts into a
// fixed-record file: the put that does not fit is refused (no space), and
// the rollback of the puts before it, or the commit of them, still finds
// its log pages; so does a commit whose pre-commit is refused. After the
// power goes the set starts again (recovery), holds exactly the committed
// records, takes new ones, and the consistency check finds nothing.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/fault_file.h"
#include "storage/buffer_cache.h"
#include "storage/fixrec.h"
#include "storage/fixrec_fixture.h"
#include "storage/server_stop.h"
#include "storage/syspool.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"
#include "support/set_check.h"
#include "tools/volume_create.h"

namespace {

using fixrec_test::record;
using fixrec_test::status_code;

const char* kRoot = "/v/root.vol";
const char* kLog = "/v/log.vol";
constexpr uint32_t kSize = 8000;      // a LOG page a put, another at pre-commit
constexpr uint32_t kSmall = 40;       // fills what big records leave
constexpr uint32_t kLogPages = 400;   // no extension

enum class End { Rollback, Disconnect, CommitTheRest, RefusedAtCommit };

struct Case {
  const char* name;
  End end;
};

class FixRecLogFull : public ::testing::Test {
 protected:
  void SetUp() override { platform::set_file_system(&disk); }
  void TearDown() override {
    if (Vol_GetRootVol() != nullptr) stop();
    platform::set_file_system(nullptr);
  }
  void make_set() {
    ASSERT_NE(Vol_Create(kRoot, 1024, 256, 0), nullptr);
    ASSERT_NE(Vol_CreateExtent(kLog, VolType_LOG, kLogPages, 0, 0), nullptr);
    ASSERT_EQ(Vol_SetSyncMode(1), 0);
    ASSERT_EQ(buf_Init(256, 256), 0);
    ASSERT_EQ(SysPool_Initialize(), 0);
    ASSERT_EQ(Tlog_Init(), 0);
    ASSERT_EQ(FixRec_Init(), 0);
    ASSERT_EQ(Tlog_Checkpoint("Server startup"), 0);
    Node* f = FixRec_Create(kSize, 1);
    ASSERT_NE(f, nullptr);
    file_id = Node_GetId(f);
    Node* s = FixRec_Create(kSmall, 1);
    ASSERT_NE(s, nullptr);
    small_id = Node_GetId(s);
    stop();
  }
  void start() {
    storage_test::start_as_server({kRoot, kLog}, 256, 1, [] { ASSERT_EQ(FixRec_Init(), 0); });
    if (HasFatalFailure()) return;
    file = Node_Find(file_id);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(Node_Open(file), 0);
    small = Node_Find(small_id);
    ASSERT_NE(small, nullptr);
    ASSERT_EQ(Node_Open(small), 0);
    tx = Tlog_Create();
    ASSERT_NE(tx, nullptr);
  }
  void stop() {
    if (file != nullptr && Node_RefCount(file) > 0) Node_Close(file);
    file = nullptr;
    if (small != nullptr && Node_RefCount(small) > 0) Node_Close(small);
    small = nullptr;
    if (tx != nullptr && Node_RefCount(tx) > 0) Node_Close(tx);
    tx = nullptr;
    storage_test::stop_as_server(disk.crashed());
  }
  // Puts until one is refused or limit puts were made; the numbers taken.
  std::vector<uint32_t> puts(uint32_t tag, uint32_t limit, bool* refused) {
    std::vector<uint32_t> out;
    *refused = false;
    for (uint32_t i = 0; i < limit; ++i) {
      uint32_t recno = 0;
      if (FixRec_Put(file, &recno, record(kSize, tag + i).data(), nullptr, tx) != 0) {
        EXPECT_EQ(status_code(), static_cast<uint32_t>(VOL_E_NO_SPACE));
        *refused = true;
        break;
      }
      out.push_back(recno);
      tags[recno] = tag + i;
    }
    return out;
  }
  void commit(const std::vector<uint32_t>& recnos) {
    ASSERT_EQ(Tlog_Commit(tx), 0);
    Tlog_FinalCommit(tx);
    for (uint32_t r : recnos) acked[r] = tags[r];
  }
  // Exactly the acknowledged records of each file.
  void check(const std::string& at) {
    SCOPED_TRACE(at);
    check_file(file, kSize, acked);
    check_file(small, kSmall, acked_small);
  }
  void check_file(Node* f, uint32_t size, const std::map<uint32_t, uint32_t>& want) {
    std::map<uint32_t, uint32_t> found;
    for (uint32_t r = 1; r <= FixRec_MaxRecno(f); ++r) {
      std::vector<uint8_t> b(size);
      const int rc = FixRec_Get(f, r, b.data(), nullptr, nullptr);
      ASSERT_GE(rc, 0) << "recno " << r;
      if (rc != 0) continue;
      auto it = want.find(r);
      ASSERT_NE(it, want.end()) << "recno " << r << " was never acknowledged";
      EXPECT_TRUE(b == record(size, it->second)) << "recno " << r << " not whole";
      found[r] = it->second;
    }
    EXPECT_EQ(found, want);
    EXPECT_EQ(fixrec_test::meta_counts(f), fixrec_test::counted(f));
  }
  // One transaction putting one small record; false when the log refused
  // it (status no space) at its begin, its put or its commit.
  bool one_commit(uint32_t tag) {
    auto refused = [&] {
      EXPECT_EQ(status_code(), static_cast<uint32_t>(VOL_E_NO_SPACE));
      return false;
    };
    if (Tlog_Begin(tx, "one", tag + 1) != 0) return refused();
    uint32_t recno = 0;
    if (FixRec_Put(small, &recno, record(kSmall, tag).data(), nullptr, tx) != 0 ||
        Tlog_Commit(tx) != 0) {
      const uint32_t status = status_code();
      EXPECT_EQ(Tlog_Rollback(tx, tag + 1), 0);
      SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, static_cast<int>(status));
      return refused();
    }
    Tlog_FinalCommit(tx);
    acked_small[recno] = tag;
    return true;
  }

  platform::FaultFileSystem disk;
  uint32_t file_id = 0, small_id = 0;
  Node* file = nullptr;
  Node* small = nullptr;
  Node* tx = nullptr;
  std::map<uint32_t, uint32_t> tags;   // recno -> tag of the latest put
  std::map<uint32_t, uint32_t> acked;  // committed
  std::map<uint32_t, uint32_t> acked_small;
};

class FixRecLogFullEnds : public FixRecLogFull, public ::testing::WithParamInterface<Case> {};

TEST_P(FixRecLogFullEnds, RefusedChangeLeavesARollbackCommitAndRestartThatWork) {
  const Case& c = GetParam();
  make_set();
  start();
  ASSERT_FALSE(HasFatalFailure());
  // A committed record first, so the file is not empty.
  ASSERT_EQ(Tlog_Begin(tx, "first", 1), 0);
  bool refused = false;
  commit(puts(1, 1, &refused));
  ASSERT_FALSE(refused);

  ASSERT_EQ(Tlog_Begin(tx, "fill", 2), 0);
  std::vector<uint32_t> taken = puts(100, 10 * kLogPages, &refused);
  ASSERT_TRUE(refused) << "the log never filled";
  ASSERT_GT(taken.size(), 10u);
  // A second session's small records take the last pages (its log's
  // clusters are small), each put logging a little.
  Node* tx2 = Tlog_Create();
  ASSERT_NE(tx2, nullptr);
  ASSERT_EQ(Tlog_Begin(tx2, "small", 20), 0);
  uint32_t small_puts = 0;
  for (;; ++small_puts) {
    uint32_t recno = 0;
    if (FixRec_Put(small, &recno, record(kSmall, small_puts).data(), nullptr, tx2) != 0) break;
    ASSERT_LT(small_puts, 100000u);
  }
  EXPECT_EQ(status_code(), static_cast<uint32_t>(VOL_E_NO_SPACE));
  EXPECT_GT(small_puts, 0u);
  if (c.end == End::Disconnect) {
    ASSERT_EQ(Tlog_Rollback(tx2, 0), 0);
  } else {
    ASSERT_EQ(Tlog_Rollback(tx2, 20), 0);
  }
  ASSERT_EQ(Tlog_Destroy(tx2), 0);
  switch (c.end) {
    case End::Rollback:
      ASSERT_EQ(Tlog_Rollback(tx, 2), 0);
      break;
    case End::Disconnect:
      ASSERT_EQ(Tlog_Rollback(tx, 0), 0);
      ASSERT_EQ(Tlog_Destroy(tx), 0);
      tx = Tlog_Create();
      ASSERT_NE(tx, nullptr);
      break;
    case End::CommitTheRest: {
      // Pre-commit copies every record: only what fits twice can commit.
      ASSERT_EQ(Tlog_Rollback(tx, 2), 0);
      ASSERT_EQ(Tlog_Begin(tx, "half", 3), 0);
      std::vector<uint32_t> half = puts(5000, static_cast<uint32_t>(taken.size()) / 3, &refused);
      ASSERT_FALSE(refused);
      commit(half);
      break;
    }
    case End::RefusedAtCommit: {
      ASSERT_EQ(Tlog_Rollback(tx, 2), 0);
      ASSERT_EQ(Tlog_Begin(tx, "most", 3), 0);
      puts(7000, static_cast<uint32_t>(taken.size()) * 3 / 4, &refused);
      ASSERT_FALSE(refused);
      ASSERT_EQ(Tlog_Commit(tx), -1);
      EXPECT_EQ(status_code(), static_cast<uint32_t>(VOL_E_NO_SPACE));
      ASSERT_EQ(Tlog_Rollback(tx, 3), 0);
      break;
    }
  }
  check("before the cut");
  // A further small transaction still commits.
  ASSERT_EQ(Tlog_Begin(tx, "after", 4), 0);
  commit(puts(9000, 2, &refused));
  ASSERT_FALSE(refused);
  check("after a further commit");

  // The power goes: the set must start again.
  disk.crash_at(1, platform::PowerLoss::DropUnflushed);
  stop();
  disk.lose_power(platform::PowerLoss::DropUnflushed);
  start();
  ASSERT_FALSE(HasFatalFailure());
  check("after recovery");
  ASSERT_EQ(Tlog_Begin(tx, "again", 5), 0);
  commit(puts(9500, 20, &refused));
  ASSERT_FALSE(refused);
  check("after puts on the recovered set");
  stop();
  testsupport::expect_set_consistent({kRoot, kLog}, c.name);
}

INSTANTIATE_TEST_SUITE_P(Ends, FixRecLogFullEnds,
                         ::testing::Values(Case{"rollback", End::Rollback},
                                           Case{"disconnect", End::Disconnect},
                                           Case{"commit the rest", End::CommitTheRest},
                                           Case{"refused at commit", End::RefusedAtCommit}),
                         [](const ::testing::TestParamInfo<Case>& i) {
                           std::string n = i.param.name;
                           for (char& ch : n)
                             if (ch == ' ') ch = '_';
                           return n;
                         });

// Single-put commits on a log no checkpoint empties: once the log is short
// each further one is refused (no space), never a stop; a checkpoint frees
// the log and commits go on; the set recovers and checks clean.
TEST_F(FixRecLogFull, CommitsPastTheLogAreRefusedUntilACheckpointFreesIt) {
  make_set();
  start();
  ASSERT_FALSE(HasFatalFailure());
  uint32_t committed = 0, refused = 0, k = 0;
  for (; k < 100000 && refused < 5; ++k) {
    if (one_commit(k))
      ++committed;
    else
      ++refused;
    ASSERT_FALSE(HasFailure()) << "commit " << k;
  }
  ASSERT_EQ(refused, 5u) << "the log never filled";
  EXPECT_GT(committed, 100u);
  check("with the log full");
  ASSERT_EQ(Tlog_Checkpoint("Checkpoint"), 0);
  for (uint32_t i = 0; i < 50; ++i) ASSERT_TRUE(one_commit(k + i)) << "after the checkpoint " << i;
  check("after the checkpoint");
  disk.crash_at(1, platform::PowerLoss::DropUnflushed);
  stop();
  disk.lose_power(platform::PowerLoss::DropUnflushed);
  start();
  ASSERT_FALSE(HasFatalFailure());
  check("after recovery");
  stop();
  testsupport::expect_set_consistent({kRoot, kLog}, "commits past the log");
}

}  // namespace
