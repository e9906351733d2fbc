// zentsd as processes: the entry's argument table with install and remove
// in a temporary unit directory and registry, console and service runs,
// and the client handlers: one process per connection, keyed apart when
// the parent's socket number repeats, only their own descriptors, no
// zombies, the end of the parent ending them, the 127th child refused,
// serving in the listening process, and pause.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "daemon/daemon_fixture.h"
#include "support/net_util.h"
#include "support/notify_socket.h"
#include "support/process_runner.h"

namespace {

using testsupport::NotifySocket;
using testsupport::ProcessResult;
using testsupport::read_file;
using testsupport::run_process;
using testsupport::eventually;
using testsupport::ZentsdClient;
using testsupport::ZentsdReply;

const std::string kZentsd = ZENTSD_PATH;

const char* const kFrameUsage =
    "usage: zentsd -install [aliasname]\n"
    "           to install the QX ZentSD, or:\n"
    "       zentsd -remove [aliasname]\n"
    "           to remove the QX ZentSD\n";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }


// The installation of DaemonFixture, the unit directory, and the daemon's
// argument table.
class Zentsd : public testsupport::DaemonFixture {
 protected:
  void SetUp() override {
    DaemonFixture::SetUp();
    mkdir(path("units").c_str(), 0755);
    write("etc/zentsd.cfg", "[config]\n");
  }
  std::vector<std::string> frame_env(std::vector<std::string> more = {}) const {
    std::vector<std::string> e = env();
    e.push_back("ZENTRIM_UNIT_DIR=" + path("units"));
    e.push_back("NOTIFY_SOCKET=");
    e.push_back("INVOCATION_ID=");
    e.push_back("ZENTRIM_SERVICE_NAME=");
    for (auto& m : more) {
      const std::string name = m.substr(0, m.find('=') + 1);
      std::erase_if(e, [&](const std::string& x) { return x.rfind(name, 0) == 0; });
      e.push_back(std::move(m));
    }
    return e;
  }
  std::string services(const std::string& rel) const {
    return path("hklm/SYSTEM/CurrentControlSet/Services/" + rel);
  }
  // A second client connected to the running daemon; its handler's pid.
  pid_t connect_another(ZentsdClient* c) {
    if (!c->connect(static_cast<uint16_t>(daemon_.port()))) return -1;
    return daemon_.next_handler();
  }
};

// --- the entry --------------------------------------------------------------

TEST_F(Zentsd, EntryRefusesWhatItDoesNotKnow) {
  const struct {
    std::vector<std::string> args;
    int status;
    const char* out;
    const char* err;
  } rows[] = {
      {{"-install", "a", "b"}, 1, kFrameUsage, ""},
      {{"/REMOVE", "a", "b"}, 1, kFrameUsage, ""},
      {{"-frob"}, 1, kFrameUsage, ""},
      {{"standalone"}, 1, kFrameUsage, ""},
      {{"-win32_parent_phndl"}, 1, kFrameUsage, ""},
      {{"-win32_parent_phndl", "x7"}, 1, kFrameUsage, ""},
      {{"-standalone", "-x"}, 2, "", "usage: zentsd [options]\n"},
      {{"-standalone", "-help"}, 2, "", " -f         = serve connections in the listening process\n"},
      {{"-standalone", "-c", "x.cfg", "extra"}, 2, "", "usage: zentsd [options]\n"},
      {{}, 1, "", ""},  // no arguments outside the service manager
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args.empty() ? std::string("(none)") : row.args[0]);
    const ProcessResult r = run_process(kZentsd, row.args, frame_env());
    EXPECT_EQ(r.exit_status, row.status);
    if (row.out[0] != '\0' || row.status != 2) {
      EXPECT_EQ(r.out, row.out);
    }
    EXPECT_TRUE(contains(r.err, row.err)) << r.err;
  }
}

