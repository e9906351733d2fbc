// Volume creation for the utilities, on the file double: range checks that
// leave no file, a new set with its LOG volume and system pool created,
// closed and reopened, set identifiers, extensions, removal, the log reset
// on a full log, and power losses in the middle of creation, of the log
// reset and of a change of the system pool.
#include "tools/volume_create.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "platform/fault_file.h"
#include "storage/buffer_cache.h"
#include "storage/node.h"
#include "storage/node_flist.h"
#include "storage/pool.h"
#include "storage/pool_fixture.h"
#include "storage/syspool.h"
#include "storage/tio.h"
#include "storage/volume_set.h"
#include "support/set_check.h"

namespace {

const std::string kRoot = "/v/root.vol";
const std::string kLog = "/v/log.vol";

class VolumeCreateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    debug_set_stream(stderr);
    platform::set_file_system(&fs);
  }
  void TearDown() override {
    close_set();
    platform::set_file_system(nullptr);
  }
  void close_set() {
    if (Vol_GetRootVol() != nullptr) {
      Vol_Close();
      Vol_Free();
    }
    buf_Exit();
  }
  // A new set: root DATA volume, a LOG volume, the cache and the system pool.
  void make_set(uint32_t log_size = 640, uint32_t log_ext = 0) {
    ASSERT_NE(Vol_Create(kRoot.c_str(), 2048, 256, 0), nullptr);
    ASSERT_NE(Vol_CreateExtent(kLog.c_str(), VolType_LOG, log_size, log_ext, 0), nullptr);
    ASSERT_EQ(buf_Init(64, 64), 0);
    ASSERT_EQ(SysPool_Initialize(), 0);
  }
  void open_set(bool with_log = true) {
    const char* paths[] = {kRoot.c_str(), kLog.c_str()};
    ASSERT_NE(Vol_OpenSet(with_log ? 2 : 1, paths), nullptr);
    ASSERT_EQ(buf_Init(64, 64), 0);
  }
  void sync_and_close() {
    Vol_Sync(Vol_TIO_SYNC);
    close_set();
  }
  VOLUME* log_volume() {
    for (int id = 0; id < Vol_NumVolumes(); ++id)
      if (Vol_GetRootVol()[id].type == VolType_LOG) return &Vol_GetRootVol()[id];
    return nullptr;
  }
  platform::FaultFileSystem fs;
};

TEST_F(VolumeCreateTest, RangesAreCheckedBeforeAnyFileIsMade) {
  struct Case {
    uint32_t size, ext, max;
    bool ok;
  };
  const Case cases[] = {
      {319, 0, 0, false},   {320, 0, 0, true},      {320, 1, 0, false},
      {320, 2, 0, true},    {640, 0, 639, false},   {640, 0, 640, true},
      {Vol_MAXPAGES + 1, 0, 0, false}, {400, Vol_MAXPAGES + 1, 0, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string path = "/v/single" + std::to_string(n++) + ".vol";
    VOLUME* v = Vol_CreateSingle(path.c_str(), VolType_DATA, 3, c.size, c.ext, c.max);
    EXPECT_EQ(v != nullptr, c.ok) << c.size << "/" << c.ext << "/" << c.max;
    EXPECT_EQ(fs.exists(path), c.ok);
    if (v == nullptr) {
      EXPECT_EQ(error_code(get_error()), VOL_E_RANGE);
      continue;
    }
    EXPECT_EQ(v->volume_id, 3u);
    EXPECT_EQ(v->num_flist, 1u);
    EXPECT_EQ(v->free_size, c.size - 3);
    // Written whole and durable, name included.
    EXPECT_TRUE(fs.durable_exists(path));
    EXPECT_EQ(fs.durable_contents(path).size(), static_cast<size_t>(c.size) * Vol_PAGESIZE);
    Vol_FreeSingle(v);
  }
  // An existing file is not overwritten.
  EXPECT_EQ(Vol_CreateSingle("/v/single1.vol", VolType_DATA, 0, 320, 0, 0), nullptr);
  EXPECT_EQ(error_code(get_error()), VOL_E_CREATE);
}

TEST_F(VolumeCreateTest, ALargeVolumeGetsTwoFreeListPagesAndIsNotFilled) {
  // On the real file system, where an unfilled file stays sparse.
  platform::set_file_system(nullptr);
  char dir[] = "/tmp/zent_volcreate_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/big.vol";
  VOLUME* v = Vol_CreateSingle(path.c_str(), VolType_DATA, 0, 65441, 0, 0);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->num_flist, 2u);
  EXPECT_EQ(v->free_size, 65441u - 4u);
  Vol_FreeSingle(v);
  struct stat st{};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), 65441ull * Vol_PAGESIZE);
  EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512u, 1024ull * 1024u);  // not filled
  const char* paths[] = {path.c_str()};
  ASSERT_NE(Vol_OpenSet(1, paths), nullptr);
  EXPECT_EQ(Vol_GetRootVol()[0].num_flist, 2u);
  Vol_Close();
  Vol_Free();
  unlink(path.c_str());
  rmdir(dir);
}

