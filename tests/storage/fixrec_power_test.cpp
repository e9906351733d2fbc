// Power lost at every write and flush while transactions put records into a
// fixed-record file, each put run adding a cluster: the server's start
// (recovery through the root log) gives every acknowledged record whole,
// the transaction in flight whole or not at all, counts that agree with the
// slot flags, a file that goes on taking records in free slots only, and a
// closed set the consistency check finds nothing in. The same for
// transactions that delete records: the slots they free are all on the
// record free list after recovery, and puts take them before the file grows.
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
#include "storage/vnode.h"
#include "storage/volume_set.h"
#include "support/set_check.h"
#include "tools/volume_create.h"

namespace {

using fixrec_test::counted;
using fixrec_test::meta_counts;
using fixrec_test::record;

const char* kRoot = "/v/root.vol";
const char* kLog = "/v/log.vol";
constexpr uint32_t kSize = 3000;  // two slots in a one-page cluster, crossing no page

// One transaction's puts: record number and the tag its bytes derive from.
using Puts = std::map<uint32_t, uint32_t>;

class FixRecCut : public ::testing::Test {
 protected:
  void SetUp() override { platform::set_file_system(&disk); }
  void TearDown() override {
    if (Vol_GetRootVol() != nullptr) stop();
    platform::set_file_system(nullptr);
  }

  void make_set() {
    fixrec_test::create_fixrec_set(kRoot, kLog, 2048, 512, kSize, &file_id);
    ASSERT_FALSE(HasFatalFailure());
    stop();
  }
  // As the server starts: recovery, then a checkpoint.
  void start() {
    storage_test::start_as_server({kRoot, kLog}, 256, 1, [] { ASSERT_EQ(FixRec_Init(), 0); });
    if (HasFatalFailure()) return;
    file = Node_Find(file_id);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(Node_Open(file), 0);
  }
  void stop() {
    if (file != nullptr && Node_RefCount(file) > 0) Node_Close(file);
    file = nullptr;
    if (tx != nullptr && Node_RefCount(tx) > 0) Node_Close(tx);
    tx = nullptr;
    storage_test::stop_as_server(disk.crashed());
  }

  // Transactions from..to, each putting three records (a new cluster at
  // least every other put) and rewriting the first record of the one
  // before it.
  void workload(uint32_t from, uint32_t to) {
    if (tx == nullptr) tx = Tlog_Create();
    ASSERT_NE(tx, nullptr);
    for (uint32_t k = from; k <= to; ++k) {
      Puts puts;
      ASSERT_EQ(Tlog_Begin(tx, "puts", k), 0);
      for (uint32_t i = 0; i < 3; ++i) {
        uint32_t recno = 0;
        const uint32_t tag = k * 10 + i;
        ASSERT_EQ(FixRec_Put(file, &recno, record(kSize, tag).data(), nullptr, tx), 0);
        puts[recno] = tag;
      }
      Node_ADVLOCK* locks = Node_InitAdvLock(8, 8);
      if (!acked.empty()) {
        const uint32_t recno = acked.begin()->first;
        std::vector<uint8_t> old(kSize);
        ASSERT_EQ(FixRec_GetLock(file, recno, old.data(), nullptr, tx, locks), 0);
        ASSERT_EQ(FixRec_Update(file, recno, record(kSize, k * 10 + 9).data(), nullptr, tx), 0);
        puts[recno] = k * 10 + 9;
      }
      ASSERT_EQ(Tlog_Commit(tx), 0);
      const bool before_cut = !disk.crashed();
      if (before_cut) in_flight = puts;
      Tlog_FinalCommit(tx);
      Node_ReleaseAllAdvLocks(locks);
      Node_FreeAdvLock(locks);
      if (before_cut && !disk.crashed()) {
        for (const auto& [r, t] : puts) acked[r] = t;
        in_flight.clear();
      }
    }
  }

