// syscat_fixture.h - a new volume set on the file double with its system
// pool and server catalog created and opened, as the environment creation
// utility leaves one, plus helpers for a database catalog and for reading
// whole tables.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "index/syscat.h"
#include "platform/fault_file.h"
#include "storage/buffer_cache.h"
#include "storage/tio.h"
#include "storage/volume_set.h"
#include "tools/volume_create.h"

namespace syscat_test {

inline const std::string kRoot = "/v/root.vol";

// Rows of a whole table, freed by the holder.
struct Rows {
  std::vector<void*> rows;
  ~Rows() { for (void* r : rows) free(r); }
  template <class T>
  const T* at(size_t i) const { return static_cast<const T*>(rows.at(i)); }
  size_t size() const { return rows.size(); }
};

inline int read_all(SysCat_DB_CATALOG* cat, int sys_id, Rows* out) {
  SysCat_GETSTATE st;
  void* row = nullptr;
  int rc = SysCat_get(cat, sys_id, SysCat_GET_FIRST, nullptr, &st, &row, nullptr);
  for (; rc == 0; rc = SysCat_get(cat, sys_id, SysCat_GET_NEXT, nullptr, &st, &row, nullptr))
    out->rows.push_back(row);
  return rc;
}

// A blob {u32 length, bytes} in memory.
inline std::vector<uint8_t> blob(const std::string& bytes) {
  std::vector<uint8_t> b(4 + bytes.size());
  const uint32_t n = static_cast<uint32_t>(bytes.size());
  memcpy(b.data(), &n, 4);
  memcpy(b.data() + 4, bytes.data(), bytes.size());
  return b;
}

class CatalogFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    debug_set_stream(stderr);
    platform::set_file_system(&fs);
    make_set();
  }
  void TearDown() override {
    close_all();
    platform::set_file_system(nullptr);
  }
  void make_set() {
    ASSERT_NE(Vol_Create(kRoot.c_str(), 2048, 256, 0), nullptr);
    ASSERT_EQ(buf_Init(256, 256), 0);
    ASSERT_EQ(SysPool_Initialize(), 0);
    ASSERT_EQ(SysCat_create(), 0);
    ASSERT_EQ(SysCat_open(), 0);
  }
  void close_all() {
    SysCat_close();
    if (Vol_GetRootVol() != nullptr) {
      Vol_Sync(Vol_TIO_SYNC);
      Vol_Close();
      Vol_Free();
    }
    buf_Exit();
  }
  void open_set() {
    const char* paths[] = {kRoot.c_str()};
    ASSERT_NE(Vol_OpenSet(1, paths), nullptr);
    ASSERT_EQ(buf_Init(256, 256), 0);
  }
  // Everything written, closed, opened again with the catalog.
  void reopen() {
    close_all();
    open_set();
    ASSERT_EQ(SysCat_open(), 0);
  }
  // A new database "name" created by uid 1; its sysdb row in *db.
  SysCat_DB_CATALOG* new_db(const char* name) {
    SysCat_DB db{0, const_cast<char*>(name), 0, 0};
    if (add_db(&db, 1, nullptr) != 0) return nullptr;
    return SysCat_db_open(&db);
  }
  static int code() { return error_code(get_error()); }
  static int module() { return error_module(get_error()); }

  platform::FaultFileSystem fs;
};

}  // namespace syscat_test
