// Client sessions with the task kernel: framing limits, frames that arrive in
// pieces, a stalled client, the wake-up accounting between the idle task and
// the workers, the database session's end, refusal at accept and shutdown.
//
// SessionServer runs the real idle task and select thread with the kernel on
// a thread of its own while the test thread plays the clients over loopback
// TCP. WorkerKernel runs the kernel on the test thread with a driver task in
// place of the idle task, for cases whose order of events must be exact.
#include "server/client_session.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/server_counters.h"
#include "base/task_kernel.h"
#include "server/dispatch.h"
#include "server/name_lookup.h"
#include "server/server_main.h"
#include "server/server_seams.h"
#include "server/server_tasks.h"
#include "server/tcp.h"
#include "server/vtimer.h"
#include "support/fake_dns.h"
#include "support/frame_events.h"
#include "support/memory_log.h"
#include "support/log_capture.h"
#include "support/net_util.h"
#include "support/zent_client.h"

namespace {

using testsupport::Bytes;
using testsupport::LogCapture;
using testsupport::PayloadWriter;
using testsupport::StartupMessage;
using testsupport::ZentClient;
using Clock = std::chrono::steady_clock;

using FrameBase = testsupport::ServerFrame;

// --- The whole road over TCP ------------------------------------------------

class SessionServer : public FrameBase {
 protected:
  static constexpr int kSlots = 8;
  void SetUp() override { start(kSlots); }
  void TearDown() override {
    stop();
    if (server_listen_socket >= 0) tcp_close(server_listen_socket);
    server_listen_socket = -1;
    tear_down_frame();
    log_.stop();
  }
  testsupport::MemoryLog log_;
  void start(int slots) {
    // The handshake opens a database session, whose transaction node
    // lives in the log.
    ASSERT_TRUE(log_.start());
    set_up_frame(slots);
    server_listen_socket = tcp_listen(nullptr);
    ASSERT_GE(server_listen_socket, 0);
    ASSERT_EQ(tcp_local_addr(server_listen_socket, nullptr, &port_, nullptr), 0);
    tc_idle = thread_create(idle_thread, 10);
    closer_ = thread_create(closer_body, 3);
    ASSERT_NE(closer_, nullptr);
    add_tasks();
    ASSERT_EQ(master_set_add(server_listen_socket), 0);
    // As the server runs: the idle task waits for the sockets itself.
    bg_tcp_poll_in_idle(true);
    kernel_ = std::thread([] { thread_run(); });
  }
  // Further tasks of a fixture, made before the kernel runs.
  virtual void add_tasks() {}
  // The shutdown's part: every session is closed and its worker ends
  // before the kernel stops.
  void stop() {
    if (!kernel_.joinable()) return;
    thread_post_unblock(closer_);
    notify_event("SHUTDOWN");
    kernel_.join();
    EXPECT_EQ(workers(), 0);
    EXPECT_EQ(seam_db_sessions_open(), 0);
  }
  static void closer_body() {
    thread_block(thread_self());
    thread_yield();
    server_shutdown = 1;
    sessions_close_all();
    thread_stop();
  }
  bool connect(ZentClient& c) { return c.connect(port_); }
  // Connected and past the handshake.
  bool open_session(ZentClient& c) { return connect(c) && c.handshake(); }

