// A catalog table against a model: random appends, rewrites (growing and
// shrinking rows, so they move) and deletes, the whole table compared
// after every step and across reopens; and power lost at every write or
// flush of a run of catalog changes outside a transaction, then the set
// reopened: the catalog opens and holds what the last sync held, and takes
// new changes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "index/syscat.h"
#include "index/syscat_fixture.h"
#include "index/syscat_format.h"
#include "index/syscat_internal.h"
#include "storage/crash_file_system.h"
#include "storage/power_cut_sweep.h"
#include "support/set_check.h"

namespace syscat_test {
namespace {

struct ModelRow {
  uint32_t vatid;
  std::string name;
  uint32_t refcnt;
};

std::vector<ModelRow> table_rows(SysCat_DB_CATALOG* cat = nullptr) {
  Rows rows;
  EXPECT_EQ(read_all(cat, SysVat_ID, &rows), 1);
  std::vector<ModelRow> out;
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto* v = rows.at<SysCat_VAT>(i);
    out.push_back({v->vatid, v->name, v->refcnt});
  }
  return out;
}

void expect_rows(const std::vector<ModelRow>& want, const std::string& at) {
  const std::vector<ModelRow> got = table_rows();
  ASSERT_EQ(got.size(), want.size()) << at;
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].vatid, want[i].vatid) << at << " row " << i;
    EXPECT_EQ(got[i].name, want[i].name) << at << " row " << i;
    EXPECT_EQ(got[i].refcnt, want[i].refcnt) << at << " row " << i;
  }
  EXPECT_EQ(SysCat_entry_cnt(nullptr, SysVat_ID, nullptr), static_cast<int>(want.size())) << at;
}

int change(uint32_t vatid, const std::string* name, uint32_t refcnt) {
  SysCat_KEY k = SYSCAT_KEY(SysCat_VAT, vatid, vatid);
  if (name == nullptr) return SysCat_ChangeOne(nullptr, SysVat_ID, nullptr, SysCat_MatchU32, &k, nullptr);
  SysCat_VAT v{vatid, 0, const_cast<char*>(name->c_str()), {}, refcnt};
  return SysCat_ChangeOne(nullptr, SysVat_ID, &v, SysCat_MatchU32, &k, nullptr);
}

using ModelTest = CatalogFixture;

TEST_F(ModelTest, RandomChangesKeepTheTableAsTheModelSays) {
  std::mt19937 rng(19);
  std::vector<ModelRow> model;
  uint32_t next_id = 1;
  auto name_of = [&](size_t len) { return std::string(len, static_cast<char>('a' + rng() % 26)); };
  for (int step = 0; step < 600; ++step) {
    const int op = static_cast<int>(rng() % 10);
    const std::string at = "step " + std::to_string(step);
    if (op < 5 || model.empty()) {
      ModelRow r{next_id++, name_of(1 + rng() % 255), static_cast<uint32_t>(rng())};
      SysCat_VAT v{r.vatid, 0, const_cast<char*>(r.name.c_str()), {}, r.refcnt};
      ASSERT_EQ(SysCat_add_vat(&v, nullptr), 0) << at;
      model.push_back(r);
    } else if (op < 8) {
      ModelRow& r = model[rng() % model.size()];
      r.name = name_of(1 + rng() % 255);
      r.refcnt = static_cast<uint32_t>(rng());
      ASSERT_EQ(change(r.vatid, &r.name, r.refcnt), 0) << at;
    } else {
      const size_t i = rng() % model.size();
      ASSERT_EQ(change(model[i].vatid, nullptr, 0), 0) << at;
      model.erase(model.begin() + static_cast<long>(i));
    }
    if (step % 25 == 0) expect_rows(model, at);
    if (step % 150 == 149) {
      reopen();
      expect_rows(model, at + " after a reopen");
    }
    if (HasFatalFailure()) return;
  }
  expect_rows(model, "end");
  // Emptied, the anchor is empty again.
  for (const ModelRow& r : model) ASSERT_EQ(change(r.vatid, nullptr, 0), 0);
  expect_rows({}, "emptied");
  SysCat_VMETA vm;
  ASSERT_EQ(SysCat_get_vmeta(SysCat_map_sysid(nullptr, SysVat_ID), &vm, nullptr), 0);
  EXPECT_FALSE(Node_AddrValid(&vm.anchor.first));
}

