// The configuration writer on the file double: the text it leaves, byte for
// byte, for each place the key can go; a power loss at every write, flush
// and directory change leaves the old file or the new one, whole; a failed
// write leaves the file as it was.
#include "tools/cfg_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/debug_log.h"
#include "platform/fault_file.h"

namespace {

const std::string kCfg = "/etc/zentdb6.cfg";

std::vector<uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }
std::string text(const std::vector<uint8_t>& b) { return {b.begin(), b.end()}; }

class CfgWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    debug_set_stream(stderr);
    platform::set_file_system(&fs);
  }
  void TearDown() override { platform::set_file_system(nullptr); }
  platform::FaultFileSystem fs;
};

struct Case {
  const char* name;
  const char* before;  // none: no file
  const char* section;
  const char* after;
};

TEST_F(CfgWriter, LeavesEveryOtherLineAsItWas) {
  const Case cases[] = {
      {"no file", nullptr, "Volumes", "[Volumes]\r\nRoot=/d/root.vol\r\n"},
      {"empty file", "", "Volumes", "[Volumes]\r\nRoot=/d/root.vol\r\n"},
      {"no section", "[Server]\nService = 7820\n", "Volumes",
       "[Server]\nService = 7820\n\r\n[Volumes]\r\nRoot=/d/root.vol\r\n"},
      {"no section, last line unended", "[Server]\nService = 7820", "Volumes",
       "[Server]\nService = 7820\r\n\r\n[Volumes]\r\nRoot=/d/root.vol\r\n"},
      {"empty section at the end", "[Server]\r\nService = 7820\r\n[Volumes]\r\n", "Volumes",
       "[Server]\r\nService = 7820\r\n[Volumes]\r\nRoot=/d/root.vol\r\n"},
      {"section header unended at the end", "[Volumes]", "Volumes",
       "[Volumes]\r\nRoot=/d/root.vol\r\n"},
      {"section before another", "[ volumes ]\n# the set\n\n[Config]\nThreads = 4\n", "Volumes",
       "[ volumes ]\n# the set\n\nRoot=/d/root.vol\r\n[Config]\nThreads = 4\n"},
      {"key in another case replaced",
       "[Volumes]\n; root = commented\n  ROOT  = /old.vol\nLog02 = /d/log.vol\n[Config]\n",
       "Volumes",
       "[Volumes]\n; root = commented\nRoot=/d/root.vol\r\nLog02 = /d/log.vol\n[Config]\n"},
      {"same key in another section untouched", "[Server]\nRoot = x\n[Volumes]\nA = b\n",
       "Volumes", "[Server]\nRoot = x\n[Volumes]\nA = b\nRoot=/d/root.vol\r\n"},
      {"no section given: lines before the first section", "Root = /old\n[Volumes]\n", "",
       "Root=/d/root.vol\r\n[Volumes]\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.before != nullptr) fs.put_file(kCfg, bytes(c.before));
    EXPECT_EQ(cfg_set_key(c.section, "Root", "/d/root.vol", kCfg.c_str()), 1);
    EXPECT_EQ(text(fs.contents(kCfg)), c.after);
    EXPECT_EQ(text(fs.durable_contents(kCfg)), c.after);
    EXPECT_FALSE(fs.exists(kCfg + ".new"));
    fs.remove_file(kCfg);
  }
}

// The file is replaced by a rename of a flushed copy, never removed first:
// wherever the power fails, the old text or the new one survives whole.
TEST_F(CfgWriter, PowerLossAtAnyStepLeavesTheOldFileOrTheNewOne) {
  const std::string before = "[Server]\r\nService = 7820\r\n[Volumes]\r\n[Config]\r\n";
  const std::string after =
      "[Server]\r\nService = 7820\r\n[Volumes]\r\nRoot=/d/root.vol\r\n[Config]\r\n";
  bool finished = false;
  int crashes = 0;
  for (int n = 1; !finished; ++n) {
    SCOPED_TRACE(n);
    ASSERT_LT(n, 50);
    fs.put_file(kCfg, bytes(before));
    fs.crash_at(n, platform::PowerLoss::TearUnflushed, static_cast<uint32_t>(n));
    cfg_set_key("Volumes", "Root", "/d/root.vol", kCfg.c_str());
    finished = !fs.crashed();
    crashes += finished ? 0 : 1;
    fs.lose_power(platform::PowerLoss::TearUnflushed, static_cast<uint32_t>(n));
    ASSERT_TRUE(fs.exists(kCfg));
    const std::string left = text(fs.contents(kCfg));
    EXPECT_TRUE(left == before || left == after) << left;
    if (finished) {
      EXPECT_EQ(left, after);
    }
  }
  // Create, write, flush, rename and the directory sync at least.
  EXPECT_GE(crashes, 5);
}

TEST_F(CfgWriter, FailedWriteOrFlushLeavesTheFileAsItWas) {
  const std::string before = "[Volumes]\nLog02 = /d/log.vol\n";
  for (int flush = 0; flush < 2; ++flush) {
    SCOPED_TRACE(flush);
    fs.put_file(kCfg, bytes(before));
    if (flush)
      fs.fail_flush(1, EIO);
    else
      fs.fail_write(1, ENOSPC);
    EXPECT_EQ(cfg_set_key("Volumes", "Root", "/d/root.vol", kCfg.c_str()), 0);
    EXPECT_EQ(text(fs.contents(kCfg)), before);
    EXPECT_FALSE(fs.exists(kCfg + ".new"));
  }
}

}  // namespace
