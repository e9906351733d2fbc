// Database restore under power loss: the power fails before each write or
// flush of a restore (unflushed writes dropped, or torn; or the process is
// killed and every write stays), and every other time once more inside the
// recovery that follows; the program runs
// on as if nothing happened, and the set is then started as the server
// starts it (crash recovery, the start-up checkpoint, the catalog). The
// database is either not there at all (no catalog row, no node left of
// it) or there whole: its records, chains, keys and index entries read as
// the archived database's, and its sysobjects rows are all there. A
// restore acknowledged before the power went is always there. The sample
// it came from is untouched, and the consistency check of the closed set
// finds nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "access/access_fixture.h"
#include "access/db_contents.h"
#include "access/idb_store.h"
#include "index/syscat_power.h"
#include "storage/archive_writer.h"
#include "storage/node.h"
#include "storage/syspool.h"
#include "storage/vnode.h"
#include "support/set_check.h"
#include "support/sweep_stride.h"

namespace access_test {
namespace {

using syscat_test::kLog;
using syscat_test::kRoot;

// What one start of the set finds.
struct Found {
  bool copy = false;      // a sysdb row "copy"
  uint32_t nodes = 0;     // nodes of the data root
  std::vector<std::string> objects;  // sysobjects rows of the copy's sets
};

const std::vector<std::string> kObjects = {"3 CUSTOMER",         "3 REGIONS",
                                           "3 ORDERS",           "4 CUSTOMER.CUST-NO",
                                           "4 REGIONS.REGION",   "4 ORDERS.ORD-IX"};

class RestorePower : public ::testing::Test {
 protected:
  void SetUp() override { debug_set_stream(stderr); }
  void TearDown() override {
    platform::set_file_system(nullptr);
    Tlog_ResetTables();
  }

  static idb_session* session() {
    idb_session* s = nullptr;
    EXPECT_EQ(idb_init_session(nullptr, &s), 0);
    EXPECT_EQ(idb__logon(s, "boss", nullptr), 0);
    acting() = s;
    return s;
  }
  static void end(idb_session* s) {
    idb_exit_session(s);
    acting() = nullptr;
  }