TEST_F(Zentsd, InstallAndRemoveWithAnAliasAndASecondInstall) {
  ProcessResult r = run_process(kZentsd, {"-INSTALL"}, frame_env());
  ASSERT_EQ(r.exit_status, 0) << r.out;
  EXPECT_TRUE(r.out.rfind("QX ZentSD successfully installed at /", 0) == 0) << r.out;
  const std::string unit = read_file(path("units/QX\\x20ZentSD.service"));
  EXPECT_TRUE(contains(unit, "\nEnvironment=\"ZENTRIM_SERVICE_NAME=QX ZentSD\"\n")) << unit;
  EXPECT_TRUE(contains(unit, "zentsd\"\n")) << unit;
  r = run_process(kZentsd, {"-install"}, frame_env());
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_TRUE(contains(r.out, "zentsd\n17: File exists\n")) << r.out;

  r = run_process(kZentsd, {"-install", "session daemon"}, frame_env());
  ASSERT_EQ(r.exit_status, 0) << r.out;
  EXPECT_TRUE(r.out.rfind("session_daemon successfully installed at ", 0) == 0) << r.out;
  const std::string source = services("EventLog/Application/session_daemon");
  EXPECT_EQ(read_file(source + "/TypesSupported"), "7\n");
  EXPECT_EQ(read_file(source + "/CategoryCount"), "26\n");
  EXPECT_TRUE(contains(read_file(source + "/EventMessageFile"), "zentsd\n"));
  r = run_process(kZentsd, {"/remove", "session daemon"}, frame_env());
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "session_daemon successfully removed\n");
  struct stat st;
  EXPECT_NE(stat(path("units/session_daemon.service").c_str(), &st), 0);
  EXPECT_NE(stat(source.c_str(), &st), 0);
  r = run_process(kZentsd, {"-remove", "session daemon"}, frame_env());
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "unable to open session_daemon\n2: No such file or directory\n");
}

TEST_F(Zentsd, StoredCommandLineOfMoreThan98WordsIsRefused) {
  std::vector<std::string> args = {"-standalone", "-save"};
  for (int k = 0; k < 99; ++k) args.push_back("w");
  ProcessResult r = run_process(kZentsd, args, frame_env());
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, "unable to save QX ZentSD arguments: more than 98 words\n");

  std::string line;
  for (int k = 0; k < 99; ++k) line += "w ";
  write("hklm/SYSTEM/CurrentControlSet/Services/QX ZentSD/CommandLine", line);
  r = run_process(kZentsd, {"-standalone"}, frame_env());  // no options: the stored ones
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, "unable to read QX ZentSD arguments: more than 98 words\n");
}

// --- runs --------------------------------------------------------------------

TEST_F(Zentsd, ConsoleRunServesTheHandshakeAndStopsOnSigtermWith0) {
  ASSERT_TRUE(start());
  ASSERT_TRUE(startup());
  const ProcessResult done = finish();
  EXPECT_EQ(done.exit_status, 0) << done.err;
  const ProcessResult r = daemon_.stop();
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "S3: Cleaned-up wait list with")) << r.err;
}

TEST_F(Zentsd, BadConfigurationEndsTheConsoleRunWith1) {
  write("etc/zentsd.cfg", "[config]\nshareFile = " + path("missing.share") + "\n");
  const ProcessResult r =
      run_process(kZentsd, {"-standalone", "-c", path("etc/zentsd.cfg"), "-d", "S2C1"}, frame_env());
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(contains(r.err, "S0: Fatal configuration problem - terminating\n")) << r.err;
}

TEST_F(Zentsd, ServiceRunReportsItsStatesAndItsStatus) {
  const int port = testsupport::free_tcp_port();
  const std::string log = path("service.log");
  write("hklm/SYSTEM/CurrentControlSet/Services/QX ZentSD/CommandLine",
        "-c \"" + path("etc/zentsd.cfg") + "\" -d S3P2 -l \"" + log + "\" -s " + std::to_string(port));
  NotifySocket notify;
  testsupport::Process p(kZentsd, {}, frame_env({notify.env(), "INVOCATION_ID=test"}));
  ASSERT_TRUE(notify.wait_for("READY=1\nSTATUS=QX ZentSD is running"));
  ASSERT_TRUE(eventually([&] { return contains(read_file(log), "QX Zentrim server active"); }));
  ZentsdClient c;
  ASSERT_TRUE(c.connect(static_cast<uint16_t>(port)));
  EXPECT_EQ(c.startup().status, 0);
  c.close();
  p.send_signal(SIGTERM);
  const ProcessResult r = p.wait();
  EXPECT_EQ(r.exit_status, 0);
  ASSERT_TRUE(notify.wait_for("has stopped"));
  const std::vector<std::string> tail = {"STOPPING=1\nSTATUS=QX ZentSD is stopping (1)\nEXTEND_TIMEOUT_USEC=3000000",
                                         "STATUS=QX ZentSD has stopped (0)"};
  ASSERT_GE(notify.messages.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(notify.messages.end() - 2, notify.messages.end()), tail);
  EXPECT_TRUE(contains(read_file(log), "startup: platform = 'LINUX'")) << "the handler logs through the parent";

  // A run that cannot start reports its status.
  write("etc/zentsd.cfg", "[config]\nuserFile = " + path("missing.user") + "\n");
  NotifySocket failing;
  const ProcessResult f = run_process(kZentsd, {}, frame_env({failing.env(), "INVOCATION_ID=test"}));
  EXPECT_EQ(f.exit_status, 1);
  ASSERT_TRUE(failing.wait_for("has stopped"));
  EXPECT_EQ(failing.messages.back(), "STATUS=QX ZentSD has stopped (1)");
}

