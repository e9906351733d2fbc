// power_cut_sweep.h - the loop of a power-loss sweep: one pass per write or
// flush point and seed, each on a fresh test double behind a
// CrashFileSystem, until a pass ends before its crash point.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "platform/fault_file.h"
#include "storage/crash_file_system.h"

namespace storage_test {

// For n = 1, 2, ... and seed = 1..seeds: installs a CrashFileSystem over a
// fresh FaultFileSystem whose crash loses power in mode (seeded by n and
// seed) and runs pass(disk, crash, n, at, &cut), where at names the pass
// for messages; the pass arms the crash at n and sets cut when the power
// went. The sweep ends after the first pass without a cut, or at a fatal
// failure. The file system is uninstalled after each pass.
template <class Pass>
void sweep_power_cuts(const std::string& name, platform::PowerLoss mode, int seeds, Pass pass) {
  bool cut = true;
  for (int n = 1; cut; ++n) {
    for (int seed = 1; seed <= seeds && cut; ++seed) {
      const std::string at = name + ": power lost at write or flush " + std::to_string(n) +
                             ", seed " + std::to_string(seed);
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

}  // namespace storage_test
