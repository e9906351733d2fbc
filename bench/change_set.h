// change_set.h - the volume set the benchmarks of the changing calls run
// on: a root and a LOG volume in the current directory (or
// $ZENT_BENCH_DIR) with the system pool, the server catalog, the stored
// sample database and a user "boss" who may change every set; sessions of
// boss with the sample open; the session lookup of tasks and of code
// outside any task.
#pragma once
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include "access/idb_dbctx.h"
#include "access/idb_logon.h"
#include "access/idb_open.h"
#include "access/idb_session.h"
#include "base/debug_log.h"
#include "base/task_kernel.h"
#include "bench_set.h"
#include "index/btree.h"
#include "index/syscat.h"
#include "storage/buffer_cache.h"
#include "storage/fixrec.h"
#include "storage/ssn.h"
#include "storage/syspool.h"
#include "storage/tio.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"
#include "support/sample_db.h"
#include "tools/volume_create.h"

namespace bench_change {

inline std::string bench_dir() {
  const char* d = getenv("ZENT_BENCH_DIR");
  return d != nullptr && *d != '\0' ? d : ".";
}

inline std::map<Task*, idb_session*> g_task_session;
inline idb_session* g_outside = nullptr;  // the session of code outside any task

inline Ssn_STATE* lookup(Task* t) {
  auto it = g_task_session.find(t);
  if (it != g_task_session.end()) return &it->second->ssn;
  return g_outside != nullptr ? &g_outside->ssn : nullptr;
}

// A root and a LOG volume with the system pool, the server catalog, the
// stored sample database and a user "boss" who may change every set.
class ChangeSet {
 public:
  explicit ChangeSet(int sync_mode) {
    dir_ = bench_dir() + "/zent_change_bench_" + std::to_string(getpid());
    if (system(("mkdir -p " + dir_).c_str()) != 0) return;
    root_ = dir_ + "/root.vol";
    log_ = dir_ + "/log.vol";
    if (Vol_Create(root_.c_str(), 65536, 16384, 0) == nullptr) return;
    if (Vol_CreateExtent(log_.c_str(), VolType_LOG, 262144, 16384, 0) == nullptr) return;
    if (buf_Init(16384, 16384) != 0 || SysPool_Initialize() != 0 || SysCat_create() != 0 ||
        SysCat_open() != 0)
      return;
    if (Vol_SetSyncMode(sync_mode) != 0 || Tlog_Init() != 0 || Tlog_SetupRootNode() != 0 ||
        btree_Init() != 0 || FixRec_Init() != 0)
      return;
    testsupport::SampleDb d;
    if (testsupport::write_sample_db_stored("sample", &d) != 0) return;
    SysCat_USER u{0, const_cast<char*>("boss"), nullptr, IDB_CAP_DBA};
    if (SysCat_add_user(&u, nullptr) != 0) return;
    SysCat_DB* db = SysCat_get_db_by_name("sample", 0, 0, nullptr);
    SysCat_DB_CATALOG* cat = db != nullptr ? SysCat_db_open(db) : nullptr;
    free(db);
    if (cat == nullptr) return;
    SysCat_GROUP grp{0, const_cast<char*>("admins"), 0};
    bool ok = SysCat_add_group(cat, &grp, nullptr) == 0 &&
              SysCat_add_member(cat, u.uid, grp.gid, nullptr) == 0;
    for (uint32_t table : {d.customer, d.regions, d.orders}) {
      SysCat_PRIVILEGE p{grp.gid, table, 7};
      ok = ok && SysCat_add_privilege(cat, &p, nullptr) == 0;
    }
    SysCat_db_close(cat);
    ssn_set_lookup(lookup);
    Vol_Sync(Vol_TIO_SYNC);
    ok_ = ok;
  }
  ~ChangeSet() {
    for (idb_session* s : sessions_) idb_exit_session(s);
    ssn_set_lookup(nullptr);
    g_task_session.clear();
    g_outside = nullptr;
    SysCat_close();
    close_bench_set({root_, log_}, dir_);
    Tlog_ResetTables();
  }
  bool ok() const { return ok_; }
  // A session of boss with the sample open; its dbid in *dbid.
  idb_session* session(int32_t* dbid) {
    idb_session* s = nullptr;
    if (idb_init_session(nullptr, &s) != 0) return nullptr;
    sessions_.push_back(s);
    g_outside = s;
    if (idb__logon(s, "boss", nullptr) != 0) return nullptr;
    *dbid = idb__open_database(s, "sample", 1);
    return *dbid > 0 ? s : nullptr;
  }

 private:
  std::string dir_, root_, log_;
  std::vector<idb_session*> sessions_;
  bool ok_ = false;
};

// The benchmarks' main: log to standard error with the flags of
// ZENT_BENCH_DEBUG (for a look at what the calls wait for), then run.
inline int run(int argc, char** argv) {
  debug_set_stream(stderr);
  const char* flags = getenv("ZENT_BENCH_DEBUG");
  debug_set_flags(flags != nullptr ? flags : "");
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace bench_change
