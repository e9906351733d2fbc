// Server configuration: one row per key (default, accepted values, bad values
// with their messages and whether they fail), the list sections, and how
// LoadConfig finds, reads and refuses files.
#include "base/server_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "support/log_capture.h"
#include "support/process_runner.h"

namespace {

using Getter = std::function<std::string(const CfgRecord*)>;

std::string str(const char* s) { return s ? s : "(none)"; }

Getter srv_int(int32_t SrvConfig::*field) {
  return [field](const CfgRecord* c) { return std::to_string(c->server->*field); };
}
Getter srv_str(char* SrvConfig::*field) {
  return [field](const CfgRecord* c) { return str(c->server->*field); };
}
Getter lim_int(int32_t SrvLimits::*field) {
  return [field](const CfgRecord* c) { return std::to_string(c->limits->*field); };
}

struct Accepted {
  const char* text;
  const char* stored;
};
struct Bad {
  const char* text;
  const char* message;  // the exact log line text
  bool fails;           // false: logged, the default kept
};

struct KeyCase {
  const char* section;
  const char* key;
  Getter get;
  const char* def;
  std::vector<Accepted> accepted;
  std::vector<Bad> bad;
};

void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.section << "." << c.key; }

class ConfigFile {
 public:
  // The section's key set to value, and one volume so the file is complete.
  CfgRecord* load_with(const char* section, const char* key, const char* value) {
    std::string text = "[Volumes]\nVolume1 = /data/root.vol\n";
    if (section != nullptr) text = std::string("[") + section + "]\n" + key + " = " + value + "\n" + text;
    dir_.write("zentdb6.cfg", text);
    return LoadConfig(dir_.file("zentdb6.cfg").c_str());
  }

 private:
  testsupport::TempDir dir_;
};

class ConfigKeys : public ::testing::TestWithParam<KeyCase> {};