TEST_F(VolumeCreateTest, NewSetIsCreatedClosedAndReopenedWithItsSystemPool) {
  make_set();
  const VOLUME* root = Vol_GetRootVol();
  EXPECT_EQ(Vol_NumVolumes(), 2);
  EXPECT_TRUE(Vol_IsAllocAllowed(1, &root->tlog_aldesc));
  EXPECT_FALSE(Vol_IsAllocAllowed(1, &root->standard_aldesc));
  EXPECT_EQ(Vol_GetTlogVol(), &Vol_GetRootVol()[1]);
  Node* sys = SysPool_Get(0);
  ASSERT_NE(sys, nullptr);
  EXPECT_STREQ(Node_Name(sys), "#1:SP");
  EXPECT_TRUE(Node_TestFlag(Node_SYSPOOL, sys));
  // Nodes with meta data on both roots; the log root's system pool is made
  // by its first meta-data allocation.
  EXPECT_EQ(Node_SysFindLog(SysPool_NODEID), nullptr);
  Node* data = Node_Create(1);
  Node* logn = Node_CreateLog(1);
  ASSERT_NE(data, nullptr);
  ASSERT_NE(logn, nullptr);
  for (Node* n : {data, logn}) {
    ASSERT_EQ(Node_Open(n), 0);
    auto* meta = static_cast<uint8_t*>(Node_SetupMetaData(n, 300));
    ASSERT_NE(meta, nullptr);
    for (int i = 0; i < 300; ++i) meta[i] = static_cast<uint8_t>(i + Node_GetId(n));
    Node_SetMetaDirty(n);
    ASSERT_EQ(Node_Close(n), 0);
  }
  ASSERT_NE(Node_SysFindLog(SysPool_NODEID), nullptr);
  const uint32_t data_id = Node_GetId(data);
  const uint32_t log_id = Node_GetId(logn);
  const uint32_t set_id = root->set_id;
  sync_and_close();

  open_set();
  EXPECT_EQ(Vol_GetRootVol()->set_id, set_id);
  Node* sys2 = SysPool_Get(0);
  ASSERT_NE(sys2, nullptr);
  EXPECT_TRUE(Node_TestFlag(Node_POOLNODE, sys2));
  EXPECT_TRUE(Node_TestFlag(Node_SYSPOOL, sys2));
  for (Node* n : {Node_Find(data_id), Node_FindLog(log_id)}) {
    ASSERT_NE(n, nullptr);
    ASSERT_EQ(Node_Open(n), 0);
    const auto* meta = static_cast<const uint8_t*>(Node_GetMetaData(n));
    for (int i = 0; i < 300; ++i) ASSERT_EQ(meta[i], static_cast<uint8_t>(i + Node_GetId(n)));
    ASSERT_EQ(Node_Close(n), 0);
  }
  pool_test::check_pool(sys2);
  pool_test::check_pool(SysPool_Get(1));
  // Deleting a node gives its meta block back.
  Node* d = Node_Find(data_id);
  ASSERT_EQ(Node_Delete(d), 0);
  EXPECT_TRUE(pool_test::check_pool(sys2).used_blocks.empty());
}

