// Registry stand-in: values as files below two roots, names without case,
// replacement by rename, refused names, deletion, and where the roots lie.
#include "platform/registry.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/process_runner.h"

namespace {

using platform::RegistryRoot;

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv(platform::kRegistryUserEnv, user_root().c_str(), 1);
    setenv(platform::kRegistryMachineEnv, machine_root().c_str(), 1);
  }
  void TearDown() override {
    unsetenv(platform::kRegistryUserEnv);
    unsetenv(platform::kRegistryMachineEnv);
  }
  std::string user_root() const { return dir_.file("hkcu"); }
  std::string machine_root() const { return dir_.file("hklm"); }
  static std::string read(RegistryRoot root, const char* key, const char* name, size_t size = 256) {
    std::vector<char> buf(size);
    const long n = platform::registry_read(root, key, name, buf.data(), size);
    if (n < 0) return "<errno " + std::to_string(errno) + ">";
    EXPECT_EQ(static_cast<size_t>(n), strlen(buf.data()));
    return buf.data();
  }
  static std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
      while (const dirent* e = readdir(d))
        if (e->d_name[0] != '.' || (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")))
          names.emplace_back(e->d_name);
      closedir(d);
    }
    return names;
  }
  testsupport::TempDir dir_;
};

const char* const kKey = "SYSTEM\\CurrentControlSet\\Services\\QX ZentDB6";

TEST_F(Registry, WrittenValueReadsBackAsADirectoryPerKeyAndAFilePerValue) {
  ASSERT_EQ(platform::registry_write(RegistryRoot::LocalMachine, kKey, "CommandLine", "-c \"a b\""), 0);
  EXPECT_EQ(read(RegistryRoot::LocalMachine, kKey, "CommandLine"), "-c \"a b\"");
  EXPECT_EQ(testsupport::read_file(machine_root() +
                                   "/SYSTEM/CurrentControlSet/Services/QX ZentDB6/CommandLine"),
            "-c \"a b\"\n");
  EXPECT_EQ(read(RegistryRoot::CurrentUser, kKey, "CommandLine"), "<errno 2>");
}

TEST_F(Registry, NamesComparedWithoutCaseAndTheStoredSpellingKept) {
  ASSERT_EQ(platform::registry_write(RegistryRoot::CurrentUser, "Software\\Q", "BaseDirectory", "/a"), 0);
  ASSERT_EQ(platform::registry_write(RegistryRoot::CurrentUser, "SOFTWARE\\q", "basedirectory", "/b"), 0);
  EXPECT_EQ(read(RegistryRoot::CurrentUser, "software\\Q", "BASEDIRECTORY"), "/b");
  EXPECT_EQ(entries(user_root()), std::vector<std::string>{"Software"});
  EXPECT_EQ(entries(user_root() + "/Software/Q"), std::vector<std::string>{"BaseDirectory"});
}

TEST_F(Registry, ValueFilesWrittenByHandReadWithoutTheirLineFeed) {
  ASSERT_EQ(mkdir(machine_root().c_str(), 0755), 0);
  ASSERT_EQ(mkdir((machine_root() + "/K").c_str(), 0755), 0);
  dir_.write("hklm/K/Base", "/opt/z\n");  // as echo writes it
  dir_.write("hklm/K/Raw", "/raw");
  EXPECT_EQ(read(RegistryRoot::LocalMachine, "K", "base"), "/opt/z");
  EXPECT_EQ(read(RegistryRoot::LocalMachine, "K", "raw"), "/raw");
  // A value that itself ends with a line feed comes back whole.
  ASSERT_EQ(platform::registry_write(RegistryRoot::LocalMachine, "K", "Nl", "x\n"), 0);
  EXPECT_EQ(read(RegistryRoot::LocalMachine, "K", "Nl"), "x\n");
}

TEST_F(Registry, ReplacingLeavesNoTemporaryFilesBehind) {
  for (int k = 0; k < 3; ++k)
    ASSERT_EQ(platform::registry_write(RegistryRoot::LocalMachine, "K", "V", std::to_string(k).c_str()), 0);
  EXPECT_EQ(read(RegistryRoot::LocalMachine, "K", "V"), "2");
  std::vector<std::string> all;
  if (DIR* d = opendir((machine_root() + "/K").c_str())) {
    while (const dirent* e = readdir(d)) all.emplace_back(e->d_name);
    closedir(d);
  }
  EXPECT_EQ(all.size(), 3u);  // ".", ".." and V
}

TEST_F(Registry, BufferThatIsTooSmallIsRefusedNotCut) {
  ASSERT_EQ(platform::registry_write(RegistryRoot::LocalMachine, "K", "V", "12345"), 0);
  EXPECT_EQ(read(RegistryRoot::LocalMachine, "K", "V", 6), "12345");
  EXPECT_EQ(read(RegistryRoot::LocalMachine, "K", "V", 5), "<errno " + std::to_string(ERANGE) + ">");
  EXPECT_EQ(read(RegistryRoot::LocalMachine, "K", "V", 1), "<errno " + std::to_string(ERANGE) + ">");
}