TEST_P(ConfigKeys, DefaultAcceptedAndBadValues) {
  const KeyCase& c = GetParam();
  ConfigFile file;
  {
    CfgRecord* cfg = file.load_with(nullptr, nullptr, nullptr);
    ASSERT_NE(cfg, nullptr);
    EXPECT_EQ(c.get(cfg), c.def) << "default";
    FreeConfig(cfg);
  }
  for (const Accepted& a : c.accepted) {
    testsupport::LogCapture log("A2");
    CfgRecord* cfg = file.load_with(c.section, c.key, a.text);
    ASSERT_NE(cfg, nullptr) << a.text << "\n" << log.text();
    EXPECT_EQ(c.get(cfg), a.stored) << a.text;
    FreeConfig(cfg);
    EXPECT_FALSE(log.contains("Configuration problem detected.")) << log.text();
  }
  for (const Bad& b : c.bad) {
    testsupport::LogCapture log("A2");
    CfgRecord* cfg = file.load_with(c.section, c.key, b.text);
    EXPECT_TRUE(log.contains(std::string(": ") + b.message + "\n")) << b.text << "\n" << log.text();
    if (b.fails) {
      EXPECT_EQ(cfg, nullptr) << b.text;
      EXPECT_TRUE(log.contains("A0: Configuration problem detected.\n")) << log.text();
    } else {
      ASSERT_NE(cfg, nullptr) << b.text;
      EXPECT_EQ(c.get(cfg), c.def) << b.text;
    }
    FreeConfig(cfg);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Server, ConfigKeys,
    ::testing::Values(
        KeyCase{"Server", "Service", srv_str(&SrvConfig::service), "zentdb",
                {{"7820", "7820"}, {"zentdb-alt", "zentdb-alt"}},
                {{"", "No value specified for Service", true}}},
        KeyCase{"Server", "ServiceHTTP", srv_str(&SrvConfig::service_http), "",
                {{"8080", "8080"}},
                {{"", "No value specified for ServiceHTTP", true}}},
        KeyCase{"Server", "Timeout", srv_int(&SrvConfig::timeout), "0",
                {{"30", "30"}, {"2147483", "2147483"}, {"abc", "0"}},
                {{"-1", "Bad value specified for Timeout: \"-1\"", true},
                 {"2147484", "Bad value specified for Timeout: \"2147484\"", true}}},
        KeyCase{"Server", "UseKeepAlive", srv_int(&SrvConfig::use_keep_alive), "1",
                {{"0", "0"}, {"2147483647", "2147483647"}},
                {{"-5", "Bad value specified for UseKeepAlive: \"-5\"", true},
                 {"2147483648", "Bad value specified for UseKeepAlive: \"2147483648\"", true}}},
        KeyCase{"Server", "NoDNS", srv_int(&SrvConfig::no_dns), "0", {{"1", "1"}},
                {{"-1", "Bad value specified for NoDNS: \"-1\"", true}}},
        KeyCase{"Server", "Panic", srv_int(&SrvConfig::panic), "1",
                {{"exit", "2"}, {"DUMP", "3"}, {"Restart", "1"}},
                {{"reboot", "Unknown Panic value ignored: \"reboot\"", false}}},
        KeyCase{"Server", "EnableIPC", srv_int(&SrvConfig::enable_ipc), "0", {{"1", "1"}},
                {{"-1", "Bad value specified for EnableIPC: \"-1\"", true}}},
        KeyCase{"Server", "DisableScan", srv_int(&SrvConfig::disable_scan), "0", {{"1", "1"}},
                {{"-1", "Bad value specified for DisableScan: \"-1\"", true}}},
        KeyCase{"Server", "SyncMode", srv_int(&SrvConfig::sync_mode), "1", {{"0", "0"}, {"2", "2"}},
                {{"-1", "Bad value specified for SyncMode: \"-1\"", true}}},
        KeyCase{"Server", "LogFile", srv_str(&SrvConfig::log_file), "(none)",
                {{"/var/log/zentdb6.log", "/var/log/zentdb6.log"}, {"SYSLOG", "SYSLOG"}},
                {{"", "No value specified for LogFile", true}}},
        KeyCase{"Server", "LogFlags", srv_str(&SrvConfig::log_flags), "(none)",
                {{"*1V3", "*1V3"}, {"", ""}}, {}},
        KeyCase{"Server", "HTTPFrame", srv_int(&SrvConfig::http_frame), "0",
                {{"5", "1"}, {"0", "0"}},
                {{"-1", "Bad HTTPFrame value: \"-1\"", true}}},
        KeyCase{"Server", "HTTPUser", srv_str(&SrvConfig::http_user), "(none)",
                {{"admin", "admin"}, {"", ""}}, {}},
        KeyCase{"Server", "HTTPPswd", srv_str(&SrvConfig::http_pswd), "(none)",
                {{"secret", "secret"}, {"", ""}}, {}},
        KeyCase{"Server", "Charset",
                [](const CfgRecord* c) {
                  return std::to_string(c->server->charset) + " " + str(c->server->charset_name);
                },
                "1 ISO8859/1",
                {{"iso-8859-1", "1 ISO8859/1"}, {"native8", "0 QXNATIVE8"}},
                {{"latin", "Bad config value: charset=\"latin\"", true},
                 {"", "Bad config value: charset=\"\"", true}}},
        KeyCase{"Server", "Unheard", srv_str(&SrvConfig::service), "zentdb", {},
                {{"1", "ServerConfig: Unknown configuration entry ignored: \"UNHEARD\"", false}}}),
    [](const auto& param_info) { return std::string(param_info.param.key); });

INSTANTIATE_TEST_SUITE_P(
    Config, ConfigKeys,
    ::testing::Values(
        KeyCase{"Config", "Threads", lim_int(&SrvLimits::threads), "40",
                {{"0", "40"}, {"abc", "40"}, {"12", "12"}, {"  7 threads", "7"}},
                {{"-1", "Bad number of threads: \"-1\"", true},
                 {"2147483642", "Bad number of threads: \"2147483642\"", true}}},
        KeyCase{"Config", "IOThreads", lim_int(&SrvLimits::io_threads), "4",
                {{"0", "0"}, {"8", "8"}},
                {{"9", "Bad number of i/o threads: \"9\"", true},
                 {"-1", "Bad number of i/o threads: \"-1\"", true}}},
        KeyCase{"Config", "IOQueueSize", lim_int(&SrvLimits::io_queue_size), "0",
                {{"0", "0"}, {"16", "16"}, {"256", "256"}},
                {{"8", "Bad i/o size: \"8\"", true}, {"257", "Bad i/o size: \"257\"", true}}},
        KeyCase{"Config", "IOUseThreadLoad", lim_int(&SrvLimits::io_use_thread_load), "0",
                {{"1", "1"}},
                {{"-1", "Bad value specified for IOUseThreadLoad: \"-1\"", true}}},
        KeyCase{"Config", "BufferCache", lim_int(&SrvLimits::buffer_cache), "5",
                {{"0", "5"}, {"64", "64"}, {"16777215", "16777215"}},
                {{"-1", "Bad buffer cache size: \"-1\"", true},
                 // x 128 pages no longer fits in 32 bits
                 {"16777216", "Bad buffer cache size: \"16777216\"", true},
                 {"99999999999999999999999",
                  "Bad buffer cache size: \"9223372036854775807\"", true}}},
        KeyCase{"Config", "CheckPtFreq", lim_int(&SrvLimits::checkpt_freq), "60",
                {{"0", "60"}, {"30", "30"}},
                {{"-1", "Bad checkpoint frequency: \"-1\"", true},
                 {"2147484", "Bad checkpoint frequency: \"2147484\"", true}}},
        KeyCase{"Config", "CheckPtSize", lim_int(&SrvLimits::checkpt_size), "10",
                {{"0", "0"}, {"100", "100"}, {"16777215", "16777215"}},
                {{"-1", "Bad checkpoint log size: \"-1\"", true},
                 // x 128 pages for the log-size limit no longer fits in 32 bits
                 {"33554432", "Bad checkpoint log size: \"33554432\"", true},
                 {"16777216", "Bad checkpoint log size: \"16777216\"", true}}},
        KeyCase{"Config", "SyncerFreq", lim_int(&SrvLimits::syncer_freq), "5",
                {{"0", "5"}, {"1", "1"}},
                {{"-2", "Bad syncer frequency: \"-2\"", true}}},
        KeyCase{"Config", "SyncerNSync", lim_int(&SrvLimits::syncer_nsync), "0", {{"3", "3"}},
                {{"-1", "Bad syncer count: \"-1\"", true}}},
        KeyCase{"Config", "LockConflictingItems", lim_int(&SrvLimits::lock_conflicting_items), "0",
                {{"7", "1"}, {"0", "0"}},
                {{"-1", "Bad LockConflictingItems value: \"-1\"", true}}},
        KeyCase{"Config", "AllowSecondaryBlockingLock",
                lim_int(&SrvLimits::allow_secondary_blocking_lock), "0", {{"2", "1"}},
                {{"-1", "Bad AllowSecondaryBlockingLock value: \"-1\"", true}}},
        KeyCase{"Config", "UseLargeFileMode", lim_int(&SrvLimits::use_large_file_mode), "0",
                {{"1", "1"}},
                {{"-1", "Bad value specified for UseLargeFileMode: \"-1\"", true}}},
        KeyCase{"Config", "VnodeCache", lim_int(&SrvLimits::threads), "40", {},
                {{"100", "NOTE: Obsolete configuration item: \"VnodeCache\"", false}}},
        KeyCase{"Config", "VbufElements", lim_int(&SrvLimits::threads), "40", {},
                {{"100", "NOTE: Obsolete configuration item: \"VbufElements\"", false}}},
        KeyCase{"Config", "SyncerMinFree", lim_int(&SrvLimits::threads), "40", {},
                {{"100", "NOTE: Obsolete configuration item: \"SyncerMinFree\"", false}}},
        KeyCase{"Config", "SyncerNFlush", lim_int(&SrvLimits::threads), "40", {},
                {{"100", "NOTE: Obsolete configuration item: \"SyncerNFlush\"", false}}},
        KeyCase{"Config", "HTTPFrame",
                [](const CfgRecord* c) { return std::to_string(c->server->http_frame); }, "0", {},
                {{"-1", "NOTE: Obsolete configuration item: \"HTTPFrame\"", false}}},
        KeyCase{"Config", "Unheard", lim_int(&SrvLimits::threads), "40", {},
                {{"1", "GetLimits: Unknown configuration entry ignored: \"UNHEARD\"", false}}}),
    [](const auto& param_info) { return std::string(param_info.param.key); });

struct LogModeCase {
  const char* log_file;  // none: not set
  int mode;
};

class LogMode : public ::testing::TestWithParam<LogModeCase> {};

TEST_P(LogMode, DerivedFromLogFile) {
  ConfigFile file;
  CfgRecord* cfg = GetParam().log_file ? file.load_with("Server", "LogFile", GetParam().log_file)
                                        : file.load_with(nullptr, nullptr, nullptr);
  ASSERT_NE(cfg, nullptr);
  EXPECT_EQ(cfg->server->log_mode, GetParam().mode);
  FreeConfig(cfg);
}

INSTANTIATE_TEST_SUITE_P(Modes, LogMode,
                         ::testing::Values(LogModeCase{"Console", CFG_LOG_CONSOLE},
                                           LogModeCase{"SYSLOG", CFG_LOG_SYSLOG},
                                           LogModeCase{"/tmp/z.log", CFG_LOG_FILE},
                                           LogModeCase{nullptr, CFG_LOG_FILE}),
                         [](const auto& param_info) {
                           const char* f = param_info.param.log_file;
                           return std::string(f == nullptr ? "NotSet"
                                              : f[0] == '/' ? "FilePath"
                                                            : f);
                         });

class LoadConfigTest : public ::testing::Test {
 protected:
  CfgRecord* load(const std::string& text) {
    dir_.write("zentdb6.cfg", text);
    return LoadConfig(dir_.file("zentdb6.cfg").c_str());
  }
  testsupport::TempDir dir_;
};

TEST_F(LoadConfigTest, BadValueFailsOnlyAfterTheWholeFileWasReadAndLogged) {
  testsupport::LogCapture log("A2");
  EXPECT_EQ(load("[Server]\nTimeout = -1\nService = late\n[Config]\nThreads = 3\n"
                 "[Volumes]\nV1 = /v1\n[Devices]\nD1 = /dev/x\n"),
            nullptr);
  const std::string text = log.text();
  const size_t bad = text.find("Bad value specified for Timeout");
  ASSERT_NE(bad, std::string::npos) << text;
  for (const char* later : {"ServerConfig: item=\"SERVICE\", value=\"late\"",
                            "GetLimits: item=\"THREADS\", value=\"3\"",
                            "VolumeList: item=\"V1\", value=\"/v1\"",
                            "DeviceList: item=\"D1\", value=\"/dev/x\"",
                            "Configuration problem detected."})
    EXPECT_GT(text.find(later), bad) << later << "\n" << text;
}

TEST_F(LoadConfigTest, TheStatusPagePasswordIsLoggedMasked) {
  testsupport::LogCapture log("A2");
  CfgRecord* cfg = load("[Server]\nHTTPUser = admin\nhttppswd = Sw0rdfish\n[Volumes]\n");
  ASSERT_NE(cfg, nullptr);
  EXPECT_STREQ(cfg->server->http_pswd, "Sw0rdfish");
  EXPECT_TRUE(log.contains("ServerConfig: item=\"HTTPPSWD\", value=\"********\""));
  EXPECT_TRUE(log.contains("ServerConfig: item=\"HTTPUSER\", value=\"admin\""));
  EXPECT_FALSE(log.contains("Sw0rdfish")) << log.text();
  FreeConfig(cfg);
}

TEST_F(LoadConfigTest, ListsKeepFileOrderAndSkipEmptyValues) {
  testsupport::LogCapture log("A2");
  CfgRecord* cfg = load("[Volumes]\nRoot = /v/root\nEmpty =\nlog1 = /v/log\n[Server]\n");
  ASSERT_NE(cfg, nullptr);
  ASSERT_EQ(cfg->volumes->count, 2);
  EXPECT_STREQ(cfg->volumes->items[0].item, "ROOT");
  EXPECT_STREQ(cfg->volumes->items[0].value, "/v/root");
  EXPECT_STREQ(cfg->volumes->items[1].item, "LOG1");
  EXPECT_STREQ(cfg->volumes->items[1].value, "/v/log");
  EXPECT_TRUE(log.contains("A1: VolumeList: Bad configuration entry ignored: \"EMPTY\"\n"));
  ASSERT_NE(cfg->devices, nullptr);
  EXPECT_EQ(cfg->devices->count, 0);
  EXPECT_STREQ(cfg->path, dir_.file("zentdb6.cfg").c_str());
  FreeConfig(cfg);
}

TEST_F(LoadConfigTest, MissingVolumesSectionGivesAnEmptyList) {
  CfgRecord* cfg = load("[Server]\nService = 1\n");
  ASSERT_NE(cfg, nullptr);
  EXPECT_EQ(cfg->volumes->count, 0);
  FreeConfig(cfg);
}

TEST_F(LoadConfigTest, DevicesNeedAbsolutePaths) {
  testsupport::LogCapture log("A1");
  CfgRecord* cfg = load(
      "[Volumes]\nV=/v\n[Devices]\nlinux = /dev/sdb\nunc = //server/share\n"
      "unc2 = \\\\server\\share\ndrive = C:\\tape\nlower = d:\nrel = tapes/one\n"
      "nocolon = C\\tape\npipe = |gzip > /backup\n");
  ASSERT_NE(cfg, nullptr);
  ASSERT_EQ(cfg->devices->count, 6);
  const char* expected[] = {"/dev/sdb", "//server/share", "\\\\server\\share", "C:\\tape", "d:",
                            "|gzip > /backup"};
  for (int k = 0; k < 6; ++k) EXPECT_STREQ(cfg->devices->items[k].value, expected[k]);
  EXPECT_TRUE(log.contains("A1: DeviceList: Configuration entry ignored: \"REL\"\n"));
  EXPECT_TRUE(log.contains("A1: DeviceList: Configuration entry ignored: \"NOCOLON\"\n"));
  EXPECT_TRUE(log.contains("A1: An absolute path must be specified.\n"));
  FreeConfig(cfg);
}

TEST_F(LoadConfigTest, MissingFileIsReportedWithTheSystemText) {
  testsupport::LogCapture log("A0");
  const std::string path = dir_.file("absent.cfg");
  EXPECT_EQ(LoadConfig(path.c_str()), nullptr);
  EXPECT_TRUE(log.contains("A0: Unable to open config file.\n")) << log.text();
  EXPECT_TRUE(log.contains("A0: " + path + ": No such file or directory\n")) << log.text();
}

TEST_F(LoadConfigTest, OverlongPathIsRefusedNotCut) {
  testsupport::LogCapture log("A0");
  // The first 1023 characters name a file that exists; the path itself is
  // longer, so it must not be opened.
  std::string rel;
  while (dir_.path().size() + 1 + rel.size() + 200 < kConfigPathSize - 1) {
    rel += std::string(199, 'd') + "/";
    mkdir(dir_.file(rel).c_str(), 0755);
  }
  rel += std::string(kConfigPathSize - 1 - dir_.path().size() - 1 - rel.size(), 'c');
  dir_.write(rel, "[Volumes]\nV=/v\n");
  const std::string path = dir_.file(rel);
  ASSERT_EQ(path.size(), static_cast<size_t>(kConfigPathSize - 1));
  EXPECT_EQ(LoadConfig((path + "x").c_str()), nullptr);
  EXPECT_TRUE(log.contains(": File name too long\n")) << log.text();
  CfgRecord* cfg = LoadConfig(path.c_str());
  EXPECT_NE(cfg, nullptr);
  FreeConfig(cfg);
}

// Without a path the file is zentdb6.cfg in the installation's etc directory.
class DefaultPath : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv(platform::kRegistryUserEnv, (dir_.path() + "/hkcu").c_str(), 1);
    setenv(platform::kRegistryMachineEnv, (dir_.path() + "/hklm").c_str(), 1);
  }
  void TearDown() override {
    unsetenv(platform::kRegistryUserEnv);
    unsetenv(platform::kRegistryMachineEnv);
  }
  testsupport::TempDir dir_;
};

