// Power lost at every write or flush of a committed catalog transaction
// (its records, the pre-commit's copies, the final commit's force, and the
// sync that follows it), then the set reopened and started as the server
// starts it (crash recovery, the start-up checkpoint): a transaction whose
// final commit returned is there whole; one cut before that is either
// wholly there (its unit reached the log) or wholly absent, never half
// done. Each pass recovers twice: the first recovery loses the power once
// its replay is done, before any of it was made durable, so the second
// replays over whatever the first wrote.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "index/syscat.h"
#include "index/syscat_internal.h"
#include "index/syscat_power.h"
#include "index/syscat_tx_fixture.h"
#include "storage/crash_file_system.h"
#include "storage/crash_point.h"
#include "storage/power_cut_sweep.h"
#include "support/set_check.h"
#include "storage/tlog_state.h"

namespace syscat_tx_test {
namespace {

struct VatRow {
  uint32_t vatid;
  std::string name;
  bool operator==(const VatRow& o) const { return vatid == o.vatid && name == o.name; }
};
using Vats = std::vector<VatRow>;

// The catalog as the test compares it: the vat rows in order, whether the
// transaction's user is there, and each table's anchor count against its
// rows (a walk that refuses fails the pass).
struct State {
  Vats vats;
  bool user = false;
  bool operator==(const State& o) const { return vats == o.vats && user == o.user; }
};

State read_state(const std::string& at) {
  State s;
  SysCat_GETSTATE st;
  void* row = nullptr;
  int rc = SysCat_get(nullptr, SysVat_ID, SysCat_GET_FIRST, nullptr, &st, &row, nullptr);
  for (; rc == 0; rc = SysCat_get(nullptr, SysVat_ID, SysCat_GET_NEXT, nullptr, &st, &row, nullptr)) {
    const auto* v = static_cast<const SysCat_VAT*>(row);
    s.vats.push_back({v->vatid, v->name});
    free(row);
  }
  EXPECT_EQ(rc, 1) << at << ": the vat table's walk";
  EXPECT_EQ(SysCat_entry_cnt(nullptr, SysVat_ID, nullptr), static_cast<int>(s.vats.size())) << at;
  SysCat_USER* u = SysCat_get_user_by_name("txuser", nullptr);
  s.user = u != nullptr;
  free(u);
  return s;
}

std::ostream& operator<<(std::ostream& os, const State& s) {
  os << "{user " << s.user << ", vats";
  for (const VatRow& r : s.vats) os << " " << r.vatid << ":" << r.name.substr(0, 6);
  return os << "}";
}

int change_vat(uint32_t vatid, const char* name, Node* tx) {
  SysCat_KEY k = SYSCAT_KEY(SysCat_VAT, vatid, vatid);
  if (name == nullptr)
    return SysCat_ChangeOne(nullptr, SysVat_ID, nullptr, SysCat_MatchU32, &k, tx);
  SysCat_VAT v{vatid, 0, const_cast<char*>(name), {}, vatid};
  return SysCat_ChangeOne(nullptr, SysVat_ID, &v, SysCat_MatchU32, &k, tx);
}

const char* const kPaths[] = {kRoot.c_str(), kLog.c_str()};

// The server's start over what the disk holds: the log, crash recovery,
// the start-up checkpoint.
void start(const std::string& at) {
  ASSERT_EQ(Tlog_Init(), 0) << at;
  SysCat_Init();
  ASSERT_EQ(Tlog_Recover(), 0) << at;
  ASSERT_EQ(Tlog_Checkpoint("Server startup"), 0) << at;
}

platform::FaultFileSystem* g_disk = nullptr;
// The power fails at the armed crash point: nothing written from here on
// reaches the disk.
void cut_power(const char*) { g_disk->crash_at(1, platform::PowerLoss::DropUnflushed); }

void abandon_set() { syscat_test::abandon_power_set(); }
void close_set() { syscat_test::close_power_set(); }
using syscat_test::sync_all;

void open_set(const std::string& at) {
  ASSERT_NE(Vol_OpenSet(2, kPaths), nullptr) << at;
  ASSERT_EQ(buf_Init(256, 256), 0);
}

class CatalogTxPowerLoss : public ::testing::Test {
 protected:
  void SetUp() override { debug_set_stream(stderr); }
  void TearDown() override { Tlog_ResetTables(); }
};

TEST_F(CatalogTxPowerLoss, ACommittedTransactionSurvivesWholeAndAnUnacknowledgedOneIsWholeOrAbsent) {
  // Cuts before the final commit returned, and after it (in the sync).
  int cut_before = 0, cut_after = 0;
  storage_test::sweep_power_cuts(
      "catalog transaction", platform::PowerLoss::DropUnflushed, 1,
      [&](platform::FaultFileSystem& disk, storage_test::CrashFileSystem& crash, int n,
          const std::string& at, bool* cut) {
        ASSERT_NE(Vol_Create(kRoot.c_str(), 640, 128, 0), nullptr);
        ASSERT_NE(Vol_CreateExtent(kLog.c_str(), VolType_LOG, 640, 128, 0), nullptr);
        ASSERT_EQ(buf_Init(256, 256), 0);
        // A final commit forces the LOG volume (the server's SyncMode 1).
        ASSERT_EQ(Vol_SetSyncMode(1), 0);
        ASSERT_EQ(SysPool_Initialize(), 0);
        start(at);
        if (::testing::Test::HasFatalFailure()) return;
        ASSERT_EQ(SysCat_create(), 0);
        ASSERT_EQ(SysCat_open(), 0);
        // Committed outside any transaction and made durable by a
        // checkpoint (the node descriptors and meta data too): rows with gaps
        // between them, so the transaction's rows go into pages in use.
        for (uint32_t i = 1; i <= 30; ++i) {
          const std::string name = "vat" + std::to_string(i) + std::string(40, 'v');
          SysCat_VAT v{i, 0, const_cast<char*>(name.c_str()), {}, i};
          ASSERT_EQ(SysCat_add_vat(&v, nullptr), 0);
        }
        for (uint32_t i = 3; i <= 30; i += 3) ASSERT_EQ(change_vat(i, nullptr, nullptr), 0);
        ASSERT_EQ(Tlog_Checkpoint("before"), 0);
        const State before = read_state(at + " before");
        State after = before;
        after.vats.push_back({101, "t101"});
        after.vats.push_back({102, "t102"});
        for (VatRow& r : after.vats)
          if (r.vatid == 4) r.name = "four";
        std::erase_if(after.vats, [](const VatRow& r) { return r.vatid == 7; });
        after.user = true;

        bool acknowledged = false;
        Node* tx = Tlog_Create();
        ASSERT_NE(tx, nullptr);
        crash.arm(n);
        try {
          ASSERT_EQ(Tlog_Begin(tx, "cut", 1), 0);
          SysCat_VAT a{101, 0, const_cast<char*>("t101"), {}, 101};
          SysCat_VAT b{102, 0, const_cast<char*>("t102"), {}, 102};
          ASSERT_EQ(SysCat_add_vat(&a, tx), 0);
          ASSERT_EQ(SysCat_add_vat(&b, tx), 0);
          ASSERT_EQ(change_vat(4, "four", tx), 0);
          ASSERT_EQ(change_vat(7, nullptr, tx), 0);
          SysCat_USER u{0, const_cast<char*>("txuser"), nullptr, 1};
          ASSERT_EQ(SysCat_add_user(&u, tx), 0);
          ASSERT_EQ(Tlog_Commit(tx), 0);
          Tlog_FinalCommit(tx);
          acknowledged = true;
          // The committed pages reach the data volume only now.
          sync_all();
        } catch (const storage_test::PowerCut&) {
          *cut = true;
        }
        crash.arm(0);
        if (*cut) ++(acknowledged ? cut_after : cut_before);
        if (!*cut) disk.lose_power(platform::PowerLoss::DropUnflushed, 1);
        abandon_set();

        // The first recovery loses the power after its replay.
        g_disk = &disk;
        storage_test::ArmedCrashPoint point("recover.after_replay", cut_power);
        open_set(at);
        ASSERT_EQ(Tlog_Init(), 0);
        SysCat_Init();
        ASSERT_EQ(Tlog_Recover(), 0) << at;
        EXPECT_TRUE(point.disarm()) << at << ": recovery replayed nothing";
        abandon_set();
        disk.lose_power(platform::PowerLoss::DropUnflushed, 1);

        // The second start recovers for good; a third finds the same.
        for (int run = 2; run <= 3; ++run) {
          const std::string where = at + ", start " + std::to_string(run);
          open_set(where);
          start(where);
          if (::testing::Test::HasFatalFailure()) return;
          ASSERT_EQ(SysCat_open(), 0) << where;
          const State got = read_state(where);
          if (acknowledged) {
            EXPECT_TRUE(got == after) << where << ": an acknowledged commit is lost: " << got;
          } else {
            EXPECT_TRUE(got == before || got == after) << where << ": half a transaction: " << got;
          }
          close_set();
          testsupport::expect_set_consistent({kRoot, kLog}, where);
          if (::testing::Test::HasFailure()) return;
        }
      });
  EXPECT_GT(cut_before, 10);
  EXPECT_GT(cut_after, 0);
}

}  // namespace
}  // namespace syscat_tx_test
