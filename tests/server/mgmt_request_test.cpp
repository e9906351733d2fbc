// The MGMT request class on a session record over the stored sample
// database, without sockets: the reply kinds' bytes, parsing and usage as a
// table, help and the list outputs, the capability refusals, device names
// (hostile file parts among them), store and restore through file devices
// and a real '|' shell pipe, a failed store that keeps the earlier archive,
// and timed shutdowns with their texts.
#include "server/mgmt_request.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "access/idb_dbctx.h"
#include "access/idb_lock.h"
#include "access/idb_logon.h"
#include "access/idb_open.h"
#include "access/idb_status.h"
#include "access/schema_cache.h"
#include "base/server_config.h"
#include "index/btree.h"
#include "index/syscat_fixture.h"
#include "server/client_session.h"
#include "server/dispatch.h"
#include "server/server_main.h"
#include "server/server_seams.h"
#include "server/vtimer.h"
#include "storage/fixrec.h"
#include "storage/tlog.h"
#include "storage/task_runner.h"
#include "support/sample_db.h"
#include "support/server_session.h"
#include "support/zent_client.h"

namespace {

using testsupport::Bytes;
using testsupport::PayloadReader;
using testsupport::PayloadWriter;

using Reply = testsupport::MgmtReply;

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

class MgmtTest : public testsupport::ServerSessionFixture {
 protected:
  void SetUp() override {
    CatalogFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(start_log());
    ASSERT_EQ(testsupport::write_sample_db_stored("sample", &d_), 0);
    ASSERT_EQ(testsupport::add_sample_records(d_), 0);
    const uint32_t boss = testsupport::add_user("boss", IDB_CAP_DBA);
    ASSERT_NE(boss, 0u);
    ASSERT_NE(testsupport::add_user("alice", IDB_CAP_CONNECT), 0u);
    // boss's group may read, write and erase every set.
    ASSERT_EQ(testsupport::grant_sample_sets("sample", d_, boss), 0);
    char tmpl[] = "/tmp/mgmt_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    mkdir((dir_ + "/arch").c_str(), 0700);
    pipe_out_ = "|cat > " + dir_ + "/piped.arc";
    pipe_in_ = "|cat " + dir_ + "/piped.arc";
    paths_ = {dir_ + "/arch", dir_ + "/one.arc"};
    items_ = {{const_cast<char*>("ARCH"), strdup(paths_[0].c_str())},
              {const_cast<char*>("ONE"), strdup(paths_[1].c_str())},
              {const_cast<char*>("PIPEOUT"), strdup(pipe_out_.c_str())},
              {const_cast<char*>("PIPEIN"), strdup(pipe_in_.c_str())}};
    devices_.count = static_cast<int>(items_.size());
    devices_.items = items_.data();
    cfg_.devices = &devices_;
    ASSERT_EQ(vtimer_init(16), 0);
    open_session("127.0.0.1");
    ASSERT_FALSE(HasFatalFailure());
    logon("boss");
  }
  void TearDown() override {
    mgmt_cancel_shutdown_timer();
    vtimer_exit();
    ServerSessionFixture::TearDown();
    for (CfgItem& i : items_) free(i.value);
    std::string cmd = "rm -rf " + dir_;
    EXPECT_EQ(system(cmd.c_str()), 0);
  }
  void logon(const char* user) {
    idb_session* s = session_->db_session;
    free(s->user_name);
    s->user_name = nullptr;
    s->uid = 0;
    s->caps = 0;
    ASSERT_EQ(idb__logon(s, user, nullptr), 0);
  }
  static Bytes command(const std::vector<std::string>& words, uint16_t type = MGMT_COMMAND,
                       int argc = -1) {
    Bytes b = testsupport::encode_mgmt(77, words, argc);
    b[4] = static_cast<uint8_t>(type);
    return b;
  }