  // Acknowledged records whole, the one in flight all or nothing, nothing
  // else; counts as the slots say. The transaction found whole counts as
  // acknowledged from here on.
  void check(const std::string& at) {
    SCOPED_TRACE(at);
    std::map<uint32_t, std::vector<uint8_t>> found;
    for (uint32_t r = 1; r <= FixRec_MaxRecno(file); ++r) {
      std::vector<uint8_t> b(kSize);
      const int rc = FixRec_Get(file, r, b.data(), nullptr, nullptr);
      ASSERT_GE(rc, 0) << "recno " << r;
      if (rc == 0) found[r] = b;
    }
    int seen = 0;
    for (const auto& [r, t] : in_flight)
      if (found.count(r) && found[r] == record(kSize, t)) ++seen;
    const bool whole = !in_flight.empty() && seen == static_cast<int>(in_flight.size());
    EXPECT_TRUE(seen == 0 || whole) << "the transaction in flight is half there (" << seen << ")";
    std::map<uint32_t, uint32_t> want = acked;
    if (whole)
      for (const auto& [r, t] : in_flight) want[r] = t;
    EXPECT_EQ(found.size(), want.size());
    for (const auto& [r, t] : want) {
      auto it = found.find(r);
      if (it == found.end()) {
        ADD_FAILURE() << "recno " << r << " missing";
        continue;
      }
      EXPECT_TRUE(it->second == record(kSize, t)) << "recno " << r << " not whole";
    }
    EXPECT_EQ(meta_counts(file), counted(file));
    EXPECT_EQ(FixRec_NumRecords(file), static_cast<uint32_t>(want.size()));
    acked = want;
    in_flight.clear();
  }

  // One transaction deleting recnos; *before_cut tells whether the power
  // was still on when its unit was committed.
  void delete_records(const std::vector<uint32_t>& recnos, bool* before_cut) {
    ASSERT_EQ(Tlog_Begin(tx, "deletes", recnos.front()), 0);
    Node_ADVLOCK* locks = Node_InitAdvLock(8, 8);
    std::vector<uint8_t> old(kSize);
    for (uint32_t r : recnos) {
      ASSERT_EQ(FixRec_GetLock(file, r, old.data(), nullptr, tx, locks), 0) << r;
      ASSERT_EQ(FixRec_Delete(file, r, nullptr, tx), 0) << r;
    }
    ASSERT_EQ(Tlog_Commit(tx), 0);
    *before_cut = !disk.crashed();
    Tlog_FinalCommit(tx);
    Node_ReleaseAllAdvLocks(locks);
    Node_FreeAdvLock(locks);
  }
  // Transactions deleting the acknowledged records two at a time; the pair
  // being deleted when the power went is in_flight_deletes.
  void delete_all() {
    while (acked.size() >= 2 && !disk.crashed()) {
      std::vector<uint32_t> pair;
      for (const auto& [r, t] : acked) {
        if (pair.size() == 2) break;
        pair.push_back(r);
      }
      bool before_cut = false;
      delete_records(pair, &before_cut);
      if (HasFatalFailure()) return;
      if (before_cut && !disk.crashed()) {
        for (uint32_t r : pair) acked.erase(r);
      } else {
        in_flight_deletes = pair;
      }
    }
  }

