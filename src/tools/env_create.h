// env_create.h - creating a database environment, as spacenew does: the
// root DATA volume, the system pool and the server catalog with its first
// rows.
//
// Context: one thread without a task kernel (a utility, or a test that
// makes a set the server starts on); no volume set may be open. Messages
// go to standard error (progress lines to standard output with verbose).
#pragma once
#include <cstdint>

struct EnvCreateSpec {
  const char* path;         // the root volume's file; must not exist
  uint32_t size = 320;      // pages (320 .. 16777216)
  uint32_t ext_size = 128;  // pages, 0 = never grows
  uint32_t max_size = 0;    // pages, 0 = no limit
  int sync_mode = 0;        // the configuration's SyncMode
  bool verbose = false;
};

// Creates the environment and closes it clean. 0, or -1 after the failure
// lines ("Unable to create database root volume" and the failure code when
// the file could not be made; "Failed to create database root volume" when
// the pool or the catalog could not be, the new file then removed again).
int Env_Create(const EnvCreateSpec& spec);
