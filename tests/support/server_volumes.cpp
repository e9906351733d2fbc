// server_volumes.cpp - a volume set the server can start on (see
// server_volumes.h).
#include "support/server_volumes.h"

#include "index/syscat.h"
#include "storage/buffer_cache.h"
#include "storage/tio.h"
#include "storage/volume_set.h"
#include "tools/env_create.h"
#include "tools/grow_tune.h"
#include "tools/volume_create.h"

namespace testsupport {

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
