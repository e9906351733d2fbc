// The session daemon's protocol with a real account: logon through PAM,
// the requests that need a logon, the start of zentcore as the user, and
// the file services beneath a share. Each test makes a throwaway account
// and so needs root (CI runs as root); elsewhere it is skipped, saying so.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "daemon/daemon_fixture.h"
#include "support/logon_cipher.h"
#include "support/process_runner.h"
#include "support/throwaway_account.h"

namespace {

namespace fs = std::filesystem;
using testsupport::PayloadWriter;
using testsupport::ProcessResult;
using testsupport::ZentsdEntry;
using testsupport::ZentsdReply;

class Logon : public testsupport::DaemonFixture {
 protected:
  void SetUp() override {
    DaemonFixture::SetUp();
    if (!account_.ok()) GTEST_SKIP() << account_.why();
  }
  // A user file whose user "tester" logs on as the throwaway account.
  void users(const std::string& text) { write("etc/zentsd.user", text); }
  void standard_users() { users("[tester]\nUID = " + account_.name() + "\n"); }
  // A share DATA owned by the account.
  void share() {
    fs::create_directories(path("data"));
    chown(path("data").c_str(), account_.uid(), account_.gid());
    write("etc/zentsd.share", "[data]\nPath = " + path("data") + "/\nComment = test data\n");
  }
  void own(const std::string& rel, mode_t mode = 0644) {
    chown(path(rel).c_str(), account_.uid(), account_.gid());
    chmod(path(rel).c_str(), mode);
  }
  bool logged_on() {
    if (!start() || !startup()) return false;
    const ZentsdReply r = client_.logon("tester", account_.password());
    if (r.status == 0) return true;
    ADD_FAILURE() << "logon: " << r.text << "\n" << finish().err;
    return false;
  }
  testsupport::ThrowawayAccount account_;
};

TEST_F(Logon, LogonRows) {
  users("[tester]\nUID = " + account_.name() +
        "\n[viaprofile]\nProfile = staff\n[staff]\nUID = " + account_.name() +
        "\n[selfish]\nProfile = selfish\n[lost]\nProfile = nowhere\n");
  const std::string right = account_.password();
  const struct {
    const char* what;
    const char* user;
    std::string password;
    int status;
    const char* text;
  } rows[] = {
      {"unknown id", "nobody", right, 2, "Authorization failed: Unknown user id"},
      {"wrong password", "tester", "wrong", 2, "Logon failure: unknown user name or bad password."},
      {"right password", "tester", right, 0, ""},
      {"id in another case", "TESTER", right, 0, ""},
      {"account from a profile", "viaprofile", right, 0, ""},
      {"a profile naming the user itself gives nothing", "selfish", right, 2,
       "Logon failure: unknown user name or bad password."},
      {"a profile naming no section gives nothing", "lost", right, 2,
       "Logon failure: unknown user name or bad password."},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_TRUE(start());
    ASSERT_TRUE(startup());
    const ZentsdReply r = client_.logon(row.user, row.password);
    ASSERT_EQ(r.got, 1);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.text, row.text);
    finish();
  }
}

TEST_F(Logon, DefaultSectionThenConfiguredAccount) {
  // No UID and no Profile: the section "default" gives the account; the
  // configured DefaultUID applies only when no profile gives one.
  users("[plain]\nName = Plain\n[default]\nUID = " + account_.name() + "\n");
  config_extra = "DefaultUID = nosuchaccount\n";
  ASSERT_TRUE(start());
  ASSERT_TRUE(startup());
  EXPECT_EQ(client_.logon("plain", account_.password()).status, 0);
  finish();

  users("[plain]\nName = Plain\n");
  config_extra = "DefaultUID = " + account_.name() + "\n";
  ASSERT_TRUE(start());
  ASSERT_TRUE(startup());
  EXPECT_EQ(client_.logon("plain", account_.password()).status, 0);
  finish();
}