 public:
  // One command and its reply.
  Reply run(const std::vector<std::string>& words) { return decode(command(words)); }
  Reply decode(const Bytes& request) {
    Bytes b;
    Reply r;
    EXPECT_EQ(dispatch(request, &b), 0);
    EXPECT_TRUE(testsupport::decode_mgmt_reply(b, &r));
    EXPECT_EQ(r.request_id, 77);
    return r;
  }

 protected:
  void expect_success(const Reply& r, const std::string& text) {
    EXPECT_EQ(r.code, 0u) << r.text;
    EXPECT_TRUE(r.padded);
    EXPECT_EQ(r.text, text);
  }
  void expect_failure(const Reply& r, const std::string& text) {
    EXPECT_NE(r.code, 0u) << r.text;
    EXPECT_TRUE(r.padded);
    EXPECT_EQ(r.text, text);
  }
  static std::vector<std::string> dbs() { return testsupport::database_names(); }

  std::string dir_, pipe_out_, pipe_in_;
  std::vector<CfgItem> items_;
  std::vector<std::string> paths_;
  CfgItemList devices_{};
};

struct ParseCase {
  std::vector<std::string> words;
  bool ok;  // a success text (else a failure text)
  const char* text;
};

TEST_F(MgmtTest, ParsingAndUsage) {
  const ParseCase cases[] = {
      {{"nosuch"}, false, "Unrecognized command."},
      {{"backup", "START", "x"}, true, "usage: backup {START|STOP}\n"},
      {{"backup", "SIDEWAYS"}, true, "usage: backup {START|STOP}\n"},
      {{"backup"}, true, "usage: backup {START|STOP}\n"},
      {{"dbstore", "sample"}, true, "usage: dbstore database target\n"},
      {{"dbstore", "sample", "ARCH/x", "y"}, true, "usage: dbstore database target\n"},
      {{"dbrestore"}, true, "usage: dbrestore [/info] source [new_database_name]\n"},
      {{"dbrestore", "/info"}, true, "usage: dbrestore [/info] source [new_database_name]\n"},
      {{"dbrestore", "/what", "ARCH/x"}, true, "usage: dbrestore [/info] source [new_database_name]\n"},
      {{"DBRESTORE", "a", "b", "c", "d"}, true, "usage: dbrestore [/info] source [new_database_name]\n"},
      {{"shutdown", "1", "2"}, true, "usage: shutdown [number_of_seconds|CANCEL]\n"},
      {{"shutdown", "-5"}, true, "usage: shutdown [number_of_seconds|CANCEL]\n"},
      {{"shutdown", "99999999999"}, true, "usage: shutdown [number_of_seconds|CANCEL]\n"},
      {{"shutdown", "2147484"}, true, "usage: shutdown [number_of_seconds|CANCEL]\n"},
      {{"cancelthread"}, true, "usage: cancelthread {tid}\n"},
      {{"cancelthread", "1", "2"}, true, "usage: cancelthread {tid}\n"},
      {{"cancelthread", "x1"}, false, "Bad thread id argument"},
      {{"cancelthread", "42"}, false, "Invalid thread id argument"},
      {{"killthread"}, true, "usage: killthread {tid}\n"},
      {{"killthread", "42"}, false, "Invalid thread id argument"},
      {{"test"}, true, "usage: test {panic}\n"},
      {{"test", "calm"}, true, "usage: test {panic}\n"},
      {{"logfile"}, true, "usage: logfile {filename}\n"},
      {{"logflags", "a", "b"}, true, "usage: logflags {flags}\n"},
      {{"help", "dbstore"}, true, "usage: dbstore database target\n"},
      {{"help", "test"}, true, "usage: test {panic}\n"},
      {{"list", "foo"}, false, "Unrecognized list argument."},
      {{"list", "db", "bar"}, true, "usage: list db [NOTITLE]\n"},
      {{"list", "a", "b", "c"}, true,
       "list arguments:\n session         db              lock            thread          \n"
       "optional: NOTITLE - suppress list title\n"},
  };
  for (const ParseCase& c : cases) {
    std::string all;
    for (const std::string& w : c.words) all += w + " ";
    SCOPED_TRACE(all);
    const Reply r = run(c.words);
    if (c.ok)
      expect_success(r, c.text);
    else
      expect_failure(r, c.text);
  }
}

TEST_F(MgmtTest, HelpAndListHelpAreUnpaddedTexts) {
  Reply r = run({"help"});
  EXPECT_EQ(r.code, 0u);
  EXPECT_FALSE(r.padded);
  EXPECT_EQ(r.text,
            "available commands:\n backup          dbstore         dbrestore       shutdown        \n"
            " list            cancelthread    killthread      logfile         \n"
            " logflags        \n");
  EXPECT_EQ(r.text.find("test"), std::string::npos);
  r = run({"HELP", "nosuch"});
  EXPECT_FALSE(r.padded);
  EXPECT_EQ(r.text.rfind("available commands:", 0), 0u);
  for (const std::vector<std::string>& w :
       {std::vector<std::string>{"list"}, std::vector<std::string>{"list", "help"}}) {
    r = run(w);
    EXPECT_FALSE(r.padded);
    EXPECT_EQ(r.text,
              "list arguments:\n session         db              lock            thread          \n"
              "optional: NOTITLE - suppress list title\n");
  }
}

TEST_F(MgmtTest, ReplyBytes) {
  Bytes b;
  ASSERT_EQ(dispatch(command({"nosuch"}), &b), 0);
  const std::string text = "Unrecognized command.";
  PayloadWriter w(false);
  w.u16(77).u16(0).u32(static_cast<uint32_t>(get_error() != 0 ? get_error() : 0xFFFFFFFFu));
  w.str(text).u16(0);
  EXPECT_EQ(b, w.bytes());
  ASSERT_EQ(dispatch(command({"list", "db", "notitle"}), &b), 0);
  PayloadWriter e(false);
  e.u16(77).u16(0).u32(0).str("");
  EXPECT_EQ(b, e.bytes());
}

TEST_F(MgmtTest, RequestRefusalsAndUndecodable) {
  expect_failure(decode(command({}, MGMT_COMMAND, 0)), "Arguments missing.");
  expect_failure(decode(command({"help"}, MGMT_COMMAND, 3)), "Number of arguments inconsistent.");
  expect_failure(decode(command({"help"}, 2)), "Unsupported MGMT request 2");
  PayloadWriter w(false);
  w.u16(77).u16(RC_MGMT).u8(1);
  EXPECT_EQ(dispatch(w.bytes()), -1);
  PayloadWriter w2(false);
  w2.u16(77).u16(RC_MGMT).u16(MGMT_COMMAND).u8(1);
  EXPECT_EQ(dispatch(w2.bytes()), -1);
  idb_session* s = session_->db_session;
  s->uid = 0;
  expect_failure(run({"help"}), "client failure: no logon");
}

TEST_F(MgmtTest, CapabilityRefusals) {
  logon("alice");
  const std::vector<std::vector<std::string>> dba_only = {
      {"backup", "START"}, {"backup", "STOP"}, {"shutdown"},   {"shutdown", "30"},
      {"shutdown", "cancel"}, {"test", "panic"}, {"logfile", dir_ + "/log"},
      {"logflags", "*3"},  {"cancelthread", "1"}, {"killthread", "1"},
      {"dbrestore", "ARCH/x.arc", "copy"}};
  for (const auto& w : dba_only) {
    SCOPED_TRACE(w[0]);
    expect_failure(run(w), "Permission denied - dba capabilities required.");
  }
  EXPECT_NE(access((dir_ + "/log").c_str(), F_OK), 0);
  // The archive's head needs no capability.
  logon("boss");
  expect_success(run({"dbstore", "sample", "ARCH/x.arc"}),
                 "Database \"sample\" has been stored to \"ARCH/x.arc\".\n");
  logon("alice");
  const Reply r = run({"dbrestore", "/INFO", "ARCH/x.arc"});
  EXPECT_EQ(r.code, 0u);
  EXPECT_NE(r.text.find("Database archive from boss@127.0.0.1"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("Database name  : sample"), std::string::npos) << r.text;
}

struct DeviceCase {
  const char* command;
  const char* where;
  const char* text;
};

TEST_F(MgmtTest, DeviceNames) {
  const DeviceCase cases[] = {
      {"dbstore", "NOPE/x.arc", "NOPE: Bad target name"},
      {"dbstore", "ARCH/../x.arc", "ARCH/..: Bad target name"},
      {"dbstore", "ARCH/..", "ARCH: Bad target name"},
      {"dbstore", "ARCH/.", "ARCH: Bad target name"},
      {"dbstore", "ARCH/", "ARCH: Bad target name"},
      {"dbstore", "ARCH/x; touch pwned", "ARCH: Bad target name"},
      {"dbstore", "PIPEOUT/x;touch${IFS}pwned", "PIPEOUT: Bad target name"},
      {"dbstore", "ARCH/sub/x.arc", "ARCH/sub: Bad target name"},
      {"dbrestore", "NOPE", "NOPE: Bad source name"},
      {"dbrestore", "ARCH/../etc/passwd", "ARCH: Bad source name"},
      {"dbrestore", "ARCH/a//b", "ARCH: Bad source name"},
      {"dbrestore", "ARCH/x;touch pwned", "ARCH: Bad source name"},
      {"dbrestore", "PIPEIN/x`touch pwned`", "PIPEIN: Bad source name"},
      {"dbrestore", "ARCH/a b", "ARCH: Bad source name"},
  };
  for (const DeviceCase& c : cases) {
    SCOPED_TRACE(c.where);
    expect_failure(run({c.command, c.command[2] == 's' ? "sample" : c.where,
                        c.command[2] == 's' ? c.where : "copy"}),
                   c.text);
  }
  // dbrestore /info takes the same check.
  expect_failure(run({"dbrestore", "/info", "ARCH/x;id"}), "ARCH: Bad source name");
  EXPECT_NE(access("pwned", F_OK), 0);
  EXPECT_NE(access((dir_ + "/arch/pwned").c_str(), F_OK), 0);
  expect_failure(run({"dbrestore", "ARCH/missing.arc", "copy"}),
                 "Unable to open \"" + paths_[0] + "/missing.arc\" (No such file or directory)");
  expect_failure(run({"dbstore", "nosuchdb", "ARCH/x.arc"}), "Unable to open database \"nosuchdb\"");
  expect_failure(run({"dbrestore", "ARCH/x.arc", std::string(65, 'a')}), "Database name too long");
  expect_failure(run({"dbrestore", "ARCH/x.arc", "/copy"}), "/copy: Bad database name");
  expect_failure(run({"dbrestore", "ARCH/x.arc", "co py"}), "co py: Bad database name");
  devices_.count = 0;
  expect_failure(run({"dbstore", "sample", "ARCH/x.arc"}), "Sorry - No server devices configured");
  expect_failure(run({"dbrestore", "ARCH/x.arc"}), "Sorry - No server devices configured");
}

TEST_F(MgmtTest, StoreAndRestoreThroughFiles) {
  expect_success(run({"dbstore", "sample", "arch/s1.arc"}),
                 "Database \"sample\" has been stored to \"arch/s1.arc\".\n");
  const std::string archive = slurp(paths_[0] + "/s1.arc");
  EXPECT_EQ(archive.compare(0, 15, std::string("ZENTDB\0ARCHIVE\0", 15)), 0);
  // A device that is a file names it whole.
  expect_success(run({"dbstore", "sample", "ONE"}),
                 "Database \"sample\" has been stored to \"ONE\".\n");
  expect_success(run({"dbrestore", "ARCH/s1.arc", "Copy1"}),
                 "Database \"copy1\" has been restored from \"ARCH/s1.arc\".\n");
  expect_failure(run({"dbrestore", "ARCH/s1.arc"}), "Database \"sample\" already exists.");
  expect_failure(run({"dbrestore", "one", "copy1"}), "Database \"copy1\" already exists.");
  const std::vector<std::string> before = dbs();
  EXPECT_EQ(before.size(), 2u);
  {
    std::ofstream f(paths_[0] + "/junk.arc");
    f << "no archive here";
  }
  expect_failure(run({"dbrestore", "ARCH/junk.arc", "copy2"}),
                 "\"ARCH/junk.arc\" does not seem to be a valid archive.");
  {
    std::ofstream f(paths_[0] + "/cut.arc", std::ios::binary);
    f << archive.substr(0, archive.size() / 2);
  }
  expect_failure(run({"dbrestore", "ARCH/cut.arc", "copy2"}),
                 "Failed to restore database from \"ARCH/cut.arc\".");
  EXPECT_EQ(dbs(), before);
  EXPECT_EQ(before, (std::vector<std::string>{"sample", "copy1"}));
}

TEST_F(MgmtTest, FailedStoreKeepsTheEarlierArchive) {
  expect_success(run({"dbstore", "sample", "ARCH/keep.arc"}),
                 "Database \"sample\" has been stored to \"ARCH/keep.arc\".\n");
  const std::string first = slurp(paths_[0] + "/keep.arc");
  ASSERT_GT(first.size(), 1000u);
  // Held open by another session in a mode that keeps the store out.
  idb_session* other = nullptr;
  ASSERT_EQ(idb_init_session(nullptr, &other), 0);
  ASSERT_EQ(idb__logon(other, "boss", nullptr), 0);
  ASSERT_GT(idb__open_database(other, "sample", 1), 0);
  expect_failure(run({"dbstore", "sample", "ARCH/keep.arc"}), "Unable to open database \"sample\"");
  idb_exit_session(other);
  // A store that fails half-way (the file may not grow past half the
  // archive) leaves the earlier archive whole and no new file beside it.
  signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit half = saved;
  half.rlim_cur = first.size() / 2;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &half), 0);
  const Reply cut = run({"dbstore", "sample", "ARCH/keep.arc"});
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  expect_failure(cut, "Failed to store database \"sample\"to \"ARCH/keep.arc\".");
  EXPECT_EQ(slurp(paths_[0] + "/keep.arc"), first);
  // A pipe whose command fails is a failed store (the server ignores
  // SIGPIPE, as this test does).
  signal(SIGPIPE, SIG_IGN);
  free(items_[2].value);
  items_[2].value = strdup("|exit 3");
  expect_failure(run({"dbstore", "sample", "PIPEOUT"}),
                 "Failed to store database \"sample\"to \"PIPEOUT\".");
  EXPECT_EQ(slurp(paths_[0] + "/keep.arc"), first);
  // No temporary file is left beside it.
  const std::string ls = "ls " + paths_[0] + " | grep -c keep.arc > " + dir_ + "/count";
  ASSERT_EQ(system(ls.c_str()), 0);
  EXPECT_EQ(slurp(dir_ + "/count"), "1\n");
}

