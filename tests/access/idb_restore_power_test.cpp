// Database restore under power loss: the power fails before each write or
// flush of a restore (unflushed writes dropped, or torn), the program runs
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

namespace access_test {
namespace {

using syscat_test::kLog;
using syscat_test::kRoot;

// A pass takes about two seconds (the set, the sample and its archive made
// afresh) and a restore of the sample has some 250 points: the sweep cuts
// at every third point, the race detector's build (some tenfold slower) at
// every fifteenth, from a first point that moves with the loss mode so that
// the two modes together meet more kinds of write.
#ifdef ZENT_TSAN
constexpr int kStride = 15;
#else
constexpr int kStride = 3;
#endif

struct Loss {
  const char* name;
  platform::PowerLoss mode;
  int first;  // the first cut point
};

// What one start of the set finds.
struct Found {
  bool copy = false;      // a sysdb row "copy"
  uint32_t nodes = 0;     // nodes of the data root
  std::vector<std::string> objects;  // sysobjects rows of the copy's sets
};

class RestorePowerLoss : public ::testing::TestWithParam<Loss> {
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
  // The program stops as a crash stops it: nothing more reaches the disk;
  // then the power comes back with the disk as the cut left it.
  void stop_and_lose_power(platform::FaultFileSystem& disk, const Loss& loss, uint32_t seed) {
    if (!disk.crashed()) disk.crash_at(1, loss.mode, seed);
    // The vnode cache closes its nodes while the cache is there (their
    // writes go nowhere now).
    VNode_Flush(nullptr);
    VNode_Cleanup();
    syscat_test::abandon_power_set();
    disk.lose_power(loss.mode, seed);
  }
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

  uint32_t uid_ = 0;
};

// Disabled while two faults below the access layer stand (top-level README,
// "Not yet built"): every cut before the restore's commit leaves nodes
// created inside its transaction behind (a node of type 0 that the
// consistency check reports), and every cut after the commit reached the
// log (an acknowledged restore and a crash before the next checkpoint too)
// stops recovery with the assertion "FixRec_GetMeta() failed: meta data
// unavailable": recovery creates a restored record-file node afresh without
// its meta data and then replays its free-list pages.
TEST_P(RestorePowerLoss, DISABLED_TheDatabaseIsThereWholeOrNotAtAll) {
  const Loss loss = GetParam();
  const std::vector<std::string> kObjects = {"3 CUSTOMER",         "3 REGIONS",
                                             "3 ORDERS",           "4 CUSTOMER.CUST-NO",
                                             "4 REGIONS.REGION",   "4 ORDERS.ORD-IX"};
  int cut_absent = 0, cut_whole = 0, acknowledged = 0;
  bool cut = true;
  for (int n = loss.first; cut; n += kStride) {
    const std::string at =
        std::string(loss.name) + ": power lost at write or flush " + std::to_string(n);
    const uint32_t seed = static_cast<uint32_t>(n);
    platform::FaultFileSystem disk;
    platform::set_file_system(&disk);
    ssn_set_lookup([](Task*) -> Ssn_STATE* { return acting() ? &acting()->ssn : nullptr; });
    make(at);
    if (HasFatalFailure()) return;

    // The archive, and what the sample reads as before the restore.
    idb_session* s = session();
    Archive_MEMSTREAM archive;
    Archive_InitMemStream(&archive);
    ASSERT_EQ(Node_StoreMagic(&archive), 0);
    const int32_t dbid = idb__open_database(s, "sample", 13);
    ASSERT_GT(dbid, 0) << at;
    int32_t st[10];
    ASSERT_EQ(idb__store(s, dbid, &archive, st, 0, nullptr), 0) << at;
    idb__close_database(s, idb__get_db_ctx(s, dbid));
    const DbContents sample = read_contents(s, "sample");
    ASSERT_EQ(sample.serial.at("ORDERS").size(), 5u) << at;
    const Found before = find(at + " before");
    ASSERT_FALSE(before.copy);

    disk.crash_at(n, loss.mode, seed);
    archive.pos = 0;
    std::string name = "copy";
    const int rc = idb__restore(s, &archive, st, &name);
    cut = disk.crashed();
    ASSERT_EQ(rc, 0) << at << ": the program ran on, the restore must succeed";
    const bool acked = !cut;
    end(s);
    stop_and_lose_power(disk, loss, seed);

    const char* const paths[] = {kRoot.c_str(), kLog.c_str()};
    ASSERT_NE(Vol_OpenSet(2, paths), nullptr) << at;
    ASSERT_EQ(buf_Init(256, 256), 0);
    start(at, true);
    if (HasFatalFailure()) return;
    ASSERT_EQ(SysCat_open(), 0) << at;
    const Found got = find(at + " after");
    s = session();
    EXPECT_TRUE(read_contents(s, "sample") == sample) << at << ": the sample changed";
    if (got.copy) {
      EXPECT_EQ(got.objects, kObjects) << at;
      EXPECT_GT(got.nodes, before.nodes) << at;
      admit_to_admins("copy", uid_);
      EXPECT_TRUE(read_contents(s, "copy") == sample) << at << ": the copy reads otherwise";
      if (cut) ++cut_whole;
    } else {
      EXPECT_FALSE(acked) << at << ": an acknowledged restore is lost";
      EXPECT_EQ(got.nodes, before.nodes) << at << ": nodes of a restore that never committed";
      if (cut) ++cut_absent;
    }
    if (acked) ++acknowledged;
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
    if (HasFailure()) return;
  }
  // The sweep reached points before the commit and after it.
  EXPECT_GT(cut_absent, 5) << loss.name;
  EXPECT_EQ(acknowledged, 1) << loss.name;
  RecordProperty("cuts", std::to_string(cut_absent + cut_whole));
  std::printf("%s: %d cuts left no database, %d a whole one\n", loss.name, cut_absent, cut_whole);
}

INSTANTIATE_TEST_SUITE_P(
    Restore, RestorePowerLoss,
    ::testing::Values(Loss{"DropUnflushed", platform::PowerLoss::DropUnflushed, 1},
                      Loss{"TearUnflushed", platform::PowerLoss::TearUnflushed, 1 + kStride / 2}),
    [](const ::testing::TestParamInfo<Loss>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace access_test