TEST_F(Logon, DomainAccountGoesToPamWhole) {
  users("[tester]\nUID = CORP\\" + account_.name() + "\n");
  ASSERT_TRUE(start());
  ASSERT_TRUE(startup());
  EXPECT_EQ(client_.logon("tester", account_.password()).status, 2);
  const ProcessResult done = finish();
  EXPECT_NE(done.err.find("User CORP\\" + account_.name() + " failed to logon at"), std::string::npos)
      << done.err;
  EXPECT_NE(done.err.find("errno 1326: Logon failure: unknown user name or bad password."),
            std::string::npos);
}

TEST_F(Logon, RequestsAfterLogon) {
  standard_users();
  ASSERT_TRUE(logged_on());
  const struct {
    testsupport::Bytes request;
    const char* text;
  } rows[] = {
      {testsupport::req_plain(1), "ProtocolRegister::Execute - not available yet"},
      {testsupport::req_string(11, "x"), "ProtocolAuthZentd::Execute - not available yet"},
      {PayloadWriter(true).raw(testsupport::req_start(21, "", {}, {})).str("x").bytes(),
       "ProtocolDlgSrv::Execute - not implemented yet"},
      {PayloadWriter(true).u16(22).str("cmd").u16(0).u16(0).str("x").bytes(),
       "ProtocolRExec::Execute - not implemented yet"},
      {testsupport::req_string(30, "topic"), "ProtocolDDE::Execute - not implemented yet"},
      {testsupport::req_plain(40), "ProtocolHostList::Execute - not implemented yet"},
      {PayloadWriter(true).u16(41).u32(7).bytes(), "ProtocolPsList::Execute - not implemented yet"},
      {PayloadWriter(true).u16(50).u32(1).u32(2).bytes(), "ProtocolAttach::Execute - not implemented yet"},
      {testsupport::req_string(62, "DATA/x"), "FileStat - not implemented yet"},
  };
  for (const auto& row : rows) {
    const ZentsdReply r = client_.call(row.request);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.text, row.text);
  }
  // The limit is 0x100000 now: a 300-byte no-op is served.
  testsupport::Bytes big = testsupport::req_plain(0);
  big.resize(300, 'x');
  EXPECT_EQ(client_.call(big).status, 0);
  finish();
}