  platform::FaultFileSystem disk;
  uint32_t file_id = 0;
  Node* file = nullptr;
  Node* tx = nullptr;
  std::map<uint32_t, uint32_t> acked;  // recno -> tag
  Puts in_flight;
  std::vector<uint32_t> in_flight_deletes;
};

TEST_F(FixRecCut, PutsThatAddClustersRecoverToTheAcknowledgedRecords) {
  bool cut = true;
  for (int n = 1; cut; ++n) {
    const std::string at = "power lost at write or flush " + std::to_string(n);
    disk.lose_power(platform::PowerLoss::DropUnflushed, 1);
    disk.remove_file(kRoot);
    disk.remove_file(kLog);
    acked.clear();
    in_flight.clear();
    make_set();
    start();
    workload(1, 2);
    disk.crash_at(n, platform::PowerLoss::TearUnflushed, static_cast<uint32_t>(n));
    workload(3, 5);
    cut = disk.crashed();
    if (!cut) {
      check("no cut");
      stop();
      testsupport::expect_set_consistent({kRoot, kLog}, "no cut");
      break;
    }
    stop();
    disk.lose_power(platform::PowerLoss::TearUnflushed, static_cast<uint32_t>(n));
    start();
    check(at + ": after recovery");
    if (HasFatalFailure()) return;
    // The file goes on: new records take free slots only.
    workload(20, 21);
    check(at + ": after more puts");
    stop();
    start();
    check(at + ": after a clean restart");
    stop();
    testsupport::expect_set_consistent({kRoot, kLog}, at);
  }
}

struct DeleteCut {
  const char* name;
  platform::PowerLoss mode;
};

TEST_F(FixRecCut, SlotsFreedByDeletesStayFindableThroughAPowerCut) {
  const DeleteCut cuts[] = {{"dropped", platform::PowerLoss::DropUnflushed},
                            {"torn", platform::PowerLoss::TearUnflushed}};
  for (const DeleteCut& c : cuts) {
    bool cut = true;
    for (int n = 1; cut; ++n) {
      const std::string at =
          std::string(c.name) + " writes, power lost at write or flush " + std::to_string(n);
      SCOPED_TRACE(at);
      disk.lose_power(platform::PowerLoss::DropUnflushed, 1);
      disk.remove_file(kRoot);
      disk.remove_file(kLog);
      acked.clear();
      in_flight.clear();
      in_flight_deletes.clear();
      make_set();
      start();
      workload(1, 3);
      ASSERT_EQ(Tlog_Checkpoint("puts"), 0);
      disk.crash_at(n, c.mode, static_cast<uint32_t>(n));
      delete_all();
      if (HasFatalFailure()) return;
      cut = disk.crashed();
      stop();
      if (cut) disk.lose_power(c.mode, static_cast<uint32_t>(n));
      start();
      if (HasFatalFailure()) return;
      // Acknowledged deletes are done, the one cut short all or nothing.
      int gone = 0;
      for (uint32_t r : in_flight_deletes)
        if (FixRec_Get(file, r, nullptr, nullptr, nullptr) == 1) ++gone;
      EXPECT_TRUE(gone == 0 || gone == static_cast<int>(in_flight_deletes.size()));
      if (gone != 0)
        for (uint32_t r : in_flight_deletes) acked.erase(r);
      EXPECT_EQ(FixRec_NumRecords(file), static_cast<uint32_t>(acked.size()));
      EXPECT_EQ(meta_counts(file), counted(file));
      stop();
      if (!testsupport::expect_set_consistent({kRoot, kLog}, at)) return;
      // Every free slot is found: puts fill them all before a new cluster.
      start();
      if (HasFatalFailure()) return;
      const uint32_t max = FixRec_MaxRecno(file);
      const uint32_t free_slots = max - FixRec_NumRecords(file);
      if (tx == nullptr) tx = Tlog_Create();
      ASSERT_EQ(Tlog_Begin(tx, "refill", 1), 0);
      for (uint32_t i = 0; i < free_slots; ++i) {
        uint32_t recno = 0;
        ASSERT_EQ(FixRec_Put(file, &recno, record(kSize, 900 + i).data(), nullptr, tx), 0);
      }
      ASSERT_EQ(Tlog_Commit(tx), 0);
      Tlog_FinalCommit(tx);
      EXPECT_EQ(FixRec_MaxRecno(file), max);
      EXPECT_EQ(FixRec_NumRecords(file), max);
      stop();
    }
  }
}

TEST_F(FixRecCut, SlotTakenByATransactionTheCutEndsStaysListed) {
  disk.lose_power(platform::PowerLoss::DropUnflushed, 1);
  make_set();
  start();
  workload(1, 3);
  ASSERT_EQ(Tlog_Checkpoint("puts"), 0);
  // A put takes the first listed slot in a transaction the power will end.
  Node* open_tx = Tlog_Create();
  ASSERT_NE(open_tx, nullptr);
  ASSERT_EQ(Tlog_Begin(open_tx, "open", 1), 0);
  uint32_t taken = 0;
  ASSERT_EQ(FixRec_Put(file, &taken, record(kSize, 77).data(), nullptr, open_tx), 0);
  // Slots freed behind it, then a checkpoint while the put's transaction
  // is open: the taken slot has to stay listed.
  bool before_cut = false;
  delete_records({1, 2}, &before_cut);
  if (HasFatalFailure()) return;
  ASSERT_EQ(Tlog_Checkpoint("while open"), 0);
  disk.crash_at(1, platform::PowerLoss::DropUnflushed, 1);
  Node_Close(open_tx);
  stop();
  disk.lose_power(platform::PowerLoss::DropUnflushed, 1);
  start();
  if (HasFatalFailure()) return;
  EXPECT_EQ(FixRec_Get(file, taken, nullptr, nullptr, nullptr), 1);
  stop();
  testsupport::expect_set_consistent({kRoot, kLog}, "open transaction cut");
}

// Two ways a clean stop leaves the record free list naming a record in use
// behind its first free slot. A put's number rolled back goes to the
// list's tail; a checkpoint moves the position back in front of it and the
// next put takes it through its first item. Or a checkpoint stops in front
// of a slot a put of an open transaction holds, and that transaction
// commits after the file's last checkpoint. Either way the check reports
// it only as mended at run time, and the puts of the next run pass over it:
// no record is handed out twice or overwritten.
struct StaleItem {
  const char* name;
  bool rolled_back;
};

TEST_F(FixRecCut, ARecordInUseOnTheFreeListIsNeverHandedOutTwice) {
  for (const StaleItem& c : {StaleItem{"rolled back and taken again", true},
                             StaleItem{"committed after the checkpoint", false}}) {
    SCOPED_TRACE(c.name);
    disk.remove_file(kRoot);
    disk.remove_file(kLog);
    acked.clear();
    make_set();
    start();
    workload(1, 1);  // records 1 to 3; 4 is free
    std::map<uint32_t, uint32_t> tags = acked;  // recno -> tag
    auto put = [&](Node* t, uint32_t tag) {
      uint32_t recno = 0;
      EXPECT_EQ(FixRec_Put(file, &recno, record(kSize, tag).data(), nullptr, t), 0);
      EXPECT_TRUE(tags.emplace(recno, tag).second) << "record " << recno << " handed out twice";
      return recno;
    };
    auto commit = [](Node* t) {
      ASSERT_EQ(Tlog_Commit(t), 0);
      Tlog_FinalCommit(t);
    };
    Node* held = Tlog_Create();
    Node* other = Tlog_Create();
    ASSERT_NE(held, nullptr);
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(Tlog_Begin(held, "held", 1), 0);
    const uint32_t taken = put(held, 40);
    // Passes over the held number and grows the file.
    ASSERT_EQ(Tlog_Begin(other, "grow", 2), 0);
    put(other, 41);
    commit(other);
    ASSERT_EQ(Tlog_Checkpoint("while held"), 0);
    if (c.rolled_back) {
      ASSERT_EQ(Tlog_Rollback(held, 0), 0);  // its number goes to the tail
      tags.erase(taken);
      ASSERT_EQ(Tlog_Checkpoint("after the rollback"), 0);
      ASSERT_EQ(Tlog_Begin(other, "again", 3), 0);
      EXPECT_EQ(put(other, 42), taken);
      commit(other);
    } else {
      commit(held);
    }
    Node_Close(held);
    Node_Close(other);
    stop();

    testsupport::expect_set_consistent({kRoot, kLog}, c.name);

    // The next run offers the whole list again.
    start();
    tx = Tlog_Create();
    ASSERT_EQ(Tlog_Begin(tx, "next run", 4), 0);
    for (uint32_t i = 0; i < 4; ++i) put(tx, 50 + i);
    commit(tx);
    for (const auto& [r, tag] : tags) {
      std::vector<uint8_t> b(kSize);
      EXPECT_EQ(FixRec_Get(file, r, b.data(), nullptr, nullptr), 0) << r;
      EXPECT_TRUE(b == record(kSize, tag)) << "record " << r << " overwritten";
    }
    stop();
  }
}

}  // namespace
