// fixrec_fixture.h - fixed-record files on the transaction-log fixture's
// set: a file made and kept open, transaction helpers, the file's pages as
// bytes, a check that its counts agree with its slot flags, the redo pass
// that recovery runs over the root log, and server runs over a set of
// their own for the crash tests.
#pragma once
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "base/error_status.h"
#include "platform/fault_file.h"
#include "storage/fixrec.h"
#include "storage/server_stop.h"
#include "storage/syspool.h"
#include "storage/tlog_fixture.h"
#include "tools/volume_create.h"

namespace fixrec_test {

using tlog_test::TlogFixture;

// A new set of root and a LOG extent of log_pages (growing by log_ext),
// its system pools, log and record files set up, left open for the files;
// with rec_size, a first file of that record size, *file_id naming it.
inline void create_fixrec_set(const char* root, const char* log, uint32_t log_pages,
                              uint32_t log_ext, uint32_t rec_size = 0,
                              uint32_t* file_id = nullptr) {
  ASSERT_NE(Vol_Create(root, 1024, 256, 0), nullptr);
  ASSERT_NE(Vol_CreateExtent(log, VolType_LOG, log_pages, log_ext, 0), nullptr);
  ASSERT_EQ(Vol_SetSyncMode(1), 0);
  ASSERT_EQ(buf_Init(256, 256), 0);
  ASSERT_EQ(SysPool_Initialize(), 0);
  ASSERT_EQ(Tlog_Init(), 0);
  ASSERT_EQ(FixRec_Init(), 0);
  ASSERT_EQ(Tlog_Checkpoint("Server startup"), 0);
  if (rec_size == 0) return;
  Node* f = FixRec_Create(rec_size, 1);
  ASSERT_NE(f, nullptr);
  *file_id = Node_GetId(f);
}

inline uint32_t status_code() { return static_cast<uint32_t>(error_code(get_error())); }
inline int status_severity() { return error_severity(get_error()); }

// A record of size bytes: tag, then recno-derived filler.
inline std::vector<uint8_t> record(uint32_t size, uint32_t tag) {
  std::vector<uint8_t> r(size);
  for (uint32_t i = 0; i < size; ++i) r[i] = static_cast<uint8_t>(tag * 31 + i * 7 + (tag >> 8));
  return r;
}

struct Counts {
  uint32_t first = 0, last = 0, num = 0;
  bool operator==(const Counts&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const Counts& c) {
  return os << "{first " << c.first << ", last " << c.last << ", num " << c.num << "}";
}

// Every page of every cluster of the file, as the cache holds it.
inline std::vector<uint8_t> file_image(Node* node) {
  std::vector<uint8_t> out;
  Node_ITER it;
  uint32_t start = 0, count = 0;
  for (int rc = Node_FirstCluster(node, &start, &count, &it); rc == 0;
       rc = Node_NextCluster(node, &start, &count, &it)) {
    const std::vector<uint8_t> img = pool_test::cluster_image(node, start, count);
    out.insert(out.end(), img.begin(), img.end());
  }
  return out;
}

// The counts the slot flags say (every flag must be 'U' or 'D').
inline Counts counted(Node* node) {
  const FixRec_META m = FixRec_GetMetaCopy(node);
  const std::vector<uint8_t> img = file_image(node);
  Counts c;
  const uint32_t per_cluster = m.cluster_size * Vol_PAGESIZE;
  for (uint32_t r = 1; r <= m.max_recno; ++r) {
    const uint32_t k = (r - 1) / m.cluster_records;
    const uint32_t off = k * per_cluster + (r - 1) % m.cluster_records * m.slot_size;
    if (off >= img.size()) {
      ADD_FAILURE() << "recno " << r << " past the clusters";
      break;
    }
    const uint8_t flag = img[off];
    EXPECT_TRUE(flag == FixRec_USED || flag == FixRec_DELETED) << "flag of recno " << r;
    if (flag != FixRec_USED) continue;
    if (c.first == 0) c.first = r;
    c.last = r;
    c.num++;
  }
  return c;
}

inline Counts meta_counts(Node* node) {
  const FixRec_META m = FixRec_GetMetaCopy(node);
  return Counts{m.first_recno, m.last_recno, m.num_records};
}

// Record numbers with a checksum of each record: short messages on failure.
inline std::map<uint32_t, uint32_t> digest(const std::map<uint32_t, std::vector<uint8_t>>& m) {
  std::map<uint32_t, uint32_t> out;
  for (const auto& [r, b] : m) {
    uint32_t h = 2166136261u;
    for (uint8_t c : b) h = (h ^ c) * 16777619u;
    out[r] = h;
  }
  return out;
}

class FixRecFixture : public TlogFixture {
 protected:
  void SetUp() override {
    TlogFixture::SetUp();
    ASSERT_EQ(FixRec_Init(), 0);
  }
  void TearDown() override {
    TearDownLocks();
    for (Node* n : open_)
      if (Node_RefCount(n) > 0) Node_Close(n);
    open_.clear();
    TlogFixture::TearDown();
  }
  // A new file, opened.
  Node* make(uint32_t rec_size, int cluster_size) {
    Node* f = FixRec_Create(rec_size, cluster_size);
    EXPECT_NE(f, nullptr);
    if (f == nullptr) return nullptr;
    EXPECT_EQ(Node_Open(f), 0);
    open_.push_back(f);
    return f;
  }
  Node* begin(Node* tx = nullptr) {
    if (tx == nullptr) tx = new_tx();
    EXPECT_EQ(Tlog_Begin(tx, "t", 1), 0);
    return tx;
  }
  static void commit(Node* tx) {
    ASSERT_EQ(Tlog_Commit(tx), 0);
    Tlog_FinalCommit(tx);
  }
  uint32_t put(Node* f, Node* tx, const std::vector<uint8_t>& data) {
    uint32_t recno = 0;
    EXPECT_EQ(FixRec_Put(f, &recno, data.data(), nullptr, tx), 0);
    return recno;
  }
  // Locked read then update / delete, as the access layer does.
  int update(Node* f, Node* tx, uint32_t recno, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> old(data.size());
    const int rc = FixRec_GetLock(f, recno, old.data(), nullptr, tx, locks());
    if (rc != 0) return rc;
    return FixRec_Update(f, recno, data.data(), nullptr, tx);
  }
  int remove(Node* f, Node* tx, uint32_t recno) {
    std::vector<uint8_t> old(FixRec_RecordSize(f));
    const int rc = FixRec_GetLock(f, recno, old.data(), nullptr, tx, locks());
    if (rc != 0) return rc;
    return FixRec_Delete(f, recno, nullptr, tx);
  }
  // What tx (none: a reader outside any transaction) reads; empty when the
  // read finds no record.
  std::vector<uint8_t> read(Node* f, uint32_t recno, Node* tx = nullptr) {
    std::vector<uint8_t> out(FixRec_RecordSize(f));
    const int rc = FixRec_Get(f, recno, out.data(), nullptr, tx);
    EXPECT_GE(rc, 0) << recno;
    if (rc != 0) out.clear();
    return out;
  }
  Node_ADVLOCK* locks() {
    if (locks_ == nullptr) locks_ = Node_InitAdvLock(64, 64);
    return locks_;
  }
  void release_locks() {
    if (locks_ != nullptr) Node_ReleaseAllAdvLocks(locks_);
  }
  // Recovery's redo pass over the root's DO_LOG, then the recount.
  void redo() {
    Tlog_SetRecovery(1);
    const int rc = Tlog_Action(Tlog_RootNode(), Tlog_CHANNEL_DO_LOG, Tlog_GetTable(Tlog_TABLE_REDO),
                               nullptr, nullptr, "redo", 0);
    Tlog_SetRecovery(0);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(FixRec_RecoverCounts(), 0);
  }
  // Every record the file holds for a reader outside any transaction.
  std::map<uint32_t, std::vector<uint8_t>> contents(Node* f) {
    std::map<uint32_t, std::vector<uint8_t>> out;
    const uint32_t max = FixRec_MaxRecno(f);
    for (uint32_t r = 1; r <= max; ++r) {
      std::vector<uint8_t> b = read(f, r);
      if (!b.empty()) out[r] = b;
    }
    return out;
  }
  // The same by iteration forward, and backward (reversed).
  std::map<uint32_t, std::vector<uint8_t>> walk(Node* f, bool backward = false) {
    std::map<uint32_t, std::vector<uint8_t>> out;
    FixRec_ITER it;
    FixRec_InitIter(&it);
    std::vector<uint8_t> b(FixRec_RecordSize(f));
    uint32_t recno = 0;
    uint32_t prev = 0;
    int rc = backward ? FixRec_Last(f, &recno, b.data(), &it, nullptr)
                      : FixRec_First(f, &recno, b.data(), &it, nullptr);
    while (rc == 0) {
      if (prev != 0) { EXPECT_TRUE(backward ? recno < prev : recno > prev); }
      prev = recno;
      out[recno] = b;
      rc = backward ? FixRec_Prev(f, &recno, b.data(), &it, nullptr)
                    : FixRec_Next(f, &recno, b.data(), &it, nullptr);
    }
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(status_code(), static_cast<uint32_t>(FixRec_R_END));
    FixRec_ReleaseIter(&it);
    return out;
  }
  void TearDownLocks() {
    if (locks_ != nullptr) {
      Node_ReleaseAllAdvLocks(locks_);
      Node_FreeAdvLock(locks_);
      locks_ = nullptr;
    }
  }
  std::vector<Node*> open_;
  Node_ADVLOCK* locks_ = nullptr;
};

// The files' meta data and the log live in the set's real system pools
// here, so all that recovery and the consistency check read is what the
// disk holds. Each pass of a sweep makes its own set.
class FixRecServerFixture : public FixRecFixture {
 protected:
  void SetUp() override {
    node_test::NodeFixture::SetUp();
    Node_SetPoolServices(nullptr);
    Node_SetTlogServices(nullptr);
  }
  void TearDown() override {
    TearDownLocks();
    open_.clear();
    txs_.clear();
    node_test::NodeFixture::TearDown();
    Tlog_ResetTables();
  }
  // A new set with its system pools, closed clean.
  void make_set() {
    write_set();
    open_set(256);
    ASSERT_EQ(SysPool_Initialize(), 0);
    Vol_Sync(Vol_TIO_SYNC);
    close_set();
  }
  // As the server starts; sync mode 1 has final commits force the log.
  void start_server(int sync_mode = 1) {
    storage_test::start_as_server({node_test::kRoot, node_test::kLog}, 256, sync_mode,
                                  [] { ASSERT_EQ(FixRec_Init(), 0); });
  }
  // As the server stops; after a cut nothing of it reaches the disk.
  void stop_server(platform::FaultFileSystem& disk) {
    TearDownLocks();
    for (Node* n : open_)
      if (Node_RefCount(n) > 0) Node_Close(n);
    open_.clear();
    for (Node* t : txs_)
      if (Node_RefCount(t) > 0) Node_Close(t);
    txs_.clear();
    storage_test::stop_as_server(disk.crashed());
  }
  Node* reopen_file(uint32_t id, const std::string& at) {
    Node* f = Node_Find(id);
    EXPECT_NE(f, nullptr) << at;
    if (f == nullptr) return nullptr;
    EXPECT_EQ(Node_Open(f), 0) << at;
    open_.push_back(f);
    return f;
  }
};

}  // namespace fixrec_test