// A report of the stand-in zentcore, read after the start's reply.
std::string zentcore_report(testsupport::ZentsdClient& client) {
  const char go = 'g';
  if (!client.send_raw(&go, 1)) return {};
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n = recv(client.fd(), buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

TEST_F(Logon, StartRunsZentcoreAsTheUserWithOnlyItsDescriptors) {
  standard_users();
  fs::create_directories(path("work"));
  own("work", 0700);
  ASSERT_TRUE(logged_on());
  const ZentsdReply r = client_.call(testsupport::req_start(
      20, path("work"), {"one", "two words"}, {"ZT_NEW=1", "path=/custom", "=ignored", "noequals"}));
  ASSERT_EQ(r.got, 1);
  ASSERT_EQ(r.status, 0) << r.text;
  const std::string report = zentcore_report(client_);
  const std::string u = std::to_string(account_.uid());
  const std::string g = std::to_string(account_.gid());
  EXPECT_NE(report.find("uids=" + u + "," + u + "," + u + "\n"), std::string::npos) << report;
  EXPECT_NE(report.find("gids=" + g + "," + g + "," + g + "\n"), std::string::npos) << report;
  EXPECT_NE(report.find(std::to_string(account_.extra_gid())), std::string::npos) << report;
  EXPECT_NE(report.find("setuid0=-1,1\n"), std::string::npos) << "root cannot be taken back";
  EXPECT_NE(report.find("cwd=" + path("work") + "\n"), std::string::npos) << report;
  EXPECT_NE(report.find("argv=" + path("bin") + "/zentcore\nargv=one\nargv=two words\n"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("env=ZT_NEW=1\n"), std::string::npos) << report;
  EXPECT_NE(report.find("env=path=/custom\n"), std::string::npos) << report;
  EXPECT_EQ(report.find("env=PATH="), std::string::npos) << "replaced without regard to case";
  EXPECT_EQ(report.find("ignored"), std::string::npos);
  EXPECT_EQ(report.find("noequals"), std::string::npos);
  // The account's variables and the client's, nothing of the daemon's own.
  std::vector<std::string> env;
  for (size_t at = report.find("env="); at != std::string::npos; at = report.find("\nenv=", at + 1)) {
    const size_t from = report[at] == '\n' ? at + 5 : at + 4;
    env.push_back(report.substr(from, report.find('\n', from) - from));
  }
  std::sort(env.begin(), env.end());
  const std::vector<std::string> want = {"HOME=/nonexistent", "LOGNAME=" + account_.name(),
                                         "SHELL=/usr/sbin/nologin", "USER=" + account_.name(),
                                         "ZT_NEW=1", "path=/custom"};
  EXPECT_EQ(env, want) << report;
  EXPECT_NE(report.find("stdio=/dev/null,/dev/null,/dev/null\n"), std::string::npos)
      << "its output is its own, not the daemon's log\n"
      << report;
  const size_t sock_at = report.find("sock=");
  ASSERT_NE(sock_at, std::string::npos);
  const std::string sock = report.substr(sock_at + 5, report.find('\n', sock_at) - sock_at - 5);
  EXPECT_NE(report.find("fds=0,1,2," + sock + "\n"), std::string::npos) << report;
  EXPECT_NE(report.find("blocked=0\nhandled=0\n"), std::string::npos) << report;
  const ProcessResult done = finish();
  EXPECT_EQ(done.exit_status, 0) << done.err;
  EXPECT_NE(done.err.find("command=\"" + path("bin") + "/zentcore\" \"one\" \"two words\""),
            std::string::npos)
      << done.err;
  EXPECT_NE(done.err.find("zentcore process id = "), std::string::npos);
}

// The words of a line "Name:\t..." of /proc/pid/status, one blank between.
std::string proc_status(pid_t pid, const std::string& name) {
  const std::string status = testsupport::read_file("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("\n" + name + ":");
  if (at == std::string::npos) return "?";
  std::istringstream in(status.substr(at + name.size() + 2, status.find('\n', at + 1) - at - name.size() - 2));
  std::string out, word;
  while (in >> word) out += (out.empty() ? "" : " ") + word;
  return out;
}

// The effective uid in /proc/pid/status.
long effective_uid(pid_t pid) {
  std::istringstream in(proc_status(pid, "Uid"));
  long real = -1, effective = -1;
  in >> real >> effective;
  return effective;
}

TEST_F(Logon, HandlerIsTheUserForGoodOnceLoggedOn) {
  standard_users();
  share();
  ASSERT_TRUE(start());
  ASSERT_TRUE(startup());
  EXPECT_EQ(proc_status(handler_, "Uid"), "0 0 0 0") << "root until a logon";
  ASSERT_EQ(client_.logon("tester", account_.password()).status, 0);
  const std::string u = std::to_string(account_.uid());
  const std::string g = std::to_string(account_.gid());
  EXPECT_EQ(proc_status(handler_, "Uid"), u + " " + u + " " + u + " " + u);
  EXPECT_EQ(proc_status(handler_, "Gid"), g + " " + g + " " + g + " " + g);
  std::istringstream groups(proc_status(handler_, "Groups"));
  std::vector<gid_t> got{std::istream_iterator<gid_t>(groups), std::istream_iterator<gid_t>()};
  std::sort(got.begin(), got.end());
  std::vector<gid_t> want{account_.gid(), account_.extra_gid()};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(got, want);
  for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"})
    EXPECT_EQ(proc_status(handler_, set), "0000000000000000") << set;
  EXPECT_EQ(proc_status(handler_, "NoNewPrivs"), "0") << "zentcore may still run set-uid programs";
  EXPECT_EQ(client_.call(testsupport::req_plain(60)).status, 0) << "still serves the user";

  // Another logon would need root again: refused, and the first one ended.
  const ZentsdReply r = client_.logon("tester", account_.password());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.text, "A required privilege is not held by the client.");
  EXPECT_EQ(client_.call(testsupport::req_plain(60)).text, "Sorry, you are not authorized");
  EXPECT_EQ(client_.call(testsupport::req_start(20, "", {}, {})).text, "Sorry, you are not authorized");
  const ProcessResult done = finish();
  EXPECT_EQ(done.exit_status, 0);
  EXPECT_NE(done.err.find("errno 1314: A required privilege is not held by the client."), std::string::npos)
      << done.err;
  EXPECT_EQ(done.err.find("Unable to return"), std::string::npos) << done.err;
}

TEST_F(Logon, StartHandsTheEntryToZentcoreUntilItEnds) {
  standard_users();
  ASSERT_TRUE(logged_on());
  ASSERT_TRUE(daemon_.wait_for("Child process " + std::to_string(handler_) + " logged on: user tester, account " +
                               account_.name()));
  ASSERT_EQ(client_.call(testsupport::req_start(20, "", {}, {})).status, 0);
  ASSERT_EQ(daemon_.reaped_status(handler_), 0);  // the handler has ended
  const std::string log = daemon_.log();
  const size_t at = log.find("zentcore process id = ");
  ASSERT_NE(at, std::string::npos) << log;
  const pid_t zentcore = atoi(log.c_str() + at + 22);
  EXPECT_NE(log.find("Replaced handle "), std::string::npos) << log;
  const std::string removed = "Removed child process " + std::to_string(zentcore);
  EXPECT_EQ(log.find(removed), std::string::npos) << "watched while it runs";
  EXPECT_EQ(testsupport::children_of(daemon_.pid()).size(), 1u) << "zentcore came back to the daemon";
  EXPECT_NE(zentcore_report(client_).find("end"), std::string::npos);
  EXPECT_TRUE(daemon_.wait_for(removed));
  EXPECT_EQ(daemon_.log().find("RAW LINE FROM ZENTCORE"), std::string::npos) << "zentcore cannot write the log";
  EXPECT_EQ(daemon_.reaped_status(zentcore), 0) << "reaped by the daemon";
  EXPECT_TRUE(testsupport::children_of(daemon_.pid()).empty());
}

TEST_F(Logon, ServingInTheListeningProcessGoesBackToItsOwnIdentity) {
  standard_users();
  daemon_extra = {"-f"};
  ASSERT_TRUE(logged_on());
  EXPECT_EQ(effective_uid(daemon_.pid()), static_cast<long>(account_.uid()));
  finish();
  // Back to its own identity before the next accept.
  ASSERT_TRUE(start());
  ASSERT_TRUE(startup());  // accepted, so the first connection is done
  EXPECT_EQ(effective_uid(daemon_.pid()), 0);
  EXPECT_EQ(client_.call(testsupport::req_plain(60)).text, "Sorry, you are not authorized");
  finish();
  EXPECT_EQ(daemon_.stop().exit_status, 0);
}

TEST_F(Logon, StartInTheBinDirectoryAndFailedStarts) {
  standard_users();
  ASSERT_TRUE(logged_on());
  ASSERT_EQ(client_.call(testsupport::req_start(20, "", {}, {})).status, 0);
  const std::string report = zentcore_report(client_);
  EXPECT_NE(report.find("cwd=" + path("bin") + "\n"), std::string::npos);
  EXPECT_NE(report.find("env=PATH=/usr/local/bin:/usr/bin:/bin\n"), std::string::npos) << report;
  finish();

  // A working directory the user may not enter: an error, and the handler
  // exits with status 1.
  fs::create_directories(path("closed"));
  chmod(path("closed").c_str(), 0700);
  ASSERT_TRUE(logged_on());
  ZentsdReply r = client_.call(testsupport::req_start(20, path("closed"), {}, {}));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.text, "Permission denied");
  ProcessResult done = finish();
  EXPECT_EQ(done.exit_status, 1);
  EXPECT_NE(done.err.find("Unable to start zentcore, errno 13: Permission denied"), std::string::npos)
      << done.err;

  // No program in the bin directory.
  fs::remove(path("bin/zentcore"));
  ASSERT_TRUE(logged_on());
  r = client_.call(testsupport::req_start(20, "", {}, {}));
  EXPECT_EQ(r.text, "No such file or directory");
  done = finish();
  EXPECT_EQ(done.exit_status, 1);
}

TEST_F(Logon, DebugStartPassesTheSocketAndSendsNoReply) {
  standard_users();
  ASSERT_TRUE(logged_on());
  ASSERT_TRUE(client_.send_frame(testsupport::req_start(51, "", {"x"}, {})));
  const std::string report = zentcore_report(client_);
  const size_t sock_at = report.find("sock=");
  ASSERT_NE(sock_at, std::string::npos) << report;
  const std::string sock = report.substr(sock_at + 5, report.find('\n', sock_at) - sock_at - 5);
  EXPECT_NE(report.find("argv=-rfd\nargv=" + sock + "\nargv=x\n"), std::string::npos) << report;
  const ProcessResult done = finish();
  EXPECT_NE(done.err.find("Debug process id = "), std::string::npos) << done.err;
}

TEST_F(Logon, FailedSecondLogonLeavesNoAuthorization) {
  standard_users();
  ASSERT_TRUE(logged_on());
  EXPECT_EQ(client_.logon("tester", "wrong").status, 2);
  EXPECT_EQ(client_.call(testsupport::req_start(20, "", {}, {})).text, "Sorry, you are not authorized");
  EXPECT_EQ(client_.call(testsupport::req_plain(60)).text, "Sorry, you are not authorized");
  testsupport::Bytes big = testsupport::req_plain(0);
  big.resize(300, 'x');
  EXPECT_EQ(client_.call(big).got, 0) << "the receive limit is back to 256";
  const ProcessResult done = finish();
  EXPECT_EQ(done.err.find("zentcore process id"), std::string::npos);
}

TEST_F(Logon, ShareListAndListings) {
  standard_users();
  share();
  fs::create_directories(path("data/sub/deeper"));
  fs::create_directories(path("data/leaf"));
  write("data/Readme.TXT", "hello");
  write("data/run.exe", "MZ");
  write("data/.hidden", "h");
  write("data/locked.txt", "l");
  write("data/huge.bin", "");
  ASSERT_EQ(truncate(path("data/huge.bin").c_str(), 5LL << 30), 0);  // sparse: 5 GiB
  own("data/huge.bin");
  for (const char* f : {"data/sub", "data/sub/deeper", "data/leaf", "data/Readme.TXT", "data/run.exe",
                        "data/.hidden"})
    own(f, fs::is_directory(path(f)) ? 0755 : 0644);
  own("data/locked.txt", 0444);
  write("etc/zentsd.share", "[data]\nPath = " + path("data") + "/\nComment = test data\n[gone]\nPath = " +
                                path("missing") + "\n[file]\nPath = " + path("data/run.exe") + "\n");
  ASSERT_TRUE(logged_on());

  std::vector<ZentsdEntry> e;
  ASSERT_TRUE(testsupport::zentsd_entries(client_.call(testsupport::req_plain(60)), &e));
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].kind, 2);
  EXPECT_EQ(e[0].name, "DATA");
  EXPECT_EQ(e[0].comment, "test data");
  EXPECT_EQ(e[0].mode, 0x1004000u + 0x100 + 0x80 + 0x40);

  auto listing = [&](const std::string& pattern, uint16_t cmd) {
    std::vector<ZentsdEntry> out;
    EXPECT_TRUE(testsupport::zentsd_entries(client_.call(testsupport::req_filelist("DATA", pattern, cmd)), &out));
    std::map<std::string, ZentsdEntry> by_name;
    for (const ZentsdEntry& x : out) by_name[x.name] = x;
    return by_name;
  };
  auto all = listing("*.*", 0);
  ASSERT_EQ(all.size(), 6u);  // no ".", "..", nor the hidden file
  EXPECT_EQ(all["huge.bin"].size, 0xffffffffu) << "a size beyond 32 bits is not cut";
  EXPECT_EQ(all["sub"].mode, 0x1004000u + 0x180);
  EXPECT_EQ(all["leaf"].mode, 0x4000u + 0x180);
  EXPECT_EQ(all["readme.txt"].mode, 0x8000u + 0x180);
  EXPECT_EQ(all["readme.txt"].size, 5u);
  EXPECT_EQ(all["run.exe"].mode, 0x8000u + 0x180 + 0x40);
  EXPECT_EQ(all["locked.txt"].mode, 0x8000u + 0x100);
  EXPECT_EQ(all["sub"].size, 0u);
  EXPECT_EQ(listing("*", 1).size(), 4u) << "files only";
  EXPECT_EQ(listing("", 2).size(), 2u) << "directories only";
  EXPECT_EQ(listing("R*.t?t", 0).size(), 1u);
  const ProcessResult done = finish();
  EXPECT_NE(done.err.find("Share \"GONE\" has invalid path"), std::string::npos) << done.err;
}

