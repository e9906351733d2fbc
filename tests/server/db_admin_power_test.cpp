// Power lost (or the process killed) at every write or flush of a database
// create, purge and erase (and the sync after it), then the set started as
// the server starts it (crash recovery, every other time cut once more and
// started again; the start-up checkpoint): the catalog and the nodes
// agree (every record-file and B-tree node is listed in sysobjects, every
// listed node and every node id the catalog names exists); an
// acknowledged create or purge is there whole; an erase cut short finishes
// when it runs again; and the consistency check of the closed set finds
// nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <utility>

#include "access/access_fixture.h"
#include "access/idb_create.h"
#include "index/syscat_internal.h"
#include "index/syscat_power.h"
#include "index/syscat_tx_fixture.h"
#include "server/db_admin.h"
#include "storage/crash_file_system.h"
#include "storage/fixrec.h"
#include "storage/node.h"
#include "storage/power_cut_sweep.h"
#include "storage/syspool.h"
#include "storage/tlog_state.h"
#include "storage/disk_bytes.h"
#include "support/log_capture.h"
#include "support/set_check.h"
#include "support/sweep_stride.h"

namespace {

using syscat_test::kLog;
using syscat_test::kRoot;
const char* const kPaths[] = {kRoot.c_str(), kLog.c_str()};

using syscat_test::sync_all;

void start(const std::string& at) {
  ASSERT_EQ(Tlog_Init(), 0) << at;
  SysCat_Init();
  ASSERT_EQ(FixRec_Init(), 0) << at;
  ASSERT_EQ(btree_Init(), 0) << at;
  ASSERT_EQ(Tlog_Recover(), 0) << at;
  ASSERT_EQ(Tlog_Checkpoint("Server startup"), 0) << at;
}

void abandon_set() { syscat_test::abandon_power_set(); }
void close_set() { syscat_test::close_power_set(); }

// What the test compares: the node ids the catalog names for the sample's
// sets (0 without storage), and whether the agreement holds.
struct Storage {
  std::set<uint32_t> named;  // nonzero node ids of systables, sysindex, systableindex
  bool db = false;           // the sample's sysdb row
};

int collect_node(Node* node, void* ctx) {
  const uint16_t t = Node_GetType(node);
  if (t == NodeType_FR || t == NodeType_BT) static_cast<std::set<uint32_t>*>(ctx)->insert(Node_GetId(node));
  return 0;
}

enum class Op { kCreate, kPurge, kErase, kEraseDetail };

// ORDERS alone (the third set): its masters stay, their chain heads
// cleared by the erase's own transactions.
const int32_t kOrdersOnly[] = {0, 0, 1};
int db_erase_orders(idb_session* s, int32_t dbid, int32_t mode, int32_t* status, uint32_t,
                    const int32_t*) {
  return db_erase(s, dbid, mode, status, 3, kOrdersOnly);
}

// Master records (of CUSTOMER and REGIONS) whose chain head for ORDERS
// still names a record.
int masters_with_chains(const testsupport::SampleDb& d) {
  int found = 0;
  for (const auto& [id, path_at] : {std::pair<uint32_t, uint32_t>{d.customer_node, 28},
                                    std::pair<uint32_t, uint32_t>{d.regions_node, 4}}) {
    Node* node = Node_Find(id);
    if (node == nullptr || Node_Open(node) != 0) continue;
    uint8_t rec[64];
    for (uint32_t r = 1; r <= 3; ++r)
      if (FixRec_Get(node, r, rec, nullptr, nullptr) == 0 && le_get32(rec + path_at) != 0) ++found;
    Node_Close(node);
  }
  return found;
}

using Fn = int (*)(idb_session*, int32_t, int32_t, int32_t*, uint32_t, const int32_t*);

struct Session {
  idb_session* s = nullptr;
  Session() {
    EXPECT_EQ(idb_init_session(nullptr, &s), 0);
    EXPECT_EQ(idb__logon(s, "boss", nullptr), 0);
    access_test::acting() = s;
  }
  // abandon: the power went; its transaction node goes with the set.
  void end(bool abandon = false) {
    if (abandon) s->ssn.tx_node = nullptr;
    idb_exit_session(s);
    s = nullptr;
    access_test::acting() = nullptr;
  }
  int32_t run(Fn fn, int32_t mode = 1) {
    const int32_t dbid = idb__open_database(s, "sample", 13);
    EXPECT_GT(dbid, 0);
    idb_status st{};
    fn(s, dbid, mode, st, 0, nullptr);
    return st[0];
  }
};

uint32_t catalog_node(SysCat_DB_CATALOG* cat, int sys_id, uint32_t table, uint32_t idx) {
  uint32_t id = 0;
  if (sys_id == SysTables_ID) {
    SysCat_TABLE* t = SysCat_get_table_by_id(cat, table, nullptr);
    id = t != nullptr ? t->nodeid : 0;
    free(t);
  } else if (sys_id == SysIndex_ID) {
    SysCat_INDEX* x = SysCat_get_index_by_id(cat, idx, nullptr);
    id = x != nullptr ? x->nodeid : 0;
    free(x);
  } else {
    SysCat_TABLEINDEX* ti = SysCat_get_tableindex_by_id(cat, table, idx, nullptr);
    id = ti != nullptr ? ti->nodeid : 0;
    free(ti);
  }
  return id;
}

// The node ids the catalog gives the sample's storage.
void fill_nodes(testsupport::SampleDb* d) {
  SysCat_DB* db = SysCat_get_db_by_name("sample", 0, 0, nullptr);
  SysCat_DB_CATALOG* cat = SysCat_db_open(db);
  free(db);
  d->customer_node = catalog_node(cat, SysTables_ID, d->customer, 0);
  d->regions_node = catalog_node(cat, SysTables_ID, d->regions, 0);
  d->orders_node = catalog_node(cat, SysTables_ID, d->orders, 0);
  d->cust_key_node = catalog_node(cat, SysIndex_ID, 0, d->cust_key);
  d->region_key_node = catalog_node(cat, SysIndex_ID, 0, d->region_key);
  d->ord_ix_node = catalog_node(cat, SysTableIndex_ID, d->orders, d->ord_ix);
  SysCat_db_close(cat);
}

// The sample without storage and a dba in its group, made durable.
void write_sample(testsupport::SampleDb* d) {
  ASSERT_EQ(testsupport::write_sample_db("sample", false, d), 0);
  SysCat_USER u{0, const_cast<char*>("boss"), nullptr, IDB_CAP_DBA};
  ASSERT_EQ(SysCat_add_user(&u, nullptr), 0);
  SysCat_DB* db = SysCat_get_db_by_name("sample", 0, 0, nullptr);
  SysCat_DB_CATALOG* cat = SysCat_db_open(db);
  free(db);
  SysCat_GROUP g{0, const_cast<char*>("admins"), 1};
  ASSERT_EQ(SysCat_add_group(cat, &g, nullptr), 0);
  ASSERT_EQ(SysCat_add_member(cat, u.uid, g.gid, nullptr), 0);
  for (uint32_t t : {d->customer, d->regions, d->orders}) {
    SysCat_PRIVILEGE p{g.gid, t, 7};
    ASSERT_EQ(SysCat_add_privilege(cat, &p, nullptr), 0);
  }
  SysCat_db_close(cat);
}

// Every record-file and B-tree node has its sysobjects row and every id
// the catalog names for the sample's storage is such a node; the named ids.
Storage check_agreement(const testsupport::SampleDb& d, const std::string& at) {
  Storage st;
  std::set<uint32_t> nodes;
  EXPECT_EQ(Node_VisitById(0, collect_node, &nodes), 0) << at;
  for (uint32_t id : nodes) {
    SysCat_OBJECT* o = SysCat_get_object_by_id(id, nullptr);
    EXPECT_NE(o, nullptr) << at << ": node " << id << " without its sysobjects row";
    free(o);
  }
  SysCat_DB* db = SysCat_get_db_by_name("sample", 0, 0, nullptr);
  st.db = db != nullptr;
  free(db);
  if (!st.db) {
    EXPECT_TRUE(nodes.empty()) << at << ": nodes left by a purged database";
    return st;
  }
  testsupport::SampleDb named = d;
  fill_nodes(&named);
  for (uint32_t id : {named.customer_node, named.regions_node, named.orders_node,
                      named.cust_key_node, named.region_key_node, named.ord_ix_node}) {
    if (id == 0) continue;
    st.named.insert(id);
    EXPECT_TRUE(nodes.count(id)) << at << ": the catalog names node " << id << ", which is gone";
  }
  for (uint32_t id : nodes)
    EXPECT_TRUE(st.named.count(id)) << at << ": node " << id << " the catalog does not name";
  return st;
}

// The create and purge sweeps pass some 250 write and flush points each, a
// whole set made, recovered (every other cut pass twice) and checked per
// point. They sample: every fourth point, every sixteenth under the race
// detector, which slows every write some tenfold (both start at the first
// and reach the end, where no cut comes).
const int kCutStride = testsupport::sweep_stride(16, 4);

// A first cut past every write: one pass, the work acknowledged and the
// power lost before the next checkpoint.
constexpr int kNoCut = 1000000;

// shutdown: the set is closed as the server stops (a last checkpoint, the
// clean flag), so the check also looks for pages no node claims.
void sweep(Op op, const char* name, int stride = 1,
           platform::PowerLoss mode = platform::PowerLoss::DropUnflushed, int first_cut = 1,
           bool shutdown = false) {
  int cuts = 0;
  int second_cuts = 0;  // recoveries cut in their turn
  int dangling = 0;  // cuts that left masters naming records of an emptied detail set
  storage_test::sweep_power_cuts(
      name, mode, 1,
      [&](platform::FaultFileSystem& disk, storage_test::CrashFileSystem& crash, int n,
          const std::string& at, bool* cut) {
        ssn_set_lookup([](Task*) -> Ssn_STATE* {
          return access_test::acting() ? &access_test::acting()->ssn : nullptr;
        });
        ASSERT_NE(Vol_Create(kRoot.c_str(), 2048, 256, 0), nullptr);
        ASSERT_NE(Vol_CreateExtent(kLog.c_str(), VolType_LOG, 2048, 256, 0), nullptr);
        ASSERT_EQ(buf_Init(256, 256), 0);
        ASSERT_EQ(Vol_SetSyncMode(1), 0);
        ASSERT_EQ(SysPool_Initialize(), 0);
        start(at);
        if (::testing::Test::HasFatalFailure()) return;
        ASSERT_EQ(SysCat_create(), 0);
        ASSERT_EQ(SysCat_open(), 0);
        testsupport::SampleDb d;
        write_sample(&d);
        if (::testing::Test::HasFatalFailure()) return;
        if (op != Op::kCreate) {
          Session s;
          ASSERT_EQ(s.run(db_create), 0) << at;
          s.end();
          fill_nodes(&d);
          ASSERT_EQ(testsupport::add_sample_records(d), 0) << at;
        }
        ASSERT_EQ(Tlog_Checkpoint("before"), 0);
        const Storage before = check_agreement(d, at + " before");

        bool acknowledged = false;
        {
          Session s;
          crash.arm(n + first_cut - 1);
          try {
            const int32_t rc = op == Op::kCreate        ? s.run(db_create)
                               : op == Op::kPurge       ? s.run(db_purge, 2)
                               : op == Op::kEraseDetail ? s.run(db_erase_orders)
                                                        : s.run(db_erase);
            EXPECT_EQ(rc, 0) << at;
            acknowledged = true;
            sync_all();
          } catch (const storage_test::PowerCut&) {
            *cut = true;
          }
          crash.arm(0);
          // The session's end and the set's abandon write nothing the disk
          // keeps.
          disk.crash_at(1, platform::PowerLoss::DropUnflushed);
          s.end(true);
        }
        if (*cut) ++cuts;
        abandon_set();
        disk.lose_power(platform::PowerLoss::DropUnflushed, 1);
        ASSERT_NE(Vol_OpenSet(2, kPaths), nullptr) << at;
        ASSERT_EQ(buf_Init(256, 256), 0);
        testsupport::LogCapture log("L0");
        // Every other pass cuts the recovery too, at a point that moves,
        // and starts once more.
        const int pass = (n - 1) / stride;
        if (pass % 2 == 1 && *cut) {
          disk.crash_at(1 + (pass / 2) % 23, mode, 2);
          start(at + ", recovery cut");
          if (::testing::Test::HasFatalFailure()) return;
          const bool again = disk.crashed();
          disk.crash_at(0, mode);
          if (again) {
            ++second_cuts;
            abandon_set();
            disk.lose_power(mode, 2);
            ASSERT_NE(Vol_OpenSet(2, kPaths), nullptr) << at;
            ASSERT_EQ(buf_Init(256, 256), 0);
            start(at + ", after a cut recovery");
          }
        } else {
          start(at);
        }
        if (::testing::Test::HasFatalFailure()) return;
        ASSERT_EQ(SysCat_open(), 0) << at;
        const Storage got = check_agreement(d, at + " after");
        if (op == Op::kEraseDetail) {
          // Masters that name records of the emptied ORDERS: the restart
          // says which erase to run again; never after one acknowledged.
          Node* orders = Node_Find(d.orders_node);
          ASSERT_NE(orders, nullptr) << at;
          ASSERT_EQ(Node_Open(orders), 0);
          const bool emptied = FixRec_NumRecords(orders) == 0;
          Node_Close(orders);
          const bool told = log.contains(
              "volume recovery: NOTE: DBERASE of data set ORDERS of database \"sample\" did not "
              "finish: erase it again");
          if (emptied && masters_with_chains(d) > 0) {
            EXPECT_TRUE(told) << at << "\n" << log.text();
            ++dangling;
          }
          if (acknowledged) {
            EXPECT_FALSE(told) << at << "\n" << log.text();
          }
          Session s;
          EXPECT_EQ(s.run(db_erase_orders), 0) << at;
          s.end();
          EXPECT_EQ(masters_with_chains(d), 0) << at;
        }
        if (op == Op::kCreate && acknowledged) {
          EXPECT_EQ(got.named.size(), 6u) << at;
        }
        if (op == Op::kPurge && acknowledged) {
          EXPECT_FALSE(got.db) << at;
        }
        if (op == Op::kPurge && !acknowledged && got.db) {
          EXPECT_EQ(got.named, before.named) << at;
        }
        if (op == Op::kErase) {
          // Running the erase again completes one that was cut short.
          Session s;
          EXPECT_EQ(s.run(db_erase), 0) << at;
          s.end();
          for (uint32_t id : got.named) {
            Node* node = Node_Find(id);
            if (Node_GetType(node) != NodeType_FR) continue;
            ASSERT_EQ(Node_Open(node), 0);
            EXPECT_EQ(FixRec_NumRecords(node), 0u) << at;
            Node_Close(node);
          }
        }
        if (shutdown) {
          SysCat_close();
          EXPECT_EQ(Tlog_Checkpoint("Server shutdown"), 0) << at;
          sync_all();
          Vol_SetConsistent();
          Vol_Close();
          Vol_Free();
          buf_Exit();
        } else {
          close_set();
        }
        testsupport::expect_set_consistent({kRoot, kLog}, at, shutdown);
        ssn_set_lookup(nullptr);
        Tlog_ResetTables();
      },
      stride);
  if (first_cut == 1) {
    EXPECT_GT(cuts, 3) << name;
    EXPECT_GT(second_cuts, 0) << name;
  }
  if (op == Op::kEraseDetail) {
    EXPECT_GT(dangling, 0) << name;
  }
}

class DbAdminPowerLoss : public ::testing::Test {
 protected:
  void SetUp() override { debug_set_stream(stderr); }
  void TearDown() override { Tlog_ResetTables(); }
};

TEST_F(DbAdminPowerLoss, Create) { sweep(Op::kCreate, "create", kCutStride); }
TEST_F(DbAdminPowerLoss, Purge) { sweep(Op::kPurge, "purge", kCutStride); }
TEST_F(DbAdminPowerLoss, Erase) { sweep(Op::kErase, "erase", 2); }
// The purged nodes' pages, freed by the commit but held until the next
// checkpoint, are freed by the replay although the nodes are gone from
// the node pages on disk: the check finds no page in use that no node
// claims: the system pool's and the catalog pools' free-list pages taken
// or emptied by the purge among them.
TEST_F(DbAdminPowerLoss, PurgeAcknowledgedThenPowerLostBeforeTheNextCheckpoint) {
  sweep(Op::kPurge, "purge acknowledged", 1, platform::PowerLoss::DropUnflushed, kNoCut, true);
}
TEST_F(DbAdminPowerLoss, EraseOfADetailSet) {
  sweep(Op::kEraseDetail, "erase ORDERS", kCutStride);
}
// kill -9 inside a purge: every write made stays, the system pool's
// written-through pages among them.
TEST_F(DbAdminPowerLoss, PurgeKilled) {
  sweep(Op::kPurge, "purge killed", kCutStride, platform::PowerLoss::KillProcess);
}

}  // namespace