TEST_F(VolumeCreateTest, MetaBlocksFreedTwiceDefensively) {
  make_set();
  Node_ADDR a;
  ASSERT_EQ(SysPool_AllocItem(100, &a, 0), 0);
  Node_ADDR keep;
  ASSERT_EQ(SysPool_Alloc(100, &keep), 0);
  Node_ADDR copy = a;
  EXPECT_EQ(SysPool_DefensiveFreeItem(&a, 0), 0);
  EXPECT_EQ(SysPool_DefensiveFreeItem(&copy, 0), 0);
  pool_test::check_pool(SysPool_Get(0));
}

TEST_F(VolumeCreateTest, EachSetGetsItsOwnIdentifier) {
  std::set<uint32_t> ids;
  for (int i = 0; i < 3; ++i) {
    const std::string path = "/v/set" + std::to_string(i) + ".vol";
    ASSERT_NE(Vol_Create(path.c_str(), 320, 0, 0), nullptr);
    const uint32_t id = Vol_GetRootVol()->set_id;
    EXPECT_NE(id & 0xFFFF, 0u);
    EXPECT_NE(id >> 16, 0u);
    EXPECT_NE(id & 0xFFFF, id >> 16);
    ids.insert(id);
    close_set();
  }
  EXPECT_EQ(ids.size(), 3u);  // made in the same second, all different
  for (int i = 0; i < 2000; ++i) {
    const uint32_t id = Vol_NewSetId();
    ASSERT_TRUE((id & 0xFFFF) != 0 && (id >> 16) != 0 && (id & 0xFFFF) != (id >> 16));
  }
}

TEST_F(VolumeCreateTest, ExtensionsTakeFreeSlotsAndRefuseUnknownTypes) {
  make_set();
  EXPECT_EQ(Vol_CreateExtent("/v/bad.vol", 7, 320, 0, 0), nullptr);
  EXPECT_EQ(error_code(get_error()), VOL_E_TYPE);
  EXPECT_FALSE(fs.exists("/v/bad.vol"));
  ASSERT_NE(Vol_CreateExtent("/v/data2.vol", VolType_DATA, 320, 0, 0), nullptr);
  ASSERT_NE(Vol_CreateExtent("/v/temp.vol", VolType_TEMP, 320, 0, 0), nullptr);
  EXPECT_EQ(Vol_NumVolumes(), 4);
  const VOLUME* root = Vol_GetRootVol();
  EXPECT_TRUE(Vol_IsAllocAllowed(2, &root->standard_aldesc));
  EXPECT_TRUE(Vol_IsAllocAllowed(3, &root->temp_aldesc));
  EXPECT_EQ(root->used_volumes, 4u);
  EXPECT_EQ(root[2].generation, root->generation);
  sync_and_close();
  const char* paths[] = {"/v/temp.vol", kLog.c_str(), "/v/data2.vol", kRoot.c_str()};
  ASSERT_NE(Vol_OpenSet(4, paths), nullptr);
}

TEST_F(VolumeCreateTest, OnlyAnEmptyVolumeIsDeleted) {
  VOLUME* v = Vol_CreateSingle("/v/x.vol", VolType_DATA, 0, 320, 0, 0);
  ASSERT_NE(v, nullptr);
  v->free_size--;
  EXPECT_EQ(Vol_DeleteSingle(v), -1);
  EXPECT_EQ(error_code(get_error()), VOL_E_NOT_EMPTY);
  v->free_size++;
  EXPECT_EQ(Vol_DeleteSingle(v), 0);
  EXPECT_EQ(v->path[0], '\0');
  EXPECT_FALSE(fs.exists("/v/x.vol"));
  EXPECT_FALSE(fs.durable_exists("/v/x.vol"));
  Vol_FreeSingle(v);
}

