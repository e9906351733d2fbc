// The daemon's configuration: each key's default and bad values, the share
// and user tables with their re-reading rule, the profile chain and the two
// path mappings.
#include "daemon/daemon_config.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

#include "base/charset.h"
#include "support/log_capture.h"
#include "support/process_runner.h"

namespace {

using zentsd::DaemonConfig;
using zentsd::User;

class Config : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.write("users", "");
    dir_.write("shares", "");
  }
  // Loads a configuration of the given lines plus the two table files.
  int load(const std::string& lines, DaemonConfig* cfg) {
    dir_.write("zentsd.cfg", "[config]\nuserFile = " + dir_.file("users") +
                                 "\nshareFile = " + dir_.file("shares") + "\n" + lines);
    return zentsd::daemon_config_load(dir_.file("zentsd.cfg").c_str(), cfg);
  }
  // Gives path a modification time of its own, so that a rewrite is seen.
  void touch(const std::string& name, long sec) {
    const timespec t[2] = {{sec, 0}, {sec, 0}};
    utimensat(AT_FDCWD, dir_.file(name).c_str(), t, 0);
  }
  testsupport::TempDir dir_;
};

TEST_F(Config, Defaults) {
  DaemonConfig cfg;
  ASSERT_EQ(load("", &cfg), 0);
  EXPECT_EQ(cfg.service, "zentsd");
  EXPECT_EQ(cfg.service_http, "");
  EXPECT_EQ(cfg.use_keep_alive, 1);
  EXPECT_EQ(cfg.timeout, 900);
  EXPECT_EQ(cfg.http_frame, 0);
  EXPECT_EQ(cfg.panic, 0);
  EXPECT_EQ(cfg.lang, "C");
  EXPECT_EQ(cfg.messages, "C");
  EXPECT_EQ(cfg.charset_id, CHARSET_ISO88591);
  EXPECT_EQ(cfg.auth_policy, 1);
  EXPECT_EQ(cfg.log_flags, "*0");
  EXPECT_EQ(cfg.max_users, 40);
  EXPECT_EQ(cfg.max_tasks, 20);
  EXPECT_EQ(cfg.max_remote, 20);
  EXPECT_EQ(cfg.max_file_size, zentsd::kDefaultMaxFileSize);
  EXPECT_EQ(cfg.logon_timeout, 30);
  EXPECT_EQ(cfg.reserved_slots, 32);
}

