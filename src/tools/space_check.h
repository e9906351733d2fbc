// space_check.h - the consistency check of a volume set (spacecheck's body):
// pass 1 checks that every page some node claims is claimed once, lies
// inside its volume and is marked in use; pass 2 checks the inside of the
// B-trees and fixed-record files. Repairs are made only in write mode.
//
// The checker reads and writes pages through the volume set (and so
// through the file layer in use: the real file system, or a test double),
// never through the node layer: opening a node would run its first-open
// work and write. Without write mode the set is opened read-only and
// nothing reaches the files. Every line goes through the caller's sink, so
// tests and the crash harness run it in process; the program prints them.
//
// Context: one thread, no task kernel; every transfer blocks it. One check
// at a time (the volume set is one global state).
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct SpaceCheck_OPTIONS {
  bool write = false;     // -w: repairs allowed
  bool autofix = false;  // -a: minor problems fixed without a question
  bool yes = false;      // -y: every question answered yes
  int verbose = 0;       // -v once or twice
  int sync_mode = 0;     // the configuration's SyncMode
  uint32_t cache_pages = 640;
  // Pages marked in use that no node claims reported (and freed in write
  // mode) on a set shut down cleanly.
  bool leaks = true;
};

struct SpaceCheck_IO {
  // Report lines (the program's standard output).
  std::function<void(const std::string&)> out;
  // Questions and warnings (the program's standard error).
  std::function<void(const std::string&)> err;
  // One line of the answer to a question, without its line end. False at
  // end of input or on a read error: that answers no.
  std::function<bool(std::string*)> read_line;
};

// What a run found and did, for tests and the crash harness.
struct SpaceCheck_RESULT {
  int problems = 0;  // node headings printed (problems reported)
  // Of those, the nodes whose every finding the server mends as it runs:
  // record free lists that list records in use or twice.
  int mended_at_run_time = 0;
  int fixes = 0;     // repairs made
};

// The exit status of a check that reported problems (fixed or not).
inline constexpr int SpaceCheck_PROBLEMS_FOUND = 3;

// Checks the set made of paths. The exit status: 0 after both passes with
// nothing reported, SpaceCheck_PROBLEMS_FOUND after both passes with
// problems reported, 1 when the set or the cache cannot be set up or the
// fixes made cannot be flushed. result may be none.
int SpaceCheck_Run(const std::vector<std::string>& paths, const SpaceCheck_OPTIONS& options,
                   const SpaceCheck_IO& io, SpaceCheck_RESULT* result);