// Power lost during catalog changes made outside a transaction: the cache
// holds every changed page and the meta data stay in memory until a sync,
// so the set reopens with the catalog of the last sync. (Writes that were
// made but not flushed are dropped whole: outside a transaction a torn
// subset of a pool's writes can leave its blocks inconsistent, and making
// a change atomic is the transaction log's work.)
class CatalogPowerLoss : public ::testing::Test {
 protected:
  void SetUp() override { debug_set_stream(stderr); }
};

TEST_F(CatalogPowerLoss, ChangesBeforeTheNextSyncAreLostWholeAndTheCatalogReopens) {
  storage_test::sweep_power_cuts(
      "catalog", platform::PowerLoss::DropUnflushed, 1,
      [&](platform::FaultFileSystem& disk, storage_test::CrashFileSystem& crash, int n,
          const std::string& at, bool* cut) {
        // Every write point of the first 60, then every third: the run
        // stays short enough for the ThreadSanitizer build.
        if (n > 60 && n % 3 != 0) {
          *cut = true;
          return;
        }
        ASSERT_NE(Vol_Create(kRoot.c_str(), 640, 128, 0), nullptr);
        ASSERT_EQ(buf_Init(256, 256), 0);
        ASSERT_EQ(SysPool_Initialize(), 0);
        ASSERT_EQ(SysCat_create(), 0);
        ASSERT_EQ(SysCat_open(), 0);
        std::vector<ModelRow> synced;
        for (uint32_t i = 1; i <= 30; ++i) {
          ModelRow r{i, "vat" + std::to_string(i) + std::string(40, 'v'), i};
          SysCat_VAT v{r.vatid, 0, const_cast<char*>(r.name.c_str()), {}, r.refcnt};
          ASSERT_EQ(SysCat_add_vat(&v, nullptr), 0);
          synced.push_back(r);
        }
        Vol_Sync(Vol_TIO_SYNC);
        for (int v = 0; v < Vol_NumVolumes(); ++v) Vol_GetRootVol()[v].fhandle->datasync();
        crash.arm(n);
        try {
          SysCat_DB db{0, const_cast<char*>("cut"), 0, 0};
          ASSERT_EQ(add_db(&db, 1, nullptr), 0);
          for (uint32_t i = 31; i <= 45; ++i) {
            const std::string name = "more" + std::to_string(i) + std::string(150, 'm');
            SysCat_VAT v{i, 0, const_cast<char*>(name.c_str()), {}, i};
            ASSERT_EQ(SysCat_add_vat(&v, nullptr), 0);
          }
          for (uint32_t i = 2; i <= 30; i += 9) ASSERT_EQ(change(i, nullptr, 0), 0);
        } catch (const storage_test::PowerCut&) {
          *cut = true;
        }
        crash.arm(0);
        if (!*cut) disk.lose_power(platform::PowerLoss::DropUnflushed, 1);
        abandon_set();
        const char* paths[] = {kRoot.c_str()};
        ASSERT_NE(Vol_OpenSet(1, paths), nullptr) << at;
        ASSERT_EQ(buf_Init(256, 256), 0);
        ASSERT_EQ(SysCat_open(), 0) << at;
        expect_rows(synced, at);
        EXPECT_EQ(SysCat_get_db_by_name("cut", 0, 0, nullptr), nullptr) << at;
        EXPECT_EQ(SysCat_entry_cnt(nullptr, SysObject_ID, nullptr), 11) << at;
        // The set goes on.
        SysCat_VAT v{500, 0, const_cast<char*>("after"), {}, 1};
        ASSERT_EQ(SysCat_add_vat(&v, nullptr), 0) << at;
        SysCat_DB db{0, const_cast<char*>("after"), 0, 0};
        ASSERT_EQ(add_db(&db, 1, nullptr), 0) << at;
        SysCat_close();
        Vol_Sync(Vol_TIO_SYNC);
        abandon_set();
        testsupport::expect_set_consistent({kRoot}, at);
        ASSERT_NE(Vol_OpenSet(1, paths), nullptr) << at;
        ASSERT_EQ(buf_Init(256, 256), 0);
        ASSERT_EQ(SysCat_open(), 0) << at;
        EXPECT_EQ(SysCat_entry_cnt(nullptr, SysVat_ID, nullptr), 31) << at;
        SysCat_DB* d = SysCat_get_db_by_name("after", 0, 0, nullptr);
        ASSERT_NE(d, nullptr) << at;
        SysCat_DB_CATALOG* cat = SysCat_db_open(d);
        free(d);
        ASSERT_NE(cat, nullptr) << at;
        SysCat_db_close(cat);
        SysCat_close();
        abandon_set();
      });
}

}  // namespace
}  // namespace syscat_test