  uint16_t port_ = 0;
  Task* closer_ = nullptr;
  std::thread kernel_;
};

TEST_F(SessionServer, HandshakeAndNoopsOverTcp) {
  ZentClient c;
  ASSERT_TRUE(connect(c));
  testsupport::StartupReply r;
  ASSERT_TRUE(c.handshake({}, &r));
  EXPECT_EQ(r.revision, 1);
  EXPECT_EQ(r.byte_order, 1234);
  EXPECT_EQ(r.charset, "ISO8859/1");
  EXPECT_EQ(r.challenge.size(), 32u);
  for (uint16_t id = 1; id <= 3; ++id) EXPECT_TRUE(c.noop(id)) << id;
}

struct FrameCase {
  const char* name;
  bool established;  // handshake first
  uint32_t length;   // the length word sent
  bool answered;
};

class FramingLimitTest : public SessionServer, public ::testing::WithParamInterface<FrameCase> {};

// Payloads that fit the limit are served; the others close the connection
// without a reply, the payload unread.
TEST_P(FramingLimitTest, ServesOrClosesWithoutReply) {
  const FrameCase& fc = GetParam();
  LogCapture log("P2");
  ZentClient c;
  ASSERT_TRUE(connect(c));
  if (fc.established) {
    ASSERT_TRUE(c.handshake());
  }
  ASSERT_TRUE(c.send_raw(PayloadWriter(true).u32(fc.length).bytes()));
  if (!fc.answered && fc.length > 0) {
    EXPECT_TRUE(c.closed_without_reply()) << log.text();
    EXPECT_TRUE(log.contains("server message size exceeds limit"));
    return;
  }
  Bytes payload;
  if (fc.established) {
    payload = testsupport::encode_request(5, 1);
  } else {
    // A handshake whose platform text pads it out to the length.
    StartupMessage m;
    m.platform.clear();
    const size_t base = testsupport::encode_startup(m).size();
    m.platform.assign(fc.length > base ? fc.length - base : 0, 'p');
    payload = testsupport::encode_startup(m);
  }
  payload.resize(fc.length, 0);
  ASSERT_TRUE(c.send_raw(payload));
  if (!fc.answered) {
    EXPECT_TRUE(c.closed_without_reply());
    EXPECT_TRUE(log.contains("tcp_recv(): failed"));
    return;
  }
  Bytes reply;
  ASSERT_EQ(c.recv_frame(&reply), 1);
  if (fc.established) {
    EXPECT_EQ(reply, (Bytes{5, 0, 0, 0}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FramingLimitTest,
    ::testing::Values(FrameCase{"Initial255", false, 255, true},
                      FrameCase{"Initial256", false, 256, true},
                      FrameCase{"Initial257", false, 257, false},
                      // The established limit does not hold before the handshake.
                      FrameCase{"Initial1MiB", false, 0x100000, false},
                      FrameCase{"InitialZero", false, 0, false},
                      FrameCase{"Established257", true, 257, true},
                      FrameCase{"Established1MiB", true, 0x100000, true},
                      FrameCase{"Established1MiBPlus1", true, 0x100001, false},
                      // The largest length word must not wrap any size sum.
                      FrameCase{"EstablishedMaxLength", true, 0xffffffff, false},
                      FrameCase{"EstablishedZero", true, 0, false}),
    [](const ::testing::TestParamInfo<FrameCase>& p) { return std::string(p.param.name); });

TEST_F(SessionServer, ARequestLargerThanTheAreaIsServedAndTheNextOneToo) {
  ZentClient c;
  ASSERT_TRUE(open_session(c));
  Bytes big = testsupport::encode_request(9, 1);
  big.resize(40000, 0xee);
  ASSERT_TRUE(c.send_frame(big));
  Bytes reply;
  ASSERT_EQ(c.recv_frame(&reply), 1);
  EXPECT_EQ(reply, (Bytes{9, 0, 0, 0}));
  EXPECT_TRUE(c.noop(10));
}

// Requests sent together, before any reply, arrive in one read: each is
// answered, in order, and the connection goes on as usual after them.
TEST_F(SessionServer, RequestsSentTogetherAreEachAnsweredInOrder) {
  ZentClient c;
  ASSERT_TRUE(open_session(c));
  for (const size_t count : {2u, 3u, 64u, 65u, 100u}) {
    SCOPED_TRACE(count);
    Bytes stream;
    for (uint16_t id = 1; id <= count; ++id) {
      const Bytes f = testsupport::frame(testsupport::encode_request(id, 1));
      stream.insert(stream.end(), f.begin(), f.end());
    }
    ASSERT_TRUE(c.send_raw(stream));
    for (uint16_t id = 1; id <= count; ++id) {
      Bytes reply;
      ASSERT_EQ(c.recv_frame(&reply), 1) << id;
      EXPECT_EQ(reply, PayloadWriter(false).u16(id).u16(0).bytes());
    }
    EXPECT_TRUE(c.noop(1000));
  }
}

// A request whose first bytes come with the one before it and whose rest
// comes later is assembled: the bytes read ahead start the frame.
TEST_F(SessionServer, ARequestBegunInTheReadOfTheOneBeforeIsCompletedLater) {
  ZentClient c;
  ASSERT_TRUE(open_session(c));
  const Bytes first = testsupport::frame(testsupport::encode_request(1, 1));
  Bytes big = testsupport::encode_request(2, 1);
  big.resize(2000, 0xee);
  const Bytes second = testsupport::frame(big);
  for (const size_t cut : {size_t{2}, size_t{4}, size_t{5}, size_t{300}}) {
    SCOPED_TRACE(cut);
    Bytes stream = first;
    stream.insert(stream.end(), second.begin(), second.begin() + static_cast<long>(cut));
    ASSERT_TRUE(c.send_raw(stream));
    Bytes reply;
    ASSERT_EQ(c.recv_frame(&reply), 1);
    EXPECT_EQ(reply, (Bytes{1, 0, 0, 0}));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(c.send_raw(Bytes(second.begin() + static_cast<long>(cut), second.end())));
    ASSERT_EQ(c.recv_frame(&reply), 1);
    EXPECT_EQ(reply, (Bytes{2, 0, 0, 0}));
  }
}

TEST_F(SessionServer, UnknownClassClosesWithoutReply) {
  ZentClient c;
  ASSERT_TRUE(open_session(c));
  ASSERT_TRUE(c.send_frame(testsupport::encode_request(1, 2)));
  EXPECT_TRUE(c.closed_without_reply());
}

// A frame trickling in byte by byte is answered once complete, and other
// clients are served while it arrives.
TEST_F(SessionServer, AFrameInPiecesIsServedWhileOthersAreToo) {
  ZentClient slow, quick;
  ASSERT_TRUE(open_session(slow));
  ASSERT_TRUE(open_session(quick));
  const Bytes frame = testsupport::frame(testsupport::encode_request(77, 1));
  uint16_t id = 0;
  for (uint8_t b : frame) {
    ASSERT_TRUE(slow.send_raw(&b, 1));
    ASSERT_TRUE(quick.noop(++id));
  }
  Bytes reply;
  ASSERT_EQ(slow.recv_frame(&reply), 1);
  EXPECT_EQ(reply, (Bytes{77, 0, 0, 0}));
}

// One client stops in the middle of a frame: the others keep getting
// replies, and the stalled one is closed after the frame time-out.
TEST_F(SessionServer, AStalledClientHoldsUpNobodyAndIsClosedAfterTheTimeOut) {
  LogCapture log("P0");
  session_set_frame_timeout_ms(300);
  ZentClient stalled, other;
  ASSERT_TRUE(open_session(stalled));
  ASSERT_TRUE(open_session(other));
  const Bytes frame = testsupport::frame(testsupport::encode_request(1, 1));
  ASSERT_TRUE(stalled.send_raw(frame.data(), 5));  // length word and one payload byte
  const auto start = Clock::now();
  for (uint16_t id = 1; id <= 20; ++id) ASSERT_TRUE(other.noop(id));
  EXPECT_TRUE(stalled.closed_without_reply(5000));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_TRUE(log.contains("Receive time-out in the middle of a message")) << log.text();
  EXPECT_TRUE(other.noop(99));
}

// Handshake texts come from the client: control characters in them are
// logged escaped, so a forged newline cannot start a log line of its own
// and escape codes and carriage returns never reach a terminal raw.
TEST_F(SessionServer, ForgedLinesInHandshakeTextsStayInsideTheirOwnLine) {
  LogCapture log("P2");
  StartupMessage m;
  m.platform = "LINUX\n(1) D0: server panic: forged";
  m.charset = "ISO8859/1\r\x1b[2J";
  m.os_user = "tester\n\t\x7f";
  ZentClient c;
  ASSERT_TRUE(connect(c));
  ASSERT_TRUE(c.handshake(m));
  ASSERT_TRUE(c.noop(1));
  const std::string text = log.text();
  EXPECT_EQ(text.find("\n(1) D0: server panic"), std::string::npos) << text;
  EXPECT_EQ(text.find('\r'), std::string::npos) << text;
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  EXPECT_EQ(text.find('\x7f'), std::string::npos) << text;
  EXPECT_EQ(text.find('\t'), std::string::npos) << text;
  EXPECT_NE(text.find("P2: startup: platform = LINUX\\n(1) D0: server panic: forged\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("P2: startup: charset = ISO8859/1\\r\\x1b[2J\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("P2: startup: os_user = tester\\n\\t\\x7f\n"), std::string::npos) << text;
}

// A connection that never completes its handshake is closed after the
// frame time-out, even when it never sends a byte; once past the
// handshake, a connection may stay idle for as long as it likes.
TEST_F(SessionServer, ASilentConnectionIsClosedButAnEstablishedIdleOneStays) {
  LogCapture log("P1");
  session_set_frame_timeout_ms(300);
  ZentClient silent, half, idle;
  ASSERT_TRUE(connect(silent));
  ASSERT_TRUE(connect(half));
  ASSERT_TRUE(open_session(idle));
  // Part of a handshake: the deadline counts from the connect, not from
  // the first byte.
  ASSERT_TRUE(half.send_raw(PayloadWriter(true).u32(30).u16(0x5a4e).bytes()));
  const auto start = Clock::now();
  EXPECT_TRUE(silent.closed_without_reply(5000));
  EXPECT_TRUE(half.closed_without_reply(5000));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_TRUE(log.contains("Handshake time-out - dropping connection")) << log.text();
  // Well past the time-out and idle all along: still served.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_TRUE(idle.noop(1));
}

// The TCP layer's receive lines, as log readers know them, on the road of
// every request.
TEST_F(SessionServer, ReceivesLogTheTcpLinesAtLevel2) {
  ZentClient c;
  ASSERT_TRUE(open_session(c));
  {
    LogCapture log("X2");
    ASSERT_TRUE(c.noop(1));
    // The length word, then the 4-byte request.
    testsupport::expect_in_order(log.text(), {"X2: tcp_recv, expected 4 bytes\n",
                                              "X2: tcp_recv, expected 4 bytes\n",
                                              "X2: tcp_send\n"});
  }
  LogCapture log("X2");
  c.close();
  for (int i = 0; i < 200 && workers() > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(log.contains("X2: tcp_recv, expected 4 bytes\n")) << log.text();
  EXPECT_TRUE(log.contains("X2: tcp_recv: EOF\n")) << log.text();
  EXPECT_FALSE(log.contains("X1:")) << log.text();
}

// --- Host names, looked up off the server thread ------------------------------

// The server with the resolver thread asking a name server of the test's.
class NamedSessionServer : public SessionServer {
 protected:
  void SetUp() override {
    dns_ = std::make_unique<testsupport::FakeDns>(name());
    name_lookup_set_servers(dns_->servers().c_str());
    name_lookup_set_limit_ms(limit_ms());
    SessionServer::SetUp();
    ASSERT_EQ(name_lookup_start(), 0);
  }
  void TearDown() override {
    name_lookup_stop();
    SessionServer::TearDown();
    name_lookup_set_servers(nullptr);
    name_lookup_set_limit_ms(0);
    dns_.reset();
  }
  virtual std::string name() const { return "client.example.test"; }
  virtual int limit_ms() const { return 0; }
  // Waits until the log holds text.
  static bool log_shows(const LogCapture& log, const std::string& text) {
    for (int i = 0; i < 500; ++i) {
      if (log.contains(text)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  // Closes c and waits until its worker has ended.
  void close_and_settle(ZentClient& c) {
    c.close();
    for (int i = 0; i < 500 && workers() > 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // With the name server in mode, a client that is served at once.
  void open_served_session(ZentClient& c, testsupport::FakeDns::Mode mode) {
    dns_->set_mode(mode);
    ASSERT_TRUE(open_session(c));
    ASSERT_TRUE(c.noop(1));
  }
  std::unique_ptr<testsupport::FakeDns> dns_;
};

// While the name server holds its answer the client is served with its
// dotted address; the name, when it comes, is the connection's from then on.
TEST_F(NamedSessionServer, TheConnectionGoesOnAtOnceAndTakesItsNameWhenItArrives) {
  LogCapture log("D1X2");
  ZentClient c;
  ASSERT_NO_FATAL_FAILURE(open_served_session(c, testsupport::FakeDns::Mode::Hold));
  ASSERT_TRUE(dns_->wait_for_questions(1, 5000));
  EXPECT_FALSE(log.contains("host name")) << log.text();
  dns_->set_mode(testsupport::FakeDns::Mode::Answer);
  ASSERT_TRUE(log_shows(log, ": host name client.example.test\n")) << log.text();
  EXPECT_TRUE(c.noop(2));
  close_and_settle(c);
  testsupport::expect_in_order(log.text(), {"D1: Connection from 127.0.0.1 port ",
                                            ": host name client.example.test\n",
                                            "D1: Disconnected client.example.test port "});
}

class SlowNameServer : public NamedSessionServer {
 protected:
  int limit_ms() const override { return 300; }
};

// A name server that never answers costs the connection nothing but its
// name: after the time limit the lookup is given up.
TEST_F(SlowNameServer, ALookupNotAnsweredInTimeLeavesTheAddress) {
  LogCapture log("D1X2");
  ZentClient c;
  ASSERT_NO_FATAL_FAILURE(open_served_session(c, testsupport::FakeDns::Mode::Silent));
  ASSERT_TRUE(log_shows(log, "X2: No host name for 127.0.0.1: ")) << log.text();
  close_and_settle(c);
  EXPECT_TRUE(log.contains("D1: Disconnected 127.0.0.1 port ")) << log.text();
  EXPECT_FALSE(log.contains(": host name ")) << log.text();
}

class ForgingNameServer : public NamedSessionServer {
 protected:
  std::string name() const override { return "evil\n(1) D0: server panic: forged.test"; }
};

// A name that holds a newline never starts a log line of its own: the
// resolver refuses it as a misformatted reply (and would it pass, the name
// is logged escaped).
TEST_F(ForgingNameServer, AForgedLineInAHostNameStaysInsideItsLine) {
  LogCapture log("D2X2");
  ZentClient c;
  ASSERT_TRUE(open_session(c));
  ASSERT_TRUE(dns_->wait_for_questions(1, 5000));
  ASSERT_TRUE(log_shows(log, "127.0.0.1")) << log.text();
  ASSERT_TRUE(c.noop(1));
  close_and_settle(c);
  EXPECT_EQ(log.text().find("\n(1) D0: server panic: forged"), std::string::npos) << log.text();
  EXPECT_TRUE(log.contains("Disconnected ")) << log.text();
}

// A client that sends requests but never reads the replies: once the
// socket holds no more of them, that reply waits in its worker while the
// server serves the others, and the client, which sent while its reply was
// waiting, is dropped. The time-out is far longer than any wait here, so a
// send that held the server thread would fail this test.
TEST_F(SessionServer, AClientThatStopsReadingHoldsUpNobody) {
  session_set_frame_timeout_ms(60000);
  // Small buffers on both ends, so that few replies fill them.
  const int small = 4096;
  ASSERT_EQ(setsockopt(server_listen_socket, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  ZentClient deaf, other;
  ASSERT_TRUE(deaf.connect(port_, small));
  ASSERT_TRUE(deaf.handshake());
  ASSERT_TRUE(open_session(other));

  Bytes requests;
  for (int i = 0; i < 64; ++i) {
    const Bytes f = testsupport::frame(testsupport::encode_request(1, 1));
    requests.insert(requests.end(), f.begin(), f.end());
  }
  std::atomic<bool> stop{false}, dropped{false};
  std::thread writer([&] {
    const timeval tv{0, 100000};
    setsockopt(deaf.fd(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    size_t at = 0;  // place in the endless run of whole frames
    while (!stop) {
      const ssize_t n = send(deaf.fd(), requests.data() + at, requests.size() - at, MSG_NOSIGNAL);
      if (n > 0) {
        at = (at + static_cast<size_t>(n)) % requests.size();
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        dropped = true;
        return;
      }
    }
  });
  const auto start = Clock::now();
  uint16_t id = 0;
  while (!dropped && Clock::now() - start < std::chrono::seconds(10)) {
    const auto t0 = Clock::now();
    ASSERT_TRUE(other.noop(++id)) << id;
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2)) << id;
  }
  stop = true;
  writer.join();
  EXPECT_TRUE(dropped);
  EXPECT_TRUE(other.noop(++id));
}

TEST_F(SessionServer, ShutdownClosesEverySessionAndEndsItsDatabaseSession) {
  ZentClient a, b, idle_client;
  ASSERT_TRUE(open_session(a));
  ASSERT_TRUE(open_session(b));
  ASSERT_TRUE(connect(idle_client));  // connected, no handshake
  ASSERT_TRUE(a.noop(1));
  stop();  // checks that no worker and no database session is left
  EXPECT_TRUE(a.closed_without_reply());
  EXPECT_TRUE(b.closed_without_reply());
  EXPECT_TRUE(idle_client.closed_without_reply());
}

// The request path holds one unit of the API lock: while an exclusive
// holder has all of it, a request waits (asleep on the lock, the other
// tasks running) and is served once the holder lets go; a close cuts that
// wait short and the worker ends.
struct ApiHold {
  std::atomic<bool> go{false};
  std::atomic<bool> held{false};
  std::atomic<bool> saw_waiter{false};
  std::atomic<bool> released{false};
  bool release = true;
};
std::atomic<ApiHold*> g_hold{nullptr};

class ApiLockServer : public SessionServer {
 protected:
  void add_tasks() override {
    holder_ = thread_create(holder_body, 10);
    ASSERT_NE(holder_, nullptr);
  }
  void TearDown() override {
    SessionServer::TearDown();
    g_hold = nullptr;
    Tlog_ResetSemaphores();  // a holder that kept the lock ended with the kernel
  }
  // Takes the whole lock when told to, waits until a request sleeps on
  // it, then gives it back or keeps it. While it waits it lets the idle
  // task through at once (an event each turn), so that the other tasks go on.
  static void turn() {
    notify_event("HOLD");
    thread_yield();
  }
  static void holder_body() {
    ApiHold* h = nullptr;
    while ((h = g_hold.load()) == nullptr || !h->go) turn();
    ASSERT_EQ(Tlog_ApiLock(), 0);
    h->held = true;
    while (Tlog_ApiWaiters() == 0) turn();
    h->saw_waiter = true;
    if (!h->release) return;  // the close cuts the wait; the kernel stops with it held
    h->released = true;
    Tlog_ApiUnlock();
  }
  Task* holder_ = nullptr;
};

TEST_F(ApiLockServer, ARequestWaitsForTheExclusiveHolderAndIsServedAfterIt) {
  ApiHold hold;
  g_hold = &hold;
  ZentClient c;
  ASSERT_TRUE(open_session(c));
  hold.go = true;
  while (!hold.held) std::this_thread::yield();
  EXPECT_TRUE(c.noop(7));  // answered only after the holder let go
  EXPECT_TRUE(hold.saw_waiter);
  EXPECT_TRUE(hold.released);
  EXPECT_TRUE(c.noop(8));
}

TEST_F(ApiLockServer, ACloseCutsTheWaitForTheLockShort) {
  ApiHold hold;
  hold.release = false;
  g_hold = &hold;
  ZentClient c;
  ASSERT_TRUE(open_session(c));
  hold.go = true;
  while (!hold.held) std::this_thread::yield();
  ASSERT_TRUE(c.send_raw(testsupport::frame(testsupport::encode_request(9, 1))));
  while (!hold.saw_waiter) std::this_thread::yield();
  stop();  // closes the session: the waiting worker ends, no session is left
  EXPECT_TRUE(c.closed_without_reply());
}

class SmallServer : public SessionServer {
 protected:
  void SetUp() override { start(2); }
};

TEST_F(SmallServer, AConnectionBeyondTheWorkerSlotsIsRefused) {
  LogCapture log("D0");
  ZentClient a, b, c;
  ASSERT_TRUE(open_session(a));
  ASSERT_TRUE(open_session(b));
  ASSERT_TRUE(connect(c));
  EXPECT_TRUE(c.closed_without_reply());
  EXPECT_TRUE(log.contains("No room for another client connection")) << log.text();
  a.close();
  // Once a slot is free again a new client is served.
  const auto give_up = Clock::now() + std::chrono::seconds(10);
  while (workers() == 2 && Clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ZentClient d;
  EXPECT_TRUE(open_session(d));
}

// --- Exact orders of events ---------------------------------------------------

// The kernel runs on the test thread; a driver task (priority 6, so a woken
// worker always runs first) plays the idle task's part and then stops.
class WorkerKernel : public FrameBase {
 protected:
  void SetUp() override {
    ASSERT_TRUE(log_.start());  // for the database sessions of handshakes
    set_up_frame(4);
  }
  void TearDown() override {
    tear_down_frame();
    log_.stop();
  }
  testsupport::MemoryLog log_;
  static Task* worker(int i) { return tc_worker[i]; }
  // What the idle task does for a readable socket.
  static void wake_as_idle(Task* t) {
    ++client_pending_cnt;
    thread_unblock(t);
  }
};

// The idle task woke the worker (the select thread waits for it), then the
// connection was closed before the worker ran: the worker must still settle
// its wake-up, or the server would never hear anybody again.
TEST_F(WorkerKernel, AWokenWorkerThatFindsItsConnectionClosingSettlesItsWakeUp) {
  start_worker();
  run([] {
    settle();  // the worker runs up to its first block
    tcp_ack_event->reset();
    wake_as_idle(worker(0));
    close_connection(worker(0));
    settle();
    thread_stop();
  });
  EXPECT_EQ(client_pending_cnt, 0);
  EXPECT_TRUE(tcp_ack_event->is_set());
  EXPECT_EQ(workers(), 0);
}

// A close that wakes a blocked worker was never counted: the worker must not
// take a count that belongs to another woken worker.
TEST_F(WorkerKernel, AWorkerWokenByItsCloseLeavesOtherWakeUpsCounted) {
  start_worker();
  start_worker();
  run([] {
    settle();
    tcp_ack_event->reset();
    ++client_pending_cnt;  // worker 1 is woken ...
    close_connection(worker(0));  // ... and worker 0 closed while blocked
    settle();
    thread_stop();
  });
  EXPECT_EQ(client_pending_cnt, 1);
  EXPECT_FALSE(tcp_ack_event->is_set());
}

// The handshake opens the database session before its reply goes out; when
// the reply cannot be sent the session must still end.
TEST_F(WorkerKernel, AHandshakeReplyThatCannotBeSentStillEndsTheDatabaseSession) {
  const int client = start_worker();
  const Bytes frame = testsupport::frame(testsupport::encode_startup({}));
  ASSERT_EQ(write(client, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  close(client);  // gone before the reply
  client_fds_.clear();
  run([] {
    settle();
    tcp_ack_event->reset();
    wake_as_idle(worker(0));
    settle();
    thread_stop();
  });
  EXPECT_EQ(workers(), 0);
  EXPECT_EQ(seam_db_sessions_open(), 0);
  EXPECT_EQ(client_pending_cnt, 0);
}

// A frame split over several wake-ups keeps its place between them.
TEST_F(WorkerKernel, AFrameSplitOverWakeUpsIsAssembled) {
  static int client = -1;
  client = start_worker();
  static Bytes frame;
  frame = testsupport::frame(testsupport::encode_startup({}));
  run([] {
    settle();
    ClientSession* s = session_of(worker(0));
    const size_t cuts[] = {2, 6, frame.size()};
    size_t sent = 0;
    for (size_t cut : cuts) {
      ASSERT_EQ(write(client, frame.data() + sent, cut - sent), static_cast<ssize_t>(cut - sent));
      sent = cut;
      wake_as_idle(worker(0));
      settle();
      if (cut < frame.size()) {
        EXPECT_NE(s->rx_deadline_ms, 0u) << cut;
        EXPECT_EQ(s->async_state, cut < 4 ? AS_RECV : AS_RECV2) << cut;
      }
    }
    EXPECT_EQ(s->state, static_cast<uint32_t>(State_Established));
    EXPECT_EQ(s->rx_deadline_ms, 0u);
    thread_stop();
  });
  Bytes reply(4);
  ASSERT_EQ(read(client, reply.data(), 4), 4);
  EXPECT_EQ(client_pending_cnt, 0);
}

// The frame time-out check is posted work. It can run in the scheduler pass
// that the overdue worker itself enters when it blocks to wait for the rest
// of its frame; the check must still wake it, so that the worker ends its
// database session and frees its slot, and the shutdown finds nobody left to
// wait for.
TEST_F(WorkerKernel, AWorkerClosedByTheTimeOutCheckInsideItsOwnBlockEnds) {
  static int client = -1;
  client = start_worker();
  static double close_all_seconds;
  run([] {
    thread_create(+[] {  // the idle task's part: sleep while nothing runs
      for (;;) {
        sync_sem->wait();
        thread_yield();
      }
    }, 10);
    settle();
    // The task is never unwound (thread_stop): nothing here may need a
    // destructor.
    static Bytes hello, reply;
    hello = testsupport::frame(testsupport::encode_startup({}));
    ASSERT_EQ(write(client, hello.data(), hello.size()), static_cast<ssize_t>(hello.size()));
    wake_as_idle(worker(0));
    settle();
    ASSERT_EQ(session_of(worker(0))->state, static_cast<uint32_t>(State_Established));
    ASSERT_EQ(seam_db_sessions_open(), 1);
    reply.assign(hello.size() + 64, 0);
    ASSERT_GT(read(client, reply.data(), reply.size()), 0);

    ASSERT_EQ(write(client, "\0\0", 2), 2);  // half a length word
    wake_as_idle(worker(0));
    // Run in the pass after the worker's wake-up, which is the pass the
    // worker enters when it blocks for the rest of the frame.
    thread_post(+[](void*) {
      thread_post(+[](void*) {
        ClientSession* s = session_of(worker(0));
        if (s != nullptr && s->rx_deadline_ms != 0) s->rx_deadline_ms = 1;  // overdue
        sessions_check_frame_timeouts(nullptr);
      }, nullptr);
    }, nullptr);
    settle();
    EXPECT_EQ(worker(0), nullptr);
    static Clock::time_point t0;
    t0 = Clock::now();
    sessions_close_all();
    close_all_seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    thread_stop();
  });
  EXPECT_EQ(workers(), 0);
  EXPECT_EQ(seam_db_sessions_open(), 0);
  EXPECT_EQ(client_pending_cnt, 0);
  EXPECT_LT(close_all_seconds, 1.0);
  char byte;
  EXPECT_EQ(read(client, &byte, 1), 0);  // closed
}

// A close cuts only a wait that may be cut: a page or I/O wait finishes
// (its owner cannot give up half-way), and the task then finds its session
// closing; a lock or semaphore wait ends at once with -1.
struct CutCase {
  const char* name;
  int (*wait)();  // the task's wait; returns its result
  bool cut;       // the close ends it
};

WaitQueue g_wait_queue;
Semaphore g_wait_sem;  // no unit free
int g_wait_result;

class CloseCutsWaits : public WorkerKernel, public ::testing::WithParamInterface<CutCase> {};

TEST_P(CloseCutsWaits, OnlyAWaitThatMayBeCutEndsAtTheClose) {
  static const CutCase* c;
  c = &GetParam();
  g_wait_queue = {};
  g_wait_sem = {};
  g_wait_result = 99;
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  client_fds_.push_back(fds[0]);
  static ClientSession* session;
  session = static_cast<ClientSession*>(calloc(1, sizeof(ClientSession)));
  session->magic = SESSION_MAGIC;
  session->sockfd = fds[1];
  session->host = strdup("pair");
  static Task* waiter;
  waiter = thread_create(+[] { g_wait_result = c->wait(); }, 5);
  ASSERT_NE(waiter, nullptr);
  thread_set_data(waiter, session, +[](void* p) {
    session_release(static_cast<ClientSession*>(p));
    free(p);
  });
  run([] {
    settle();
    close_connection(waiter);
    settle();
    EXPECT_EQ(g_wait_result, c->cut ? -1 : 99);
    EXPECT_TRUE(session->closing);
    EXPECT_EQ(session->sockfd, -1);
    if (!c->cut) wake_up(&g_wait_queue);  // the page arrives
    settle();
    EXPECT_EQ(g_wait_result, c->cut ? -1 : 0);
    thread_stop();
  });
}

INSTANTIATE_TEST_SUITE_P(
    Waits, CloseCutsWaits,
    ::testing::Values(
        CutCase{"PageWait",
                +[] { return sleep_on(&g_wait_queue, WAIT_NEVER_CUT, __FILE__, __LINE__); }, false},
        CutCase{"LockWait",
                +[] { return sleep_on(&g_wait_queue, WAIT_MAY_BE_CUT, __FILE__, __LINE__); }, true},
        CutCase{"Semaphore", +[] { return down(&g_wait_sem, __FILE__, __LINE__); }, true}),
    [](const ::testing::TestParamInfo<CutCase>& p) { return std::string(p.param.name); });

// Replies a client does not take: the worker's socket is made small and the
// client's end holds the handshake and many no-ops, unread replies pile up.
class UnreadReplies : public WorkerKernel {
 protected:
  static constexpr int kNoops = 4000;
  void SetUp() override {
    WorkerKernel::SetUp();
    client_ = start_worker();
    const int small = 4096;
    ASSERT_EQ(setsockopt(session_of(worker(0))->sockfd, SOL_SOCKET, SO_SNDBUF, &small,
                         sizeof small),
              0);
    Bytes stream = testsupport::frame(testsupport::encode_startup({}));
    for (uint16_t id = 1; id <= kNoops; ++id) {
      const Bytes f = testsupport::frame(testsupport::encode_request(id, 1));
      stream.insert(stream.end(), f.begin(), f.end());
    }
    ASSERT_EQ(write(client_, stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
  }
  // From the driver task: wakes the worker for one request after another
  // until a reply no longer fits the socket. True when it waits for room,
  // asleep, while this task runs on.
  static bool serve_until_a_reply_waits() {
    ClientSession* s = session_of(worker(0));
    for (int i = 0; i < kNoops && s->async_state != AS_XMIT2; ++i) {
      if (thread_state(worker(0)) == TS_BLOCKED && thread_wchan(worker(0)) == nullptr)
        wake_as_idle(worker(0));
      settle();
    }
    return s->async_state == AS_XMIT2 && thread_wchan(worker(0)) != nullptr;
  }
  // From the driver task: lets the other tasks and the posted work run until
  // done() holds or 5 seconds have passed.
  static bool yield_until(bool (*done)()) {
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (!done() && Clock::now() < end) thread_yield();
    return done();
  }
  // Takes what the client's end holds; checks the handshake reply and that
  // the no-op replies follow in order. Returns how many no-op replies came.
  int take_replies() {
    for (;;) {
      uint8_t chunk[4096];
      const ssize_t n = recv(client_, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n <= 0) break;
      got_.insert(got_.end(), chunk, chunk + n);
    }
    size_t at = 0;
    int noops = 0;
    while (got_.size() - at >= 4) {
      const uint32_t len = uint32_t{got_[at]} << 24 | uint32_t{got_[at + 1]} << 16 |
                           uint32_t{got_[at + 2]} << 8 | got_[at + 3];
      if (got_.size() - at - 4 < len) break;
      const Bytes payload(got_.begin() + static_cast<long>(at + 4),
                          got_.begin() + static_cast<long>(at + 4 + len));
      if (at == 0) {
        testsupport::StartupReply r;
        EXPECT_TRUE(testsupport::decode_startup_reply(payload, &r));
      } else {
        ++noops;
        EXPECT_EQ(payload, PayloadWriter(false).u16(static_cast<uint16_t>(noops)).u16(0).bytes());
      }
      at += 4 + len;
    }
    return noops;
  }

  int client_ = -1;
  Bytes got_;
};

// The reply waits in its worker without holding the server thread, and goes
// out whole, in order, once the client takes the earlier ones. The worker
// then goes on with the requests its last read took ahead, without a
// wake-up, until their bytes are used up or a reply waits again.
TEST_F(UnreadReplies, AReplyWaitsForRoomAsleepAndGoesOutWhenTheClientReads) {
  static bool waited;
  run([] {
    waited = serve_until_a_reply_waits();
    thread_stop();
  });
  ASSERT_TRUE(waited);
  const int before = take_replies();
  EXPECT_GT(before, 0);
  static bool sent;
  static uint64_t served;
  served = server_counters.requests.load();
  run([] {
    // Done when the worker waits for its socket, or when a later request's
    // reply waits in its turn (the one that waited has gone then).
    sent = yield_until([] {
      const ClientSession* s = session_of(worker(0));
      return (s->async_state == AS_RECV && !rx_ahead_held(s)) ||
             (s->async_state == AS_XMIT2 && thread_wchan(worker(0)) != nullptr &&
              server_counters.requests.load() > served);
    });
    thread_stop();
  });
  EXPECT_TRUE(sent);
  const int after = take_replies();
  EXPECT_GE(after, before + 1);
  // A no-op request is 8 bytes with its length word: no more than one
  // read-ahead's worth is served without a wake-up.
  EXPECT_LE(after, before + 1 + static_cast<int>(kRxAheadSize / 8));
  EXPECT_EQ(client_pending_cnt, 0);
}

// A client that takes nothing for the frame time-out is dropped.
TEST_F(UnreadReplies, AClientThatTakesNoReplyIsDroppedAfterTheTimeOut) {
  LogCapture log("P0");
  session_set_frame_timeout_ms(300);
  static bool waited, gone;
  static Clock::time_point waiting_since;
  run([] {
    waited = serve_until_a_reply_waits();
    waiting_since = Clock::now();
    gone = yield_until([] { return tc_worker[0] == nullptr; });
    thread_stop();
  });
  ASSERT_TRUE(waited);
  EXPECT_TRUE(gone);
  EXPECT_GE(Clock::now() - waiting_since, std::chrono::milliseconds(250));
  EXPECT_TRUE(log.contains("Send time-out")) << log.text();
  EXPECT_EQ(client_pending_cnt, 0);
  EXPECT_EQ(seam_db_sessions_open(), 0);
}

// Without waiting: a reply larger than the socket takes goes out in pieces,
// each call resuming where the last one stopped.
TEST(TxReply, SendsWhatTheSocketTakesAndResumesThere) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  const int small = 4096;
  ASSERT_EQ(setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  auto* s = static_cast<ClientSession*>(calloc(1, sizeof(ClientSession)));
  s->magic = SESSION_MAGIC;
  s->sockfd = fds[1];
  ASSERT_EQ(session_init(s), 0);
  start_reply(s);
  uint8_t* p = Buffer_Put_raw(&s->buffer, 100000);
  for (uint32_t i = 0; i < 100000; ++i) p[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(finish_reply(s), 0);
  const Bytes want(s->send_ptr, s->send_ptr + s->async_total_sz);

  Bytes got;
  const auto client_reads = [&] {
    uint8_t chunk[4096];
    const ssize_t n = read(fds[0], chunk, sizeof chunk);
    ASSERT_GT(n, 0);
    got.insert(got.end(), chunk, chunk + n);
  };
  int pieces = 0;
  int rc;
  while ((rc = tx_reply(s)) == 1) {
    ++pieces;
    EXPECT_EQ(s->async_state, AS_XMIT2);
    EXPECT_EQ(s->async_ofs + s->async_rem_sz, s->async_total_sz);
    client_reads();
  }
  EXPECT_EQ(rc, 0);
  EXPECT_GT(pieces, 1);
  EXPECT_EQ(s->async_state, AS_IDLE);
  while (got.size() < want.size()) client_reads();
  EXPECT_EQ(got, want);
  close(fds[0]);
  close(fds[1]);
  session_release(s);
  free(s);
}

}  // namespace