struct BadNameCase {
  const char* name;
  const char* key;
  const char* value;
};

class RegistryBadName : public Registry, public ::testing::WithParamInterface<BadNameCase> {};

TEST_P(RegistryBadName, IsRefusedAndNothingIsWritten) {
  const BadNameCase& c = GetParam();
  errno = 0;
  EXPECT_EQ(platform::registry_write(RegistryRoot::LocalMachine, c.key, c.value, "x"), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(read(RegistryRoot::LocalMachine, c.key, c.value),
            "<errno " + std::to_string(EINVAL) + ">");
  EXPECT_TRUE(entries(dir_.path()).empty());  // not even a root was made
}

INSTANTIATE_TEST_SUITE_P(
    Names, RegistryBadName,
    ::testing::Values(BadNameCase{"KeyUpToParent", "..\\escape", "V"},
                      BadNameCase{"KeyEndsInParent", "K\\..", "V"},
                      BadNameCase{"ValueIsParent", "K", ".."},
                      BadNameCase{"ValueHidden", "K", ".hidden"},
                      BadNameCase{"ValueWithSlash", "K", "a/b"},
                      BadNameCase{"KeyWithSlash", "a/b", "V"},
                      BadNameCase{"KeyEmptyPart", "K\\\\L", "V"},
                      BadNameCase{"KeyEmpty", "", "V"},
                      BadNameCase{"KeyLeadingSeparator", "\\K", "V"},
                      BadNameCase{"ValueEmpty", "K", ""}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(Registry, DeletingValuesAndKeys) {
  ASSERT_EQ(platform::registry_write(RegistryRoot::LocalMachine, "A\\B", "V1", "1"), 0);
  ASSERT_EQ(platform::registry_write(RegistryRoot::LocalMachine, "A\\B", "V2", "2"), 0);
  ASSERT_EQ(platform::registry_write(RegistryRoot::LocalMachine, "A", "Top", "t"), 0);
  EXPECT_EQ(platform::registry_delete_value(RegistryRoot::LocalMachine, "a\\b", "v1"), 0);
  EXPECT_EQ(read(RegistryRoot::LocalMachine, "A\\B", "V1"), "<errno 2>");
  errno = 0;
  EXPECT_EQ(platform::registry_delete_value(RegistryRoot::LocalMachine, "A\\B", "V1"), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(platform::registry_delete_value(RegistryRoot::LocalMachine, "A", "B"), -1);  // a key
  errno = 0;
  EXPECT_EQ(platform::registry_delete_key(RegistryRoot::LocalMachine, "A"), -1);
  EXPECT_EQ(errno, ENOTEMPTY);
  EXPECT_EQ(platform::registry_delete_key(RegistryRoot::LocalMachine, "A\\B"), 0);
  EXPECT_EQ(read(RegistryRoot::LocalMachine, "A\\B", "V2"), "<errno 2>");
  EXPECT_EQ(platform::registry_delete_key(RegistryRoot::LocalMachine, "A"), 0);
  EXPECT_EQ(entries(machine_root()).size(), 0u);
  errno = 0;
  EXPECT_EQ(platform::registry_delete_key(RegistryRoot::LocalMachine, "A"), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(RegistryRoots, DefaultsFollowTheUsersConfigurationDirectory) {
  // Only the names are computed here; nothing below them is touched.
  const char* saved_home = getenv("HOME");
  const std::string home = saved_home ? saved_home : "";
  const char* saved_xdg = getenv("XDG_CONFIG_HOME");
  const std::string xdg = saved_xdg ? saved_xdg : "";
  unsetenv(platform::kRegistryUserEnv);
  unsetenv(platform::kRegistryMachineEnv);
  char buf[256];
  ASSERT_TRUE(platform::registry_root_dir(RegistryRoot::LocalMachine, buf, sizeof buf));
  EXPECT_STREQ(buf, "/etc/zentrim/registry");
  setenv("XDG_CONFIG_HOME", "/xdg", 1);
  ASSERT_TRUE(platform::registry_root_dir(RegistryRoot::CurrentUser, buf, sizeof buf));
  EXPECT_STREQ(buf, "/xdg/zentrim/registry");
  setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
  setenv("HOME", "/home/u", 1);
  ASSERT_TRUE(platform::registry_root_dir(RegistryRoot::CurrentUser, buf, sizeof buf));
  EXPECT_STREQ(buf, "/home/u/.config/zentrim/registry");
  setenv(platform::kRegistryUserEnv, "/override", 1);
  ASSERT_TRUE(platform::registry_root_dir(RegistryRoot::CurrentUser, buf, sizeof buf));
  EXPECT_STREQ(buf, "/override");
  EXPECT_FALSE(platform::registry_root_dir(RegistryRoot::CurrentUser, buf, 5));
  EXPECT_EQ(errno, ENAMETOOLONG);
  unsetenv(platform::kRegistryUserEnv);
  if (saved_xdg) setenv("XDG_CONFIG_HOME", xdg.c_str(), 1); else unsetenv("XDG_CONFIG_HOME");
  if (saved_home) setenv("HOME", home.c_str(), 1); else unsetenv("HOME");
}

}  // namespace
