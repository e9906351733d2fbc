// sample_server.cpp - the sample database in a server environment (see
// sample_server.h).
#include "support/sample_server.h"

#include <cstdlib>

#include "index/btree.h"
#include "index/syscat.h"
#include "storage/buffer_cache.h"
#include "storage/fixrec.h"
#include "storage/tio.h"
#include "storage/tlog.h"
#include "storage/vnode.h"
#include "storage/volume_set.h"
#include "support/sample_db.h"
#include "support/server_volumes.h"

namespace testsupport {
namespace {

// Opens the set of root_path and its log.vol with a cache and the server
// catalog; *consistent the set's state. 0 or -1 (the set open or not:
// close_set either way).
int open_set(const std::string& root_path, int* consistent) {
  const size_t slash = root_path.rfind('/');
  const std::string log_path =
      (slash == std::string::npos ? std::string() : root_path.substr(0, slash + 1)) + "log.vol";
  const char* paths[] = {root_path.c_str(), log_path.c_str()};
  if (Vol_OpenSet(2, paths) == nullptr) return -2;
  *consistent = Vol_IsConsistent();
  int rc = buf_Init(64, 64);
  // Changes go in through the transaction log, and a last checkpoint
  // takes them home, as a server's shutdown would.
  if (rc == 0) rc = Tlog_Init();
  if (rc == 0) rc = Tlog_Checkpoint("sample setup");
  if (rc == 0) rc = SysCat_open();
  return rc;
}

int close_set(int rc, int consistent) {
  if (rc == -2) return rc;
  SysCat_close();
  VNode_Flush(nullptr);
  if (rc == 0) rc = Tlog_Checkpoint("sample written");
  VNode_Flush(nullptr);
  VNode_Cleanup();
  Vol_Sync(Vol_TIO_SYNC);
  if (rc == 0 && consistent) Vol_SetConsistent();
  Vol_Close();
  Vol_Free();
  buf_Exit();
  Tlog_ResetTables();
  return rc;
}

}  // namespace

std::string write_sample_environment(const std::string& root_path, int ledger_entries,
                                     uint32_t ledger_accounts) {
  const std::string lines = write_server_volumes(root_path);
  if (lines.empty()) return "";
  int consistent = 0;
  int rc = open_set(root_path, &consistent);
  if (rc == 0) rc = btree_Init();
  if (rc == 0) rc = FixRec_Init();
  SampleDb d;
  if (rc == 0) rc = write_sample_db_stored(kSampleDbName, &d);
  if (rc == 0) rc = add_sample_records(d);
  if (rc == 0) rc = add_sample_users(kSampleDbName, d);
  if (rc == 0 && ledger_entries >= 0) {
    LedgerDb l;
    SysCat_USER* alice = SysCat_get_user_by_name("alice", nullptr);
    rc = alice != nullptr ? write_ledger_db(kLedgerDbName, &l) : -1;
    if (rc == 0) rc = add_ledger_entries(l, static_cast<uint32_t>(ledger_entries));
    if (rc == 0 && ledger_accounts >= 2) rc = add_ledger_accounts(l, ledger_accounts);
    if (rc == 0) rc = grant_ledger_sets(kLedgerDbName, l, alice->uid);
    free(alice);
  }
  rc = close_set(rc, consistent);
  return rc == 0 ? lines : "";
}

int add_to_sample_group(const std::string& root_path, const char* user) {
  int consistent = 0;
  int rc = open_set(root_path, &consistent);
  SysCat_USER* u = rc == 0 ? SysCat_get_user_by_name(user, nullptr) : nullptr;
  SysCat_DB* db = u != nullptr ? SysCat_get_db_by_name(kSampleDbName, 0, 0, nullptr) : nullptr;
  SysCat_DB_CATALOG* cat = db != nullptr ? SysCat_db_open(db) : nullptr;
  if (rc == 0) rc = cat != nullptr ? 0 : -1;
  if (rc == 0) {
    SysCat_GETSTATE st;
    void* row = nullptr;
    rc = SysCat_get(cat, SysGroup_ID, SysCat_GET_FIRST, nullptr, &st, &row, nullptr);
    if (rc == 0) rc = SysCat_add_member(cat, u->uid, static_cast<SysCat_GROUP*>(row)->gid, nullptr);
    free(row);
  }
  SysCat_db_close(cat);
  free(db);
  free(u);
  return close_set(rc, consistent);
}

}  // namespace testsupport
