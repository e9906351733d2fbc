// power_cut_sweep.h - the loop of a power-loss sweep: one pass per write or
// flush point (or every stride-th) and seed, each on a fresh test double
// (behind a CrashFileSystem that stops the work at the cut, or alone for
// work that runs on), until a pass ends before its crash point.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "platform/fault_file.h"
#include "storage/crash_file_system.h"

namespace storage_test {

// For n = 1, 1 + stride, 1 + 2 stride, ... and seed = 1..seeds: installs a
// CrashFileSystem over a fresh FaultFileSystem whose crash loses power in
// mode (seeded by n and seed) and runs pass(disk, crash, n, at, &cut),
// where at names the pass for messages; the pass arms the crash at n and
// sets cut when the power went. The sweep ends
// after the first pass without a cut, or at a fatal failure. The file
// system is uninstalled after each pass.
inline std::string power_cut_name(const std::string& name, int n, int seed) {
  return name + ": power lost at write or flush " + std::to_string(n) + ", seed " +
         std::to_string(seed);
}

template <class Pass>
void sweep_power_cuts(const std::string& name, platform::PowerLoss mode, int seeds, Pass pass,
                      int stride = 1) {
  bool cut = true;
  for (int n = 1; cut; n += stride) {
    for (int seed = 1; seed <= seeds && cut; ++seed) {
      const std::string at = power_cut_name(name, n, seed);
      platform::FaultFileSystem disk;
      CrashFileSystem crash(&disk, [&] { disk.lose_power(mode, static_cast<uint32_t>(n * 10 + seed)); });
      platform::set_file_system(&crash);
      cut = false;
      pass(disk, crash, n, at, &cut);
      platform::set_file_system(nullptr);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

// The same for work that runs on through the power loss: a fresh
// FaultFileSystem is installed and pass(disk, n, power_seed, at, &cut)
// arms disk.crash_at(n, mode, power_seed) itself; nothing written after
// that point reaches the disk, and the pass brings the power back with
// disk.lose_power(mode, power_seed) before it reopens the set. No throw
// leaves the work half done in memory.
template <class Pass>
void sweep_power_failures(const std::string& name, int seeds, Pass pass, int stride = 1) {
  bool cut = true;
  for (int n = 1; cut; n += stride) {
    for (int seed = 1; seed <= seeds && cut; ++seed) {
      platform::FaultFileSystem disk;
      platform::set_file_system(&disk);
      cut = false;
      pass(disk, n, static_cast<uint32_t>(n * 10 + seed), power_cut_name(name, n, seed), &cut);
      platform::set_file_system(nullptr);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

}  // namespace storage_test