TEST_F(Config, KeyRows) {
  const struct {
    const char* line;
    const char* bad;  // the bad-value message, or "" when accepted
    bool (*check)(const DaemonConfig&);
  } rows[] = {
      {"timeout = -5", "timeout=\"-5\"", [](const DaemonConfig& c) { return c.timeout == 0; }},
      {"timeout = abc", "timeout=\"abc\"", [](const DaemonConfig& c) { return c.timeout == 0; }},
      {"timeout = 10s", "timeout=\"10s\"", [](const DaemonConfig& c) { return c.timeout == 0; }},
      {"timeout = 99999999999", "timeout=\"99999999999\"", [](const DaemonConfig& c) { return c.timeout == 0; }},
      {"timeout = 0", "", [](const DaemonConfig& c) { return c.timeout == 0; }},
      {"timeout = 30", "", [](const DaemonConfig& c) { return c.timeout == 30; }},
      {"useKeepAlive = 0", "", [](const DaemonConfig& c) { return c.use_keep_alive == 0; }},
      {"useKeepAlive = yes", "useKeepAlive=\"yes\"", [](const DaemonConfig& c) { return c.use_keep_alive == 0; }},
      {"httpFrame = 1", "", [](const DaemonConfig& c) { return c.http_frame == 1; }},
      {"httpFrame = 2", "httpFrame=\"2\"", [](const DaemonConfig& c) { return c.http_frame == 0; }},
      {"panic = dump", "", [](const DaemonConfig& c) { return c.panic == 1; }},
      {"panic = core", "panic=\"core\"", [](const DaemonConfig& c) { return c.panic == 0; }},
      {"charset = latin", "charset=\"latin\"",
       [](const DaemonConfig& c) { return c.charset_id == CHARSET_ISO88591 && c.charset == "default"; }},
      {"charset = NATIVE8", "", [](const DaemonConfig& c) { return c.charset_id == CHARSET_NATIVE8; }},
      {"AuthPolicy = system", "security=\"system\"", [](const DaemonConfig& c) { return c.auth_policy == 1; }},
      {"MaxUsers = 0", "MaxUsers=\"0\"", [](const DaemonConfig& c) { return c.max_users == 40; }},
      {"MaxTasks = 5", "", [](const DaemonConfig& c) { return c.max_tasks == 5; }},
      {"MaxRemote = -1", "MaxRemote=\"-1\"", [](const DaemonConfig& c) { return c.max_remote == 20; }},
      {"tmpDir = /nonexistent/dir", "tmpDir=\"/nonexistent/dir\"", [](const DaemonConfig& c) { return c.tmp_dir.empty(); }},
      {"tmpDir = /etc/hostname", "tmpDir=\"/etc/hostname\"", [](const DaemonConfig& c) { return c.tmp_dir.empty(); }},
      {"tmpDir = /tmp", "", [](const DaemonConfig& c) { return c.tmp_dir == "/tmp"; }},
      {"lang = de", "", [](const DaemonConfig& c) { return c.lang == "de" && c.messages == "de"; }},
      {"maxFileSize = 4096", "", [](const DaemonConfig& c) { return c.max_file_size == 4096; }},
      {"maxFileSize = 0", "maxFileSize=\"0\"", [](const DaemonConfig& c) { return c.max_file_size == zentsd::kDefaultMaxFileSize; }},
      {"logonTimeout = 5", "", [](const DaemonConfig& c) { return c.logon_timeout == 5; }},
      // No deadline at all would give silent connections the slots again.
      {"logonTimeout = 0", "logonTimeout=\"0\"", [](const DaemonConfig& c) { return c.logon_timeout == 30; }},
      {"logonTimeout = 1m", "logonTimeout=\"1m\"", [](const DaemonConfig& c) { return c.logon_timeout == 30; }},
      {"reservedSlots = 0", "", [](const DaemonConfig& c) { return c.reserved_slots == 0; }},
      {"reservedSlots = 125", "", [](const DaemonConfig& c) { return c.reserved_slots == 125; }},
      {"reservedSlots = 126", "reservedSlots=\"126\"", [](const DaemonConfig& c) { return c.reserved_slots == 32; }},
      {"reservedSlots = -1", "reservedSlots=\"-1\"", [](const DaemonConfig& c) { return c.reserved_slots == 32; }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    testsupport::LogCapture log("C0");
    DaemonConfig cfg;
    ASSERT_EQ(load(std::string(row.line) + "\n", &cfg), 0);
    EXPECT_TRUE(row.check(cfg));
    const bool logged = log.contains(std::string("Bad config value: ") + row.bad + " (ignored)");
    if (row.bad[0] == '\0') {
      EXPECT_FALSE(log.contains("Bad config value")) << log.text();
    } else {
      EXPECT_TRUE(logged) << log.text();
    }
  }
}

TEST_F(Config, UnreadableTableFilesFailTheConfiguration) {
  DaemonConfig cfg;
  testsupport::LogCapture log("C0");
  dir_.write("zentsd.cfg", "[config]\nuserFile = " + dir_.file("nothere") + "\nshareFile = " + dir_.file("shares"));
  EXPECT_EQ(zentsd::daemon_config_load(dir_.file("zentsd.cfg").c_str(), &cfg), -1);
  EXPECT_TRUE(log.contains("Unable to open file: \"" + dir_.file("nothere") + "\""));
}

TEST_F(Config, SharesAreReadAgainOnlyWhenTheFileChanged) {
  dir_.write("shares", "[data]\nPath = /srv/data/\nComment = first\nUsers = a, b c\nColour = red\n");
  touch("shares", 1000);
  DaemonConfig cfg;
  testsupport::LogCapture log("C0");
  ASSERT_EQ(load("", &cfg), 0);
  EXPECT_TRUE(log.contains("Unknown configuration entry: \"COLOUR\""));
  const zentsd::Share* s = cfg.shares.Find("Data");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->path, "/srv/data");
  EXPECT_EQ(s->comment, "first");
  EXPECT_EQ(s->users, (std::vector<std::string>{"a", "b", "c"}));

  // Same time: not read again, whatever the file now says.
  dir_.write("shares", "[other]\nPath = /x\n");
  touch("shares", 1000);
  EXPECT_NE(cfg.shares.Find("DATA"), nullptr);
  // A time that differs by one nanosecond is a change.
  const timespec t[2] = {{1000, 1}, {1000, 1}};
  utimensat(AT_FDCWD, dir_.file("shares").c_str(), t, 0);
  EXPECT_EQ(cfg.shares.Find("DATA"), nullptr);
  EXPECT_NE(cfg.shares.Find("other"), nullptr);
  // Gone after a good reading: the shares read before stay.
  remove(dir_.file("shares").c_str());
  EXPECT_NE(cfg.shares.Find("OTHER"), nullptr);
}