TEST_F(MgmtTest, PipeDeviceCarriesAnArchiveBothWays) {
  expect_success(run({"dbstore", "sample", "PIPEOUT"}),
                 "Database \"sample\" has been stored to \"PIPEOUT\".\n");
  const std::string piped = slurp(dir_ + "/piped.arc");
  ASSERT_GT(piped.size(), 1000u);
  const Reply info = run({"dbrestore", "/info", "PIPEIN"});
  EXPECT_EQ(info.code, 0u);
  EXPECT_NE(info.text.find("Database name  : sample"), std::string::npos);
  expect_success(run({"dbrestore", "PIPEIN", "viapipe"}),
                 "Database \"viapipe\" has been restored from \"PIPEIN\".\n");
  EXPECT_EQ(dbs(), (std::vector<std::string>{"sample", "viapipe"}));
}

TEST_F(MgmtTest, ListsWithAndWithoutTitles) {
  idb_session* s = session_->db_session;
  const int32_t dbid = idb__open_database(s, "sample", 1);
  ASSERT_GT(dbid, 0);
  db_ctx* ctx = idb__get_db_ctx(s, dbid);
  ASSERT_EQ(idb__add_lock(s, ctx, 2, nullptr), 0);  // the database
  // A descriptor lock: set 3 (ORDERS), item 3 (REGION) = "EAST".
  uint32_t descr[] = {7, 7, 1, 2, 3, 0, ('X' << 16) | 4, 0};
  memcpy(&descr[7], "EAST", 4);
  ASSERT_GE(idb__add_lock(s, ctx, 6, descr), 0);
  // Every set that has item 5 (ORDER-DATE) >= 20240101: the item shows.
  const uint32_t every_set[] = {6, 6, 0, 5, 2, ('D' << 16) | 4, 20240101};
  ASSERT_GE(idb__add_lock(s, ctx, 6, every_set), 0);
  Reply r = run({"list", "db"});
  EXPECT_FALSE(r.padded);
  EXPECT_EQ(r.text,
            "Database         Ref  WrShrd WrExcl RdShrd RdExcl\n"
            "---------------- ---- ------ ------ ------ ------\n"
            "sample              1      1      0      0      0\n");
  r = run({"list", "DB", "notitle"});
  EXPECT_EQ(r.text, "sample              1      1      0      0      0\n");
  r = run({"list", "lock"});
  EXPECT_EQ(r.text.rfind("Session    TID Database         DBID Status  Mode Qualifier\n"
                         "---------- --- ---------------- ---- ------- ---- ---------------\n",
                         0),
            0u)
      << r.text;
  const Reply nt = run({"list", "lock", "notitle"});
  EXPECT_EQ(r.text.substr(r.text.find('\n', r.text.find('\n') + 1) + 1), nt.text);
  EXPECT_NE(nt.text.find("database\n"), std::string::npos) << nt.text;
  EXPECT_NE(nt.text.find("expression set=3 item=3 op='=' val=X (4) \"EAST\"\n"), std::string::npos)
      << nt.text;
  EXPECT_NE(nt.text.find("expression set=@ item=5 op='&gt;=' val=D (4) 20240101\n"),
            std::string::npos)
      << nt.text;
  r = run({"list", "thread"});
  EXPECT_EQ(r.text,
            "Session    TID ST WCHAN      Blocked  Sched    Name\n"
            "---------- --- -- ---------- -------- -------- --------------------\n");
  r = run({"list", "session", "NoTitle"});
  EXPECT_EQ(r.text, "");
  idb__close_database(s, ctx);
}