TEST_F(Logon, LoadAndSave) {
  standard_users();
  share();
  write("data/Old.txt", "old contents");
  own("data/Old.txt", 0640);
  ASSERT_TRUE(logged_on());
  ZentsdReply r = client_.call(testsupport::req_string(70, "DATA/old.txt"));
  ASSERT_EQ(r.status, 0) << r.text;
  testsupport::PayloadReader in = testsupport::zentsd_reader(r.payload);
  EXPECT_EQ(in.object(), "old contents");

  const struct {
    const char* what;
    const char* path;
    uint8_t mode;
    const char* text;  // "" success
    const char* file;  // the file's contents afterwards
  } rows[] = {
      {"mode 0 replaces", "DATA/old.txt", 0, "", "new"},
      {"mode 1 refuses an existing name", "DATA/OLD.TXT", 1, "File exists", "new"},
      {"mode 1 creates", "DATA/fresh.txt", 1, "", "new"},
      {"mode 2 is refused", "DATA/other.txt", 2, "Bad mode value", nullptr},
      {"a directory below that does not exist", "DATA/none/x.txt", 0, "No such file or directory", nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    r = client_.call(testsupport::req_filesave(row.path, row.mode, "new"));
    EXPECT_EQ(r.status, row.text[0] == '\0' ? 0 : 2);
    EXPECT_EQ(r.text, row.text);
    if (row.file != nullptr) {
      r = client_.call(testsupport::req_string(70, row.path));
      testsupport::PayloadReader got = testsupport::zentsd_reader(r.payload);
      EXPECT_EQ(got.object(), row.file);
    }
  }
  struct stat st;
  ASSERT_EQ(stat(path("data/Old.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u) << "a replaced file keeps its permissions";
  EXPECT_EQ(st.st_uid, account_.uid());
  ASSERT_EQ(stat(path("data/fresh.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, account_.uid()) << "written as the user";
  finish();
}

TEST_F(Logon, UserRightsAndTraversal) {
  standard_users();
  share();
  write("data/rootonly.txt", "secret");
  chmod(path("data/rootonly.txt").c_str(), 0600);
  write("outside.txt", "outside");
  symlink(path("outside.txt").c_str(), path("data/link-out").c_str());
  symlink("sub", path("data/link-in").c_str());
  fs::create_directories(path("data/sub"));
  write("data/sub/in.txt", "inside");
  mkfifo(path("data/fifo").c_str(), 0666);
  write("data/big.bin", std::string(2048, 'b'));
  config_extra = "maxFileSize = 1024\n";
  ASSERT_TRUE(logged_on());
  const struct {
    const char* path;
    const char* text;  // "" success
  } rows[] = {
      {"DATA/../../etc/shadow", "Illegal path"},
      {"DATA\\..\\outside.txt", "Illegal path"},
      {"DATA/sub/../../outside.txt", "Illegal path"},
      {"DATA/link-out", "Illegal path"},
      {"NOSHARE/x", "Illegal path"},
      {"DATA/link-in/in.txt", ""},
      {"DATA/rootonly.txt", "Permission denied"},
      {"DATA/fifo", "Invalid argument"},
      {"DATA/sub", "Is a directory"},
      {"DATA/big.bin", "File too large"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    const ZentsdReply r = client_.call(testsupport::req_string(70, row.path), 5000);
    ASSERT_EQ(r.got, 1);
    EXPECT_EQ(r.text, row.text);
  }
  EXPECT_EQ(client_.call(testsupport::req_filesave("DATA/../escape.txt", 0, "x")).text, "Illegal path");
  EXPECT_EQ(client_.call(testsupport::req_filesave("DATA/link-out", 0, "x")).text, "Illegal path");
  EXPECT_EQ(client_.call(testsupport::req_filelist("DATA/..", "*", 0)).text, "Illegal path");
  EXPECT_EQ(client_.call(testsupport::req_filelist("DATA", "../*", 0)).text, "Illegal path");
  EXPECT_EQ(testsupport::read_file(path("outside.txt")), "outside");
  EXPECT_FALSE(fs::exists(path("escape.txt")));
  finish();
}

TEST_F(Logon, PathMappings) {
  standard_users();
  share();
  ASSERT_TRUE(logged_on());
  ZentsdReply r = client_.call(testsupport::req_string(63, path("data") + "/Sub/File.TXT"));
  ASSERT_EQ(r.status, 0) << r.text;
  EXPECT_EQ(testsupport::zentsd_reader(r.payload).str(), "DATA/sub/file.txt");
  EXPECT_EQ(client_.call(testsupport::req_string(63, path("database"))).text, "Illegal path");
  r = client_.call(testsupport::req_string(64, "DATA\\Sub"));
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(testsupport::zentsd_reader(r.payload).str(), path("data") + "/sub");
  EXPECT_EQ(client_.call(testsupport::req_string(64, "NONE/x")).text, "Unable to reverse map path");
  finish();
}

TEST_F(Logon, SuccessStartsTheFailuresAfresh) {
  standard_users();
  ASSERT_TRUE(start());
  ASSERT_TRUE(startup());
  const struct {
    bool right;
    const char* logged;  // the failure's count, or nullptr after a success
  } rows[] = {
      {false, "(1 in a row)"},
      {false, "(2 in a row)"},
      {true, nullptr},
      {false, "(1 in a row)"},
  };
  for (const auto& row : rows) {
    const size_t from = daemon_.log().size();
    const ZentsdReply r = client_.logon("tester", row.right ? account_.password() : "wrong");
    EXPECT_EQ(r.status, row.right ? 0 : 2) << r.text;
    if (row.logged != nullptr) {
      EXPECT_TRUE(daemon_.wait_for(std::string("P1: Logon of user \"tester\" from 127.0.0.1 failed ") + row.logged, from))
          << daemon_.log().substr(from);
    }
  }
  finish();
}

TEST_F(Logon, LoggedOnConnectionsUseTheReservedSlots) {
  // One slot for connections not logged on, 125 for the others.
  standard_users();
  config_extra = "reservedSlots = 125\n";
  ASSERT_TRUE(logged_on());
  testsupport::ZentsdClient second;
  ASSERT_TRUE(second.connect(static_cast<uint16_t>(daemon_.port())));
  ASSERT_GT(daemon_.next_handler(), 0) << "a logged-on connection leaves the slot free";
  const size_t from = daemon_.log().size();
  testsupport::ZentsdClient refused;
  ASSERT_TRUE(refused.connect(static_cast<uint16_t>(daemon_.port())));
  EXPECT_TRUE(daemon_.wait_for("Unable to spawn client handler process: 1 connections not logged on", from));
  EXPECT_TRUE(refused.closed_without_reply(5000));
  ASSERT_EQ(second.startup().status, 0);
  ASSERT_EQ(second.logon("tester", account_.password()).status, 0);
  testsupport::ZentsdClient third;
  ASSERT_TRUE(third.connect(static_cast<uint16_t>(daemon_.port())));
  EXPECT_GT(daemon_.next_handler(), 0) << "the second connection's logon freed the slot";
  finish();
}

}  // namespace