TEST_F(VolumeCreateTest, LogResetEmptiesAFullLogAndKeepsItsSize) {
  make_set(640, 0);
  ASSERT_EQ(Vol_SetSyncMode(1), 0);
  Vol_Sync(Vol_TIO_SYNC);
  // Fill the LOG volume.
  while (Vol_AllocPage(1, Vol_GetTlogAldesc()) != 0) {
  }
  VOLUME* lv = log_volume();
  ASSERT_EQ(lv->free_size, 0u);
  const uint32_t set_id = lv->set_id, generation = lv->generation;
  ASSERT_EQ(Vol_TlogReset(), 0);
  lv = log_volume();
  EXPECT_EQ(lv->curr_size, 640u);
  EXPECT_EQ(lv->free_size, 640u - 3u);
  EXPECT_EQ(lv->set_id, set_id);
  EXPECT_EQ(lv->generation, generation);
  EXPECT_TRUE(Vol_TestFlag(Vol_LSYNC, &lv->header));
  EXPECT_EQ(lv->first_page, 0u);
  EXPECT_FALSE(fs.exists(kLog + ".reset"));
  EXPECT_NE(Vol_AllocPage(1, Vol_GetTlogAldesc()), 0u);
  sync_and_close();
  open_set();
  EXPECT_EQ(log_volume()->curr_size, 640u);
}

TEST_F(VolumeCreateTest, LogResetSurvivesAPowerLossAtEveryStep) {
  make_set(400, 0);
  ASSERT_EQ(Vol_SetSyncMode(1), 0);
  while (Vol_AllocPage(1, Vol_GetTlogAldesc()) != 0) {
  }
  sync_and_close();
  for (int n = 1; n < 200; ++n) {
    open_set();
    fs.crash_at(n, platform::PowerLoss::DropUnflushed);
    ASSERT_EQ(Vol_TlogReset(), 0);
    const bool crashed = fs.crashed();
    close_set();
    fs.lose_power(platform::PowerLoss::DropUnflushed);
    // Whatever the step, the set opens with a whole log: the old one or
    // the new one.
    open_set();
    VOLUME* lv = log_volume();
    ASSERT_NE(lv, nullptr) << "step " << n;
    EXPECT_EQ(lv->curr_size, 400u) << "step " << n;
    EXPECT_TRUE(lv->free_size == 0 || lv->free_size == 397u) << "step " << n << ": " << lv->free_size;
    const bool reset = lv->free_size == 397u;
    if (reset) {
      // The new log is checked before it is filled again: the fill takes
      // pages without writing them, and so makes its first page a log
      // root page that holds nothing.
      sync_and_close();
      testsupport::expect_set_consistent({kRoot, kLog}, "step " + std::to_string(n));
      open_set();
      // Refill for the next round.
      while (Vol_AllocPage(1, Vol_GetTlogAldesc()) != 0) {
      }
    }
    sync_and_close();
    if (!crashed) {
      EXPECT_TRUE(reset);
      EXPECT_GT(n, 5);  // the reset was cut at each of its steps before
      break;
    }
  }
}