TEST_F(MgmtTest, TimedShutdownTextsPendingAndCancel) {
  expect_failure(run({"shutdown", "cancel"}), "No pending shutdown request");
  expect_success(run({"shutdown", "1"}), "Shutting down in 1 second.\n");
  expect_failure(run({"shutdown", "30"}), "Shutdown request is already pending");
  expect_failure(run({"shutdown"}), "Shutdown request is already pending");
  expect_success(run({"shutdown", "CANCEL"}), "Shutdown request has been cancelled\n");
  expect_success(run({"shutdown", "30"}), "Shutting down in 30 seconds.\n");
  expect_success(run({"shutdown", "cancel"}), "Shutdown request has been cancelled\n");
  expect_success(run({"shutdown", "2147483"}), "Shutting down in 2147483 seconds.\n");
  expect_success(run({"shutdown", "cancel"}), "Shutdown request has been cancelled\n");
}

TEST_F(MgmtTest, LogFileAndFlags) {
  const std::string log = dir_ + "/new.log";
  expect_success(run({"logfile", log}), "Log file has been set to \"" + log + "\".\n");
  expect_success(run({"logflags", "P2"}), "Log flags have been set to \"P2\".\n");
  run({"list", "db"});
  debug_set_stream(stderr);
  debug_set_flags("");
  EXPECT_NE(slurp(log).find("argv[0] = \"list\""), std::string::npos);
  expect_failure(run({"logfile", dir_ + "/no/such/dir/x.log"}),
                 "Unable to open \"" + dir_ + "/no/such/dir/x.log\" (No such file or directory)");
}

