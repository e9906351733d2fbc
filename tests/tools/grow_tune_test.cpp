// spacegrow's and spacetune's bodies on the file double: a power loss at
// every write, flush and directory change of a run leaves the volumes and
// the configuration whole (the old state or the new one, never a
// configuration naming a volume that is not in the set); after a run that
// finished, the change survives.
#include "tools/grow_tune.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/debug_log.h"
#include "platform/fault_file.h"
#include "storage/volume_set.h"
#include "support/set_check.h"
#include "tools/env_create.h"

namespace {

const std::string kCfg = "/d/zentdb6.cfg";
const std::string kRoot = "/d/root.vol";
const std::string kLog = "/d/log.vol";
const std::string kBefore = "# the set\n[Volumes]\nRoot = " + kRoot + "\n[Config]\nThreads = 2\n";
const std::string kAfter = "# the set\n[Volumes]\nRoot = " + kRoot + "\nLog02 = " + kLog +
                           "\n[Config]\nThreads = 2\n";

std::string text(const std::vector<uint8_t>& b) { return {b.begin(), b.end()}; }

class GrowTunePowerLoss : public ::testing::Test {
 protected:
  void SetUp() override {
    debug_set_stream(stderr);
    platform::set_file_system(&fs);
  }
  void TearDown() override { platform::set_file_system(nullptr); }
  void make_environment() {
    fs.remove_file(kRoot);
    fs.remove_file(kLog);
    fs.remove_file(kCfg + ".new");
    EnvCreateSpec spec;
    spec.path = kRoot.c_str();
    ASSERT_EQ(Env_Create(spec), 0);
    fs.put_file(kCfg, {kBefore.begin(), kBefore.end()});
  }
  // Opens the set the configuration lists, and checks it; the LOG volume's
  // descriptor copy when there is one.
  bool open_listed(VOLUME* log) {
    const std::string cfg = text(fs.contents(kCfg));
    const bool with_log = cfg == kAfter;
    const char* paths[] = {kRoot.c_str(), kLog.c_str()};
    if (Vol_OpenSet(with_log ? 2 : 1, paths) == nullptr) return false;
    if (with_log && Vol_GetTlogVol() != nullptr) *log = *Vol_GetTlogVol();
    Vol_Close();
    Vol_Free();
    return testsupport::expect_set_consistent(
        with_log ? std::vector<std::string>{kRoot, kLog} : std::vector<std::string>{kRoot}, cfg);
  }
  GrowSpec grow_spec(const char* const* paths) {
    GrowSpec g;
    g.config_path = kCfg.c_str();
    g.count = 1;
    g.paths = paths;
    g.operand = kLog.c_str();
    g.type = VolType_LOG;
    return g;
  }
  platform::FaultFileSystem fs;
};

TEST_F(GrowTunePowerLoss, SpacegrowCutAtEveryStep) {
  const char* paths[] = {kRoot.c_str()};
  int crashes = 0;
  for (int n = 1;; ++n) {
    SCOPED_TRACE(n);
    ASSERT_LT(n, 200);
    make_environment();
    fs.crash_at(n, platform::PowerLoss::DropUnflushed);
    const int status = Grow_Run(grow_spec(paths));
    const bool crashed = fs.crashed();
    fs.lose_power(platform::PowerLoss::DropUnflushed);
    const std::string cfg = text(fs.contents(kCfg));
    EXPECT_TRUE(cfg == kBefore || cfg == kAfter) << cfg;
    VOLUME log{};
    ASSERT_TRUE(open_listed(&log)) << cfg;
    if (!crashed) {
      EXPECT_EQ(status, 0);
      EXPECT_EQ(cfg, kAfter);
      EXPECT_EQ(log.type, VolType_LOG);
      break;
    }
    ++crashes;
  }
  EXPECT_GT(crashes, 5);
}

// A run killed (or cut by a power loss) at any step, then run again as the
// operator would: the second run finishes the job. What the first one left
// under the volume's name, or beside it, never makes it refuse.
TEST_F(GrowTunePowerLoss, SpacegrowRunAgainAfterACutAtEveryStep) {
  const char* paths[] = {kRoot.c_str()};
  for (platform::PowerLoss mode :
       {platform::PowerLoss::KillProcess, platform::PowerLoss::DropUnflushed}) {
    int reruns = 0;
    for (int n = 1;; ++n) {
      SCOPED_TRACE(std::to_string(static_cast<int>(mode)) + " cut at " + std::to_string(n));
      ASSERT_LT(n, 200);
      make_environment();
      fs.crash_at(n, mode);
      Grow_Run(grow_spec(paths));
      const bool crashed = fs.crashed();
      fs.lose_power(mode);
      if (!crashed) break;
      if (text(fs.contents(kCfg)) == kBefore) {
        ++reruns;
        EXPECT_EQ(Grow_Run(grow_spec(paths)), 0);
      }
      const std::string cfg = text(fs.contents(kCfg));
      EXPECT_TRUE(cfg == kAfter) << cfg;
      VOLUME log{};
      ASSERT_TRUE(open_listed(&log)) << cfg;
      EXPECT_EQ(log.type, VolType_LOG);
      fs.remove_file(kLog + ".spacegrow");
      if (HasFailure()) return;
    }
    EXPECT_GT(reruns, 5);
  }
}

TEST_F(GrowTunePowerLoss, SpacetuneCutAtEveryStep) {
  for (int sync_mode = 0; sync_mode < 2; ++sync_mode) {
    SCOPED_TRACE(sync_mode);
    const char* paths[] = {kRoot.c_str()};
    make_environment();
    ASSERT_EQ(Grow_Run(grow_spec(paths)), 0);
    const char* both[] = {kRoot.c_str(), kLog.c_str()};
    int crashes = 0;
    for (int n = 1;; ++n) {
      SCOPED_TRACE(n);
      ASSERT_LT(n, 200);
      TuneSpec t{{kCfg.c_str(), 2, both, kLog.c_str(), sync_mode}, 512, Vol_UNCHANGED, 0, 0};
      // Back to the first extension size, durably, before each cut run.
      TuneSpec back = t;
      back.ext_size = 128;
      ASSERT_EQ(Tune_Run(back), 0);
      fs.crash_at(n, platform::PowerLoss::DropUnflushed);
      const int status = Tune_Run(t);
      const bool crashed = fs.crashed();
      fs.lose_power(platform::PowerLoss::DropUnflushed);
      EXPECT_EQ(text(fs.contents(kCfg)), kAfter);
      VOLUME log{};
      ASSERT_TRUE(open_listed(&log));
      EXPECT_TRUE(log.ext_size == 128 || log.ext_size == 512) << log.ext_size;
      if (!crashed) {
        EXPECT_EQ(status, 0);
        EXPECT_EQ(log.ext_size, 512u);
        break;
      }
      ++crashes;
    }
    EXPECT_GT(crashes, 0);
  }
}

}  // namespace
