// Installation directories: each value looked up under the user before the
// machine, the default below the base directory, the missing base directory,
// and results that do not fit.
#include "base/install_dirs.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/registry.h"
#include "support/process_runner.h"

namespace {

using platform::RegistryRoot;

constexpr const char* kDirs = "SOFTWARE\\Quorvix\\QX Zentrim\\Directories";

class InstallDirs : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv(platform::kRegistryUserEnv, dir_.file("hkcu").c_str(), 1);
    setenv(platform::kRegistryMachineEnv, dir_.file("hklm").c_str(), 1);
  }
  void TearDown() override {
    unsetenv(platform::kRegistryUserEnv);
    unsetenv(platform::kRegistryMachineEnv);
  }
  static void put(RegistryRoot root, const char* name, const std::string& value) {
    ASSERT_EQ(platform::registry_write(root, kDirs, name, value.c_str()), 0);
  }
  testsupport::TempDir dir_;
};

TEST_F(InstallDirs, UserValueWinsOverMachineValue) {
  put(RegistryRoot::LocalMachine, "BaseDirectory", "/machine");
  put(RegistryRoot::CurrentUser, "BaseDirectory", "/user");
  char buf[64];
  EXPECT_EQ(get_base_directory(buf, sizeof buf), 5);
  EXPECT_STREQ(buf, "/user");
  EXPECT_EQ(get_registry_value("Directories", "BASEDIRECTORY", buf, sizeof buf), 5);
}

TEST_F(InstallDirs, EachValueIsLookedUpInBothHivesOnItsOwn) {
  put(RegistryRoot::CurrentUser, "BaseDirectory", "/user");
  put(RegistryRoot::LocalMachine, "etc", "/machine/etc");
  EXPECT_STREQ(get_etc_directory(), "/machine/etc");
}

TEST_F(InstallDirs, DirectoryWithoutItsOwnValueIsBelowTheBase) {
  put(RegistryRoot::LocalMachine, "BaseDirectory", "/opt/zentrim");
  EXPECT_STREQ(get_etc_directory(), "/opt/zentrim/etc");
  char buf[64];
  EXPECT_EQ(get_directory("log", buf, sizeof buf), 16);
  EXPECT_STREQ(buf, "/opt/zentrim/log");
}

TEST_F(InstallDirs, ValueWithoutSubkeyAndMissingValues) {
  ASSERT_EQ(platform::registry_write(RegistryRoot::LocalMachine, kProductKey, "Version", "6.0"), 0);
  char buf[16];
  EXPECT_EQ(get_registry_value(nullptr, "Version", buf, sizeof buf), 3);
  EXPECT_STREQ(buf, "6.0");
  errno = 0;
  EXPECT_EQ(get_registry_value("Directories", "nothing", buf, sizeof buf), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(InstallDirs, ResultsThatDoNotFitAreRefused) {
  put(RegistryRoot::LocalMachine, "BaseDirectory", "/" + std::string(1019, 'b'));
  char buf[kEtcDirectorySize];
  EXPECT_EQ(get_directory("etc", buf, sizeof buf), -1);  // 1020 + "/etc" needs 1025
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_EQ(get_etc_directory(), nullptr);
  EXPECT_EQ(get_directory("e", buf, sizeof buf), 1022);  // fits exactly with its zero
  // A stored directory that is too long is refused, not replaced by the
  // default below the base directory.
  put(RegistryRoot::CurrentUser, "tmp", "/" + std::string(40, 't'));
  char small[32];
  put(RegistryRoot::CurrentUser, "BaseDirectory", "/b");
  EXPECT_EQ(get_directory("tmp", small, sizeof small), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST_F(InstallDirs, MissingBaseDirectoryEndsTheProgramWithStatus2) {
  char buf[64];
  EXPECT_EXIT(get_etc_directory(), ::testing::ExitedWithCode(2),
              "^Unable to obtain QX Zentrim\\\\Directories\\\\BaseDirectory\n$");
  EXPECT_EXIT(get_base_directory(buf, sizeof buf), ::testing::ExitedWithCode(2), "BaseDirectory");
}

}  // namespace