TEST_F(Zentsd, PauseHoldsTheListeningLoopUntilContinue) {
  const int port = testsupport::free_tcp_port();
  write("hklm/SYSTEM/CurrentControlSet/Services/QX ZentSD/CommandLine",
        "-c " + path("etc/zentsd.cfg") + " -d S3 -l " + path("service.log") + " -s " + std::to_string(port));
  NotifySocket notify;
  testsupport::Process p(kZentsd, {}, frame_env({notify.env(), "INVOCATION_ID=test"}));
  ASSERT_TRUE(notify.wait_for("READY=1"));
  ASSERT_TRUE(eventually([&] { return contains(read_file(path("service.log")), "server active"); }));
  p.send_signal(SIGTSTP);
  ASSERT_TRUE(notify.wait_for("STATUS=QX ZentSD is paused"));
  ZentsdClient c;
  ASSERT_TRUE(c.connect(static_cast<uint16_t>(port)));  // waits in the listen queue
  // Nothing to wait for: a paused loop accepts nothing, however long.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(contains(read_file(path("service.log")), "Client handler process id"));
  p.send_signal(SIGCONT);
  ASSERT_TRUE(notify.wait_for("STATUS=QX ZentSD is running"));
  EXPECT_EQ(c.startup().status, 0);
  EXPECT_TRUE(contains(read_file(path("service.log")), "S1: QX ZentSD has been suspended."));
  c.close();
  p.send_signal(SIGTERM);
  EXPECT_EQ(p.wait().exit_status, 0);
}

// --- handlers ------------------------------------------------------------------

TEST_F(Zentsd, OneHandlerProcessPerConnectionWithOnlyItsDescriptors) {
  ASSERT_TRUE(start());
  ZentsdClient second;
  const pid_t other = connect_another(&second);
  ASSERT_GT(other, 0);
  EXPECT_NE(handler_, other);
  EXPECT_NE(handler_, daemon_.pid());
  ASSERT_TRUE(startup());
  EXPECT_EQ(second.startup().status, 0);
  const auto kids = testsupport::children_of(daemon_.pid());
  EXPECT_EQ(kids.size(), 2u);
  for (pid_t h : {handler_, other}) {
    int sockets = 0;
    std::string out_pipe;
    for (const auto& [fd, target] : testsupport::descriptors_of(h)) {
      SCOPED_TRACE(std::to_string(fd) + " -> " + target);
      if (fd == 0) {
        EXPECT_EQ(target, "/dev/null");
      } else if (fd == 1 || fd == 2) {
        EXPECT_EQ(target.rfind("pipe:", 0), 0u);
        if (out_pipe.empty()) out_pipe = target;
        EXPECT_EQ(target, out_pipe);  // standard output and error are one pipe
      } else if (target.rfind("socket:", 0) == 0) {
        ++sockets;
      } else {
        // The handler's own: its wait list's events and the parent's pidfd.
        EXPECT_TRUE(target == "anon_inode:[eventfd]" || target == "anon_inode:[pidfd]") << target;
      }
    }
    EXPECT_EQ(sockets, 1) << "its connection only";
  }
  second.close();
  EXPECT_EQ(daemon_.reaped_status(other), 0);
  EXPECT_EQ(finish().exit_status, 0);
}

TEST_F(Zentsd, QuickConnectionsOnAReusedSocketNumberStayApart) {
  ASSERT_TRUE(start());
  testsupport::ZentsdStartup a;
  a.platform = "PLAT-A";
  ASSERT_EQ(client_.startup(a).status, 0);
  ZentsdClient second;
  const pid_t other = connect_another(&second);
  ASSERT_GT(other, 0);
  testsupport::ZentsdStartup b;
  b.platform = "PLAT-B";
  ASSERT_EQ(second.startup(b).status, 0);
  const std::string log = daemon_.log();
  // The parent closed its copy of the first socket, so the second
  // connection got the same number.
  const size_t first = log.find(" socket:");
  const size_t again = log.find(" socket:", first + 1);
  ASSERT_NE(again, std::string::npos);
  EXPECT_EQ(log.substr(first, 11), log.substr(again, 11));
  EXPECT_TRUE(contains(log, "Child process " + std::to_string(handler_) + " registered: peer localhost, platform PLAT-A"))
      << log;
  EXPECT_TRUE(contains(log, "Child process " + std::to_string(other) + " registered: peer localhost, platform PLAT-B"))
      << log;
  second.close();
  EXPECT_EQ(daemon_.reaped_status(other), 0);
  EXPECT_EQ(finish().exit_status, 0);
  EXPECT_TRUE(daemon_.wait_for("Removed child process " + std::to_string(handler_)));
  EXPECT_TRUE(daemon_.wait_for("Removed child process " + std::to_string(other)));
}

