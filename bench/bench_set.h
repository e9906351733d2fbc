// bench_set.h - the end of a benchmark's fixture volume set: the set
// closed and freed, the cache gone, the files and their directory removed.
#pragma once
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>

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

// The file system's commit ceiling: one 8 KiB pwrite and an fdatasync per
// iteration on a new file at path (over one of 64 pages, or each a new
// page at the end with append). fdatasyncs per second (0 when the file
// could not be written; the state says why).
inline double raw_fdatasync_rate(benchmark::State& state, const std::string& path, bool append) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) {
    state.SkipWithError("cannot create the file");
    return 0;
  }
  std::vector<char> page(8192, 'r');
  int64_t n = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    const int64_t at = append ? n : n % 64;
    if (pwrite(fd, page.data(), page.size(), static_cast<off_t>(at * 8192)) !=
            static_cast<ssize_t>(page.size()) ||
        fdatasync(fd) != 0) {
      state.SkipWithError("pwrite or fdatasync failed");
      break;
    }
    ++n;
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  close(fd);
  unlink(path.c_str());
  const double rate = secs > 0 ? static_cast<double>(n) / secs : 0;
  state.counters["fdatasync_per_s"] = rate;
  return rate;
}