TEST_F(VolumeCreateTest, CreationSurvivesAPowerLossAtEveryStep) {
  for (int n = 1; n < 400; ++n) {
    fs.crash_at(n, platform::PowerLoss::DropUnflushed);
    VOLUME* set = Vol_Create(kRoot.c_str(), 400, 0, 0);
    if (set != nullptr) Vol_CreateExtent(kLog.c_str(), VolType_LOG, 400, 0, 0);
    const bool crashed = fs.crashed();
    close_set();
    fs.lose_power(platform::PowerLoss::DropUnflushed);
    // A root file on the disk is a whole one; the LOG volume is in the set
    // or not at all.
    if (fs.exists(kRoot)) {
      const char* both[] = {kRoot.c_str(), kLog.c_str()};
      const char* alone[] = {kRoot.c_str()};
      VOLUME* t = fs.exists(kLog) ? Vol_OpenSet(2, both) : nullptr;
      if (t == nullptr) t = Vol_OpenSet(1, alone);
      ASSERT_NE(t, nullptr) << "step " << n;
      const bool with_log = Vol_NumVolumes() > 1;
      close_set();
      testsupport::expect_set_consistent(
          with_log ? std::vector<std::string>{kRoot, kLog} : std::vector<std::string>{kRoot},
          "step " + std::to_string(n));
    }
    fs.remove_file(kRoot);
    fs.remove_file(kLog);
    if (!crashed) {
      EXPECT_GT(n, 5);
      break;
    }
  }
}

TEST_F(VolumeCreateTest, PowerLossInTheMiddleOfASystemPoolChange) {
  // Blocks of every size in the system pool, on disk; then one free and
  // one allocation, cut at every write and flush. The set opens again, the
  // other blocks hold what they held, the chains are whole, and the pool
  // goes on working with what the free list says.
  make_set();
  ASSERT_EQ(Vol_SetSyncMode(1), 0);
  static const uint32_t kSizes[] = {8, 63, 64, 500, 8000, 8200, 65516, 300, 64};
  std::vector<Node_ADDR> blocks;
  for (uint32_t size : kSizes) {
    Node_ADDR a;
    ASSERT_EQ(SysPool_AllocItem(size, &a, 0), 0);
    std::vector<uint8_t> bytes(size, static_cast<uint8_t>(size));
    ASSERT_EQ(SysPool_WriteItem(&a, bytes.data(), size, 0), static_cast<int>(size));
    blocks.push_back(a);
  }
  sync_and_close();
  const std::vector<uint8_t> root_image = fs.durable_contents(kRoot);
  const std::vector<uint8_t> log_image = fs.durable_contents(kLog);
  for (int n = 1; n < 300; ++n) {
    // Every round starts from the set as it was before the change.
    fs.put_file(kRoot, root_image);
    fs.put_file(kLog, log_image);
    open_set();
    fs.crash_at(n, platform::PowerLoss::DropUnflushed);
    Node_ADDR victim = blocks[3];
    ASSERT_EQ(SysPool_FreeItem(&victim, 0), 0);
    Node_ADDR fresh;
    ASSERT_EQ(SysPool_AllocItem(3000, &fresh, 0), 0);
    Vol_Sync(Vol_TIO_SYNC);
    const bool crashed = fs.crashed();
    close_set();
    fs.lose_power(platform::PowerLoss::DropUnflushed);
    open_set();
    Node* sys = SysPool_Get(0);
    ASSERT_NE(sys, nullptr);
    pool_test::check_pool(sys, false);
    for (size_t i = 0; i < blocks.size(); ++i) {
      if (i == 3) continue;
      std::vector<uint8_t> back(blocks[i].size);
      ASSERT_EQ(SysPool_ReadItem(&blocks[i], back.data(), blocks[i].size, 0), blocks[i].size);
      ASSERT_EQ(back, std::vector<uint8_t>(blocks[i].size, static_cast<uint8_t>(kSizes[i])))
          << "step " << n << " block " << i;
    }
    // Allocations go on with whatever the free list holds.
    for (uint32_t size : {64u, 500u, 8000u}) {
      Node_ADDR a;
      ASSERT_EQ(SysPool_AllocItem(size, &a, 0), 0);
      ASSERT_EQ(SysPool_FreeItem(&a, 0), 0);
    }
    pool_test::check_pool(sys, false);
    ASSERT_FALSE(HasFailure()) << "step " << n;
    sync_and_close();
    testsupport::expect_set_consistent({kRoot, kLog}, "step " + std::to_string(n));
    if (!crashed) break;
  }
}

}  // namespace
