// env_create.cpp - a new environment: root volume, system pool, server
// catalog (see env_create.h).
//
// Context: one thread without a task kernel; file transfers block it.
#include "tools/env_create.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/error_status.h"
#include "base/panic.h"
#include "index/syscat.h"
#include "platform/file.h"
#include "storage/buffer_cache.h"
#include "storage/tio.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"
#include "tools/util_frame.h"
#include "tools/volume_create.h"

namespace {

// Cache of the creation run: a new catalog touches a handful of pages.
constexpr int kCreatePages = 16;

void progress(bool verbose, const char* text) {
  if (!verbose) return;
  fputs(text, stdout);
  fflush(stdout);
}

void close_set() {
  Vol_Close();
  Vol_Free();
  buf_Exit();
}

}  // namespace

int Env_Create(const EnvCreateSpec& spec) {
  if (spec.verbose) {
    printf("Creating volume %s\n", spec.path);
    fflush(stdout);
  }
  if (Vol_Create(spec.path, spec.size, spec.ext_size, spec.max_size) == nullptr) {
    fputs("Unable to create database root volume\n", stderr);
    fprintf(stderr, "Failure code: %s\n", error_text());
    return -1;
  }
  Vol_SetSyncMode(spec.sync_mode);
  progress(spec.verbose, "Initializing volume ...\n");
  ZENT_ASSERT(buf_Init(kCreatePages, kCreatePages) == 0 && "buf_Init() failed");
  ZENT_ASSERT(Tlog_Init() == 0 && "Tlog_Init() failed");
  const char* failed = nullptr;
  if (SysPool_Initialize() != 0)
    failed = "Unable to initialize volume file\n";
  else if (SysCat_create() != 0)
    failed = "Unable to initialize system catalog\n";
  if (failed != nullptr) {
    fputs(failed, stderr);
    fprintf(stderr, "Failure code: %s\n", error_text());
    fputs("Failed to create database root volume\n", stderr);
    close_set();
    if (int err = platform::file_remove(spec.path)) {
      fprintf(stderr, "%s: %s\n", spec.path, strerror(err));
      fputs("Unable to remove corrupted volume file\n", stderr);
    } else {
      platform::file_sync_parent(spec.path);
    }
    return -1;
  }
  progress(spec.verbose, "Closing volume ...\n");
  buf_Sync(nullptr, 0);
  Vol_SyncOpenVolumes(Vol_TIO_SYNC);
  // Nothing to recover in a set that was just made.
  Vol_SetConsistent();
  close_set();
  progress(spec.verbose, "done.\n");
  return 0;
}