  // The set with the stored sample, its records and its users; durable.
  void make(const std::string& at) {
    ssn_set_lookup([](Task*) -> Ssn_STATE* { return acting() ? &acting()->ssn : nullptr; });
    ASSERT_NE(Vol_Create(kRoot.c_str(), 2048, 256, 0), nullptr) << at;
    ASSERT_NE(Vol_CreateExtent(kLog.c_str(), VolType_LOG, 2048, 256, 0), nullptr) << at;
    ASSERT_EQ(buf_Init(256, 256), 0);
    // A final commit forces the LOG volume (the server's SyncMode 1).
    ASSERT_EQ(Vol_SetSyncMode(1), 0);
    ASSERT_EQ(SysPool_Initialize(), 0);
    ASSERT_EQ(SysCat_create(), 0);
    ASSERT_EQ(SysCat_open(), 0);
    start(at, false);
    testsupport::SampleDb d;
    ASSERT_EQ(testsupport::write_sample_db_stored("sample", &d), 0) << at;
    ASSERT_EQ(testsupport::add_sample_records(d), 0) << at;
    SysCat_USER u{0, const_cast<char*>("boss"), nullptr, IDB_CAP_DBA};
    ASSERT_EQ(SysCat_add_user(&u, nullptr), 0);
    ASSERT_EQ(testsupport::grant_sample_sets("sample", d, u.uid), 0);
    uid_ = u.uid;
    ASSERT_EQ(Tlog_Checkpoint("made"), 0);
    syscat_test::sync_all();
  }
  // The server's storage start after the volumes are open.
  static void start(const std::string& at, bool recover) {
    ASSERT_EQ(Tlog_Init(), 0) << at;
    SysCat_Init();
    ASSERT_EQ(FixRec_Init(), 0) << at;
    ASSERT_EQ(btree_Init(), 0) << at;
    if (recover) {
      ASSERT_EQ(Tlog_Recover(), 0) << at;
      ASSERT_EQ(Tlog_Checkpoint("Server startup"), 0) << at;
    } else {
      ASSERT_EQ(Tlog_SetupRootNode(), 0) << at;
    }
  }
  // A fresh set on disk, and the sample stored into archive by a new
  // session (*s); what the sample reads as.
  DbContents prepare(platform::FaultFileSystem& disk, Archive_MEMSTREAM* archive,
                     idb_session** s, const std::string& at) {
    platform::set_file_system(&disk);
    make(at);
    if (HasFatalFailure()) return {};
    *s = session();
    Archive_InitMemStream(archive);
    EXPECT_EQ(Node_StoreMagic(archive), 0);
    const int32_t dbid = idb__open_database(*s, "sample", 13);
    EXPECT_GT(dbid, 0) << at;
    int32_t st[10];
    EXPECT_EQ(idb__store(*s, dbid, archive, st, 0, nullptr), 0) << at;
    idb__close_database(*s, idb__get_db_ctx(*s, dbid));
    archive->pos = 0;
    return read_contents(*s, "sample");
  }
  // The program stops as a crash stops it: nothing more reaches the disk;
  // then the power comes back with the disk as the cut left it, and the
  // set is started as the server starts it.
  // With second, the recovery itself is cut at its second-th write or
  // flush (when it gets there) and the set started once more.
  void lose_power_and_start(platform::FaultFileSystem& disk, platform::PowerLoss mode,
                            uint32_t seed, const std::string& at, int second = 0) {
    if (!disk.crashed()) disk.crash_at(1, mode, seed);
    abandon(disk, mode, seed);
    const char* const paths[] = {kRoot.c_str(), kLog.c_str()};
    ASSERT_NE(Vol_OpenSet(2, paths), nullptr) << at;
    ASSERT_EQ(buf_Init(256, 256), 0);
    if (second > 0) {
      disk.crash_at(second, mode, seed + 1);
      start(at + ", recovery cut", true);
      if (HasFatalFailure()) return;
      if (disk.crashed()) {
        ++second_cuts_;
        abandon(disk, mode, seed + 1);
        ASSERT_NE(Vol_OpenSet(2, paths), nullptr) << at;
        ASSERT_EQ(buf_Init(256, 256), 0);
        start(at + ", after a cut recovery", true);
      } else {
        disk.crash_at(0, mode, seed);
      }
    } else {
      start(at, true);
    }
    if (HasFatalFailure()) return;
    ASSERT_EQ(SysCat_open(), 0) << at;
  }
  // The program stops where the crash left it; the disk comes back.
  static void abandon(platform::FaultFileSystem& disk, platform::PowerLoss mode, uint32_t seed) {
    // The vnode cache closes its nodes while the cache is there (their
    // writes go nowhere now).
    VNode_Flush(nullptr);
    VNode_Cleanup();
    syscat_test::abandon_power_set();
    disk.lose_power(mode, seed);
  }
  int second_cuts_ = 0;
  Found find(const std::string& at) {
    Found f;
    uint32_t last = 0, pages = 0;
    EXPECT_EQ(Node_RootCounts(0, &f.nodes, &last, &pages), 0) << at;
    SysCat_DB* db = SysCat_get_db_by_name("copy", 0, 0, nullptr);
    f.copy = db != nullptr;
    free(db);
    f.objects = set_object_rows("copy");
    return f;
  }
  // The copy is there whole: its sets listed, and it reads as the sample.
  void expect_whole_copy(idb_session* s, const Found& got, const DbContents& sample,
                         const std::string& at) {
    EXPECT_EQ(got.objects, kObjects) << at;
    admit_to_admins("copy", uid_);
    EXPECT_TRUE(read_contents(s, "copy") == sample) << at << ": the copy reads otherwise";
  }
  // Closes the set and runs the consistency check on it.
  static void close_and_check(idb_session* s, const std::string& at) {
    end(s);
    SysCat_close();
    syscat_test::sync_all();
    Vol_Close();
    Vol_Free();
    buf_Exit();
    ssn_set_lookup(nullptr);
    testsupport::expect_set_consistent({kRoot, kLog}, at);
    platform::set_file_system(nullptr);
    Tlog_ResetTables();
  }

