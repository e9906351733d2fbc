// server_volumes.cpp - a volume set the server can start on (see
// server_volumes.h).
#include "support/server_volumes.h"

#include "index/btree.h"
#include "index/syscat.h"
#include "storage/buffer_cache.h"
#include "storage/fixrec.h"
#include "storage/syspool.h"
#include "storage/tlog.h"
#include "storage/tio.h"
#include "storage/volume_set.h"
#include "tools/env_create.h"
#include "tools/grow_tune.h"
#include "tools/volume_create.h"

namespace testsupport {

int start_server_storage() {
  if (buf_Init(64, 64) != 0 || Tlog_Init() != 0 || FixRec_Init() != 0 || btree_Init() != 0 ||
      SysPool_Get(1) == nullptr || Tlog_SetupRootNode() != 0)
    return -1;
  return 0;
}

Node* add_record_file(Node* tx, uint32_t size, uint32_t count) {
  Node* file = FixRec_Create(size, 1);
  if (file == nullptr) return nullptr;
  if (Node_Open(file) != 0) return nullptr;
  int rc = Tlog_Begin(tx, "t", 1);
  for (uint32_t i = 1; rc == 0 && i <= count; ++i) {
    std::vector<uint8_t> rec(size, static_cast<uint8_t>('a' + i));
    uint32_t recno = 0;
    rc = FixRec_Put(file, &recno, rec.data(), nullptr, tx);
  }
  if (rc == 0) rc = Tlog_Commit(tx);
  if (rc == 0) Tlog_FinalCommit(tx);
  Node_Close(file);
  return rc == 0 ? file : nullptr;
}

int add_server_catalog(const std::vector<std::string>& paths) {
  std::vector<const char*> p;
  for (const std::string& path : paths) p.push_back(path.c_str());
  if (Vol_OpenSet(static_cast<int>(p.size()), p.data()) == nullptr) return -1;
  const int consistent = Vol_IsConsistent();
  int rc = buf_Init(16, 16);
  if (rc == 0) rc = SysPool_Initialize();
  if (rc == 0) rc = SysCat_create();
  Vol_Sync(Vol_TIO_SYNC);
  if (rc == 0 && consistent) Vol_SetConsistent();
  Vol_Close();
  Vol_Free();
  buf_Exit();
  return rc;
}

std::string write_server_volumes(const std::string& root_path) {
  const size_t slash = root_path.rfind('/');
  const std::string log_path =
      (slash == std::string::npos ? std::string() : root_path.substr(0, slash + 1)) + "log.vol";
  EnvCreateSpec spec;
  spec.path = root_path.c_str();
  if (Env_Create(spec) != 0) return "";
  const char* paths[] = {root_path.c_str()};
  GrowSpec grow;
  grow.config_path = nullptr;
  grow.count = 1;
  grow.paths = paths;
  grow.operand = log_path.c_str();
  grow.type = VolType_LOG;
  std::string lines;
  if (Grow_Run(grow, &lines) != 0) return "";
  return lines;
}

}  // namespace testsupport