// logfile takes a name from the wire and may run as root: a symbolic link
// is not followed, a FIFO or a directory is refused at once (the open does
// not wait for a reader), and a new file is the server's alone (0600).
TEST_F(MgmtTest, LogFileRefusesLinksAndOtherKindsOfFile) {
  const std::string target = dir_ + "/target";
  ASSERT_EQ(symlink(target.c_str(), (dir_ + "/link.log").c_str()), 0);
  ASSERT_EQ(mkfifo((dir_ + "/fifo.log").c_str(), 0600), 0);
  const Reply link = run({"logfile", dir_ + "/link.log"});
  EXPECT_NE(link.code, 0u) << link.text;
  EXPECT_NE(access(target.c_str(), F_OK), 0);
  for (const std::string& name : {dir_ + "/fifo.log", dir_}) {
    SCOPED_TRACE(name);
    const Reply r = run({"logfile", name});
    EXPECT_NE(r.code, 0u) << r.text;
    EXPECT_EQ(r.text.rfind("Unable to open \"" + name + "\" (", 0), 0u) << r.text;
  }
  const std::string log = dir_ + "/new.log";
  expect_success(run({"logfile", log}), "Log file has been set to \"" + log + "\".\n");
  debug_set_stream(stderr);
  struct stat st;
  ASSERT_EQ(stat(log.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// dbrestore reads only a regular file below the device's directory: a
// link planted inside that leads out of it is not followed, and a FIFO is
// refused at once instead of stopping the server thread until someone
// writes to it (dbrestore /info needs no capability).
TEST_F(MgmtTest, RestoreSourcesStayBelowTheDeviceAndNeverBlock) {
  expect_success(run({"dbstore", "sample", "ONE"}), "Database \"sample\" has been stored to \"ONE\".\n");
  ASSERT_EQ(symlink(paths_[1].c_str(), (paths_[0] + "/out.arc").c_str()), 0);
  ASSERT_EQ(mkfifo((paths_[0] + "/fifo.arc").c_str(), 0600), 0);
  logon("alice");
  for (const char* source : {"ARCH/out.arc", "ARCH/fifo.arc"}) {
    SCOPED_TRACE(source);
    const Reply r = run({"dbrestore", "/info", source});
    EXPECT_NE(r.code, 0u) << r.text;
    EXPECT_EQ(r.text.rfind("Unable to open", 0), 0u) << r.text;
  }
  // The device that names a file is read as before.
  const Reply one = run({"dbrestore", "/info", "ONE"});
  EXPECT_EQ(one.code, 0u) << one.text;
}

TEST_F(MgmtTest, LongTextsAreCut) {
  const std::string name(2000, 'n');
  const Reply r = run({"logflags", name});
  EXPECT_EQ(r.code, 0u);
  EXPECT_EQ(r.text.size(), 1023u);
  debug_set_flags("");
  // A failure text too.
  const Reply f = run({"dbstore", name, "ARCH/x.arc"});
  EXPECT_NE(f.code, 0u);
  EXPECT_TRUE(f.padded);
  EXPECT_EQ(f.text, ("Unable to open database \"" + name).substr(0, 1023));
}

// Two other connections under the task kernel: A holds the database lock
// and then sleeps in a wait that may not be cut (as a page read does), B
// waits for the lock; cancelthread ends B's wait (its request answers -35)
// and refuses A's.
struct Other {
  ClientSession cs{};
  idb_session* s = nullptr;
  db_ctx* ctx = nullptr;
  int rc = 99;
};
Other g_a, g_b;
MgmtTest* g_test = nullptr;
std::vector<std::string> g_texts;
WaitQueue g_page_wait;

void no_free(void*) {}

TEST_F(MgmtTest, CancelthreadEndsAnotherSessionsLockWait) {
  Tlog_ResetSemaphores();
  g_test = this;
  g_texts.clear();
  g_page_wait = WaitQueue{};
  for (Other* o : {&g_a, &g_b}) {
    *o = Other{};
    o->cs.magic = SESSION_MAGIC;
    ASSERT_EQ(idb_init_session(&o->cs, &o->s), 0);
    ASSERT_EQ(idb__logon(o->s, "boss", nullptr), 0);
    const int32_t dbid = idb__open_database(o->s, "sample", 1);
    ASSERT_GT(dbid, 0);
    o->ctx = idb__get_db_ctx(o->s, dbid);
    o->cs.db_session = o->s;
  }
  Task* slots[3] = {};
  Task** saved_workers = tc_worker;
  const int saved_max = max_workers;
  tc_worker = slots;
  max_workers = 3;
  storage_test::TaskRunner runner;
  ASSERT_TRUE(runner.run(
      {+[] {  // A, task 1
         thread_set_data(thread_self(), &g_a.cs, no_free);
         tc_worker[0] = thread_self();
         ASSERT_EQ(Tlog_ApiSharedLock(), 0);
         g_a.rc = idb__add_lock(g_a.s, g_a.ctx, 1, nullptr);
         Tlog_ApiSharedUnlock();
         sleep_on(&g_page_wait, WAIT_NEVER_CUT, __FILE__, __LINE__);
         idb__del_session_locks(g_a.s);
       },
       +[] {  // B, task 2
         thread_set_data(thread_self(), &g_b.cs, no_free);
         tc_worker[1] = thread_self();
         thread_yield();  // A takes the lock first
         ASSERT_EQ(Tlog_ApiSharedLock(), 0);
         g_b.rc = idb__add_lock(g_b.s, g_b.ctx, 1, nullptr);
         Tlog_ApiSharedUnlock();
       }},
      +[] {  // the administrator, once A holds and B waits
        for (const char* tid : {"1", "2", "2"})
          g_texts.push_back(g_test->run({"cancelthread", tid}).text);
        while (g_b.rc == 99) thread_yield();  // B's request ends before A lets go
        wake_up(&g_page_wait);
      }));
  tc_worker = saved_workers;
  max_workers = saved_max;
  EXPECT_EQ(g_a.rc, 0);
  EXPECT_EQ(g_b.rc, -1);
  EXPECT_EQ(g_b.s->error.code, S_DEADLK);
  EXPECT_EQ(g_texts, (std::vector<std::string>{"Invalid thread status for this operation",
                                               "Thread 2 has been cancelled.\n",
                                               "Invalid thread status for this operation"}));
  for (Other* o : {&g_a, &g_b}) idb_exit_session(o->s);
}

TEST(MgmtFilePart, Components) {
  const struct {
    const char* file;
    bool single, ok;
  } cases[] = {
      {"x.arc", true, true},     {"A-b_c.9", true, true},  {"a/b", true, false},
      {"a/b", false, true},      {"..", false, false},     {".", false, false},
      {"a/../b", false, false},  {"", false, false},       {"a//b", false, false},
      {"a/", false, false},      {"x;y", false, false},    {"x y", false, false},
      {"$(id)", false, false},   {"x\ny", false, false},   {"...", false, true},
      {"~root", false, false},   {"a|b", false, false},    {"a\\b", false, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(mgmt_file_part_ok(c.file, c.single), c.ok) << c.file << " " << c.single;
}

}  // namespace