TEST_F(Zentsd, NoZombiesAfterHandlersEnd) {
  for (int k = 0; k < 3; ++k) {
    ASSERT_TRUE(start());
    ASSERT_TRUE(startup());
    EXPECT_EQ(finish().exit_status, 0);
  }
  EXPECT_TRUE(eventually([&] { return testsupport::children_of(daemon_.pid()).empty(); }));
}

TEST_F(Zentsd, KillingTheParentEndsTheHandlers) {
  ASSERT_TRUE(start());
  ASSERT_TRUE(startup());
  ZentsdClient second;
  const pid_t other = connect_another(&second);
  ASSERT_GT(other, 0);
  daemon_.process().send_signal(SIGKILL);
  daemon_.process().wait();
  const auto gone = [](pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return stat.empty() || (close != std::string::npos && stat[close + 2] == 'Z');
  };
  EXPECT_TRUE(eventually([&] { return gone(handler_) && gone(other); }));
  EXPECT_TRUE(client_.closed_without_reply(5000));
  EXPECT_TRUE(second.closed_without_reply(5000));
}

TEST_F(Zentsd, The127thChildIsRefusedWithItsMessage) {
  // The wait list's own limit: no slots kept back for logged-on
  // connections, and time enough to open them all.
  config_extra = "reservedSlots = 0\nlogonTimeout = 600\n";
  ASSERT_TRUE(start());
  std::vector<std::unique_ptr<ZentsdClient>> clients;
  for (int k = 1; k < 126; ++k) {
    clients.push_back(std::make_unique<ZentsdClient>());
    ASSERT_GT(connect_another(clients.back().get()), 0) << k;
  }
  const size_t from = daemon_.log().size();
  ZentsdClient refused;
  ASSERT_TRUE(refused.connect(static_cast<uint16_t>(daemon_.port())));
  EXPECT_TRUE(daemon_.wait_for(
      "S0: Unable to spawn client handler process: exceeded maximum number of entries in child process table", from));
  EXPECT_TRUE(refused.closed_without_reply(5000));
  // One ends: there is room again.
  clients.front()->close();
  ASSERT_TRUE(daemon_.wait_for("Removed child process", from));
  ZentsdClient again;
  EXPECT_GT(connect_another(&again), 0);
}

TEST_F(Zentsd, ConnectionsNotLoggedOnLeaveTheReservedSlots) {
  // 124 of the 126 slots kept for logged-on connections: a third silent
  // connection is refused and closed at once, not served when the others
  // time out.
  config_extra = "reservedSlots = 124\n";
  ASSERT_TRUE(start());
  ZentsdClient second;
  ASSERT_GT(connect_another(&second), 0);
  const size_t from = daemon_.log().size();
  ZentsdClient refused;
  ASSERT_TRUE(refused.connect(static_cast<uint16_t>(daemon_.port())));
  EXPECT_TRUE(daemon_.wait_for(
      "S0: Unable to spawn client handler process: 2 connections not logged on hold every slot they may "
      "(reservedSlots = 124)",
      from));
  EXPECT_TRUE(refused.closed_without_reply(5000));
  // One goes: a new connection is served again.
  second.close();
  ASSERT_TRUE(daemon_.wait_for("Removed child process", from));
  ZentsdClient again;
  EXPECT_GT(connect_another(&again), 0);
}

TEST_F(Zentsd, ServingInTheListeningProcess) {
  daemon_extra = {"-f"};
  ASSERT_TRUE(start());
  ASSERT_TRUE(startup());
  EXPECT_EQ(client_.call(testsupport::req_plain(0)).status, 0);
  finish();
  ASSERT_TRUE(start());  // the next connection after the first has ended
  ASSERT_TRUE(startup());
  finish();
  EXPECT_FALSE(contains(daemon_.log(), "Client handler process id")) << daemon_.log();
  EXPECT_EQ(daemon_.stop().exit_status, 0);
}

}  // namespace