TEST_F(DefaultPath, ReadsZentdb6CfgFromTheEtcDirectory) {
  const char* key = "SOFTWARE\\Quorvix\\QX Zentrim\\Directories";
  ASSERT_EQ(platform::registry_write(platform::RegistryRoot::LocalMachine, key, "BaseDirectory",
                                     dir_.path().c_str()),
            0);
  mkdir(dir_.file("etc").c_str(), 0755);
  dir_.write("etc/zentdb6.cfg", "[Volumes]\nV = /from/etc\n");
  CfgRecord* cfg = LoadConfig(nullptr);
  ASSERT_NE(cfg, nullptr);
  EXPECT_EQ(std::string(cfg->path), dir_.path() + "/etc/zentdb6.cfg");
  ASSERT_EQ(cfg->volumes->count, 1);
  EXPECT_STREQ(cfg->volumes->items[0].value, "/from/etc");
  FreeConfig(cfg);
}

TEST_F(DefaultPath, EtcDirectoryTooLongForThePathIsRefused) {
  testsupport::LogCapture log("A0");
  const char* key = "SOFTWARE\\Quorvix\\QX Zentrim\\Directories";
  const std::string etc = "/" + std::string(1015, 'e');  // fits, but not with "/zentdb6.cfg"
  ASSERT_EQ(platform::registry_write(platform::RegistryRoot::CurrentUser, key, "etc", etc.c_str()),
            0);
  EXPECT_EQ(LoadConfig(nullptr), nullptr);
  EXPECT_TRUE(log.contains(": File name too long\n")) << log.text();
}

TEST(ConfigNumber, ReadsLikeTheFileFormatSays) {
  long v = -1;
  EXPECT_TRUE(ConfigNumber("  \t42abc", &v));
  EXPECT_EQ(v, 42);
  EXPECT_TRUE(ConfigNumber("abc", &v));
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(ConfigNumber("-17", &v));
  EXPECT_EQ(v, -17);
  EXPECT_TRUE(ConfigNumber("+5", &v));
  EXPECT_EQ(v, 5);
  EXPECT_FALSE(ConfigNumber("-99999999999999999999", &v));
  EXPECT_EQ(v, LONG_MIN);
}

}  // namespace