  uint32_t uid_ = 0;
};

// An acknowledged restore, then the power fails before the next
// checkpoint: the clusters it wrote are in no log record, and its record
// files' free lists are replayed from the log on top of their meta data.
TEST_F(RestorePower, AnAcknowledgedRestoreIsThereAfterAPowerCut) {
  struct Case {
    const char* name;
    platform::PowerLoss mode;
  };
  const Case cases[] = {{"DropUnflushed", platform::PowerLoss::DropUnflushed},
                        {"TearUnflushed", platform::PowerLoss::TearUnflushed}};
  for (const Case& c : cases) {
    const std::string at = c.name;
    platform::FaultFileSystem disk;
    Archive_MEMSTREAM archive;
    idb_session* s = nullptr;
    const DbContents sample = prepare(disk, &archive, &s, at);
    if (HasFatalFailure()) return;
    int32_t st[10];
    std::string name = "copy";
    ASSERT_EQ(idb__restore(s, &archive, st, &name), 0) << at;
    end(s);
    lose_power_and_start(disk, c.mode, 7, at);
    if (HasFatalFailure()) return;
    const Found got = find(at);
    s = session();
    ASSERT_TRUE(got.copy) << at << ": an acknowledged restore is lost";
    expect_whole_copy(s, got, sample, at);
    EXPECT_TRUE(read_contents(s, "sample") == sample) << at << ": the sample changed";
    close_and_check(s, at);
    if (HasFailure()) return;
  }
}

// A pass takes about half a second under the address sanitizer (the set,
// the sample and its archive made afresh) and a restore of the sample has
// some 500 points, and every other cut pass also cuts its recovery: the
// sweep cuts at every sixth point, the race detector's build (some tenfold
// slower) at every thirtieth, from a first point that moves with the loss
// mode so that the three modes together meet more kinds of write.
const int kStride = testsupport::sweep_stride(30, 6);

struct Loss {
  const char* name;
  platform::PowerLoss mode;
  int first;  // the first cut point
};

class RestorePowerLoss : public RestorePower, public ::testing::WithParamInterface<Loss> {};

TEST_P(RestorePowerLoss, TheDatabaseIsThereWholeOrNotAtAll) {
  const Loss loss = GetParam();
  int cut_absent = 0, cut_whole = 0, acknowledged = 0;
  bool cut = true;
  for (int n = loss.first; cut; n += kStride) {
    const std::string at =
        std::string(loss.name) + ": power lost at write or flush " + std::to_string(n);
    const uint32_t seed = static_cast<uint32_t>(n);
    // The archive, and what the sample reads as before the restore.
    platform::FaultFileSystem disk;
    Archive_MEMSTREAM archive;
    idb_session* s = nullptr;
    const DbContents sample = prepare(disk, &archive, &s, at);
    if (HasFatalFailure()) return;
    ASSERT_EQ(sample.serial.at("ORDERS").size(), 5u) << at;
    const Found before = find(at + " before");
    ASSERT_FALSE(before.copy);

    disk.crash_at(n, loss.mode, seed);
    int32_t st[10];
    std::string name = "copy";
    const int rc = idb__restore(s, &archive, st, &name);
    cut = disk.crashed();
    ASSERT_EQ(rc, 0) << at << ": the program ran on, the restore must succeed";
    const bool acked = !cut;
    end(s);
    // Every other pass cuts its recovery too, at a point that moves.
    const int pass = (n - loss.first) / kStride;
    const int second = pass % 2 == 1 ? 1 + (pass / 2) % 23 : 0;
    lose_power_and_start(disk, loss.mode, seed, at, second);
    if (HasFatalFailure()) return;
    const Found got = find(at + " after");
    s = session();
    EXPECT_TRUE(read_contents(s, "sample") == sample) << at << ": the sample changed";
    if (got.copy) {
      EXPECT_GT(got.nodes, before.nodes) << at;
      expect_whole_copy(s, got, sample, at);
      if (cut) ++cut_whole;
    } else {
      EXPECT_FALSE(acked) << at << ": an acknowledged restore is lost";
      EXPECT_EQ(got.nodes, before.nodes) << at << ": nodes of a restore that never committed";
      if (cut) ++cut_absent;
    }
    if (acked) ++acknowledged;
    close_and_check(s, at);
    if (HasFailure()) return;
  }
  // The sweep reached points before the commit and after it, and cut
  // recoveries.
  EXPECT_GT(cut_absent, 5) << loss.name;
  EXPECT_EQ(acknowledged, 1) << loss.name;
  EXPECT_GT(second_cuts_, 2) << loss.name;
  RecordProperty("cuts", std::to_string(cut_absent + cut_whole));
  std::printf("%s: %d cuts left no database, %d a whole one\n", loss.name, cut_absent, cut_whole);
}

INSTANTIATE_TEST_SUITE_P(
    Restore, RestorePowerLoss,
    ::testing::Values(Loss{"DropUnflushed", platform::PowerLoss::DropUnflushed, 1},
                      Loss{"TearUnflushed", platform::PowerLoss::TearUnflushed, 1 + kStride / 2},
                      // kill -9: every write made stays, the system pool's
                      // written-through pages among them.
                      Loss{"KillProcess", platform::PowerLoss::KillProcess, kStride}),
    [](const ::testing::TestParamInfo<Loss>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace access_test
