// bench_set.h - the end of a benchmark's fixture volume set: the set
// closed and freed, the cache gone, the files and their directory removed.
#pragma once
#include <unistd.h>

#include <string>
#include <vector>

#include "storage/buffer_cache.h"
#include "storage/volume_set.h"

inline void close_bench_set(const std::vector<std::string>& files, const std::string& dir) {
  if (Vol_GetRootVol() != nullptr) {
    Vol_Close();
    Vol_Free();
  }
  buf_Exit();
  for (const std::string& f : files) unlink(f.c_str());
  rmdir(dir.c_str());
}