TEST_F(Config, PathMappings) {
  dir_.write("shares", "[data]\nPath = C:\\Data\n[root]\nPath = /srv/\n");
  DaemonConfig cfg;
  ASSERT_EQ(load("", &cfg), 0);
  const struct {
    const char* local;
    const char* share;  // nullptr: no share covers it
  } maps[] = {
      {"c:/data/Sub/File.TXT", "DATA/sub/file.txt"},
      {"C:\\Data\\X", "DATA\\x"},
      {"C:\\Database", nullptr},
      {"C:\\Data", nullptr},
      {"/srv/A/B", "ROOT/a/b"},
  };
  for (const auto& m : maps) {
    SCOPED_TRACE(m.local);
    std::string out;
    EXPECT_EQ(cfg.shares.MapPath(m.local, &out), m.share != nullptr);
    if (m.share != nullptr) {
      EXPECT_EQ(out, m.share);
    }
  }
  const struct {
    const char* share;
    const char* local;  // nullptr: unknown share
  } back[] = {
      {"DATA\\Sub", "C:\\Data/sub"},
      {"data/A/B.TXT", "C:\\Data/a/b.txt"},
      {"DATA", "C:\\Data"},
      {"ROOT/x", "/srv/x"},
      {"NONE/x", nullptr},
  };
  for (const auto& m : back) {
    SCOPED_TRACE(m.share);
    std::string out;
    EXPECT_EQ(cfg.shares.ReverseMapPath(m.share, &out), m.local != nullptr);
    if (m.local != nullptr) {
      EXPECT_EQ(out, m.local);
    }
  }
}

TEST_F(Config, ProfileChains) {
  dir_.write("users",
             "[alice]\nName = Alice\nProfile = staff\nAllow = x\nAllow = y\nPassword = hunter2\n"
             "[staff]\nUID = CORP\\staff\nEMail = staff@example\nOptions = o1 o2\nProfile = base\n"
             "[base]\nName = Base\nDeny = d\nUID = base-account\n"
             "[loner]\nName = Loner\n"
             "[default]\nUID = default-account\nProfile = default\n"
             "[selfish]\nProfile = SELFISH\n"
             "[lost]\nProfile = nowhere\n"
             "[ping]\nProfile = pong\n[pong]\nProfile = ping\nEMail = pong@example\n"
             "[blank]\nUID =\n");
  DaemonConfig cfg;
  testsupport::LogCapture log("C3");
  ASSERT_EQ(load("", &cfg), 0);
  EXPECT_TRUE(log.contains("UserCFG: item=\"PASSWORD\", value=\"********\""));
  EXPECT_FALSE(log.contains("hunter2"));
  const struct {
    const char* id;
    const char* name;
    const char* uid;
    const char* email;
    size_t allow, deny, options;
  } rows[] = {
      {"Alice", "Alice", "CORP\\staff", "staff@example", 2, 1, 2},  // through staff and base
      {"loner", "Loner", "default-account", "", 0, 0, 0},          // "default" when no Profile
      {"default", "", "default-account", "", 0, 0, 0},               // its own profile: the chain ends
      {"selfish", "", "", "", 0, 0, 0},                              // names itself
      {"lost", "", "", "", 0, 0, 0},                                 // names no section
      {"ping", "", "", "pong@example", 0, 0, 0},                     // a loop ends where it began
      {"blank", "", "default-account", "", 0, 0, 0},                 // an empty UID is no account
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.id);
    User u;
    ASSERT_TRUE(cfg.users.Lookup(row.id, &u));
    EXPECT_EQ(u.name, row.name);
    EXPECT_EQ(u.uid, row.uid);
    EXPECT_EQ(u.email, row.email);
    EXPECT_EQ(u.allow.size(), row.allow);
    EXPECT_EQ(u.deny.size(), row.deny);
    EXPECT_EQ(u.options.size(), row.options);
  }
  User u;
  EXPECT_FALSE(cfg.users.Lookup("nobody", &u));
}

TEST(ConfigNumbers, WholeNumbersOnly) {
  const struct {
    const char* text;
    bool ok;
    long value;
  } rows[] = {{"0", true, 0},     {"42", true, 42},   {"", false, 0},  {"+1", false, 0},
              {" 1", false, 0},   {"1 ", false, 0},   {"1e3", false, 0}, {"2147483647", true, 2147483647},
              {"2147483648", false, 0}, {"99999999999999999999", false, 0}};
  for (const auto& r : rows) {
    long v = -1;
    EXPECT_EQ(zentsd::parse_number(r.text, 0, 2147483647, &v), r.ok) << r.text;
    if (r.ok) {
      EXPECT_EQ(v, r.value) << r.text;
    }
  }
}

}  // namespace
