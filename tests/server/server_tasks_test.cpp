// Select hand-off, idle task, HTTP accept serialisation and timers waking
// tasks: the select thread against real loopback sockets, and the task
// kernel running the real idle task.
#include "server/server_tasks.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "base/task_kernel.h"
#include "platform/clock.h"
#include "platform/fault_file.h"
#include "server/client_session.h"
#include "server/server_main.h"
#include "server/system_tasks.h"
#include "server/vtimer.h"
#include "storage/buffer_cache.h"
#include "storage/tlog.h"
#include "storage/vnode.h"
#include "storage/volume_set.h"
#include "support/frame_events.h"
#include "support/log_capture.h"
#include "support/net_util.h"
#include "support/volume_fixture.h"

namespace {

using testsupport::LogCapture;

// A connected loopback pair: server end (as accepted) and client end.
struct Pair {
  int server = -1;
  int client = -1;
};

Pair make_pair_on(int listener) {
  uint16_t port = 0;
  tcp_local_addr(listener, nullptr, &port, nullptr);
  Pair p;
  p.client = testsupport::connect_loopback(port);
  if (p.client < 0) return p;
  for (int i = 0; i < 200 && p.server < 0; ++i) {
    p.server = tcp_accept(listener);
    if (p.server < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return p;
}

void send_byte(int sock) {
  const char c = 'x';
  ASSERT_EQ(send(sock, &c, 1, MSG_NOSIGNAL), 1);
}

// The frame state the select thread and the idle task share.
class FrameState : public ::testing::Test {
 protected:
  void SetUp() override {
    frame_ = std::make_unique<testsupport::FrameEvents>();
    listener_ = tcp_listen(nullptr);
    ASSERT_GE(listener_, 0);
  }
  void TearDown() override {
    frame_.reset();
    bg_tcp_set_poll_hook(nullptr);
    for (Pair& p : pairs_) {
      tcp_close(p.server);
      tcp_close(p.client);
    }
    tcp_close(listener_);
  }
  Pair& pair() {
    pairs_.push_back(make_pair_on(listener_));
    EXPECT_GE(pairs_.back().server, 0);
    return pairs_.back();
  }
  // The idle task's side of one cycle, without tasks: take the result and
  // let the select thread go on.
  void acknowledge() {
    tcp_event->reset();
    client_poll_cnt = 0;
    tcp_ack_event->set();
  }
  void drain(int sock) {
    char buf[64];
    while (recv(sock, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
  }
  std::unique_ptr<testsupport::FrameEvents> frame_;
  int listener_ = -1;
  std::deque<Pair> pairs_;  // references stay valid as pairs are added
};

TEST_F(FrameState, AReadableSocketIsReportedAndNotPolledAgainUntilAcknowledged) {
  Pair& a = pair();
  ASSERT_EQ(master_set_add(a.server), 0);
  ASSERT_EQ(bg_tcp_thread_start(), 0);
  EXPECT_FALSE(sync_sem->wait_for(100));  // nothing to report yet

  send_byte(a.client);
  ASSERT_TRUE(sync_sem->wait_for(3000));
  EXPECT_TRUE(tcp_event->is_set());
  EXPECT_GE(client_poll_cnt, 1);
  EXPECT_TRUE(sockset_isset(a.server, &read_set));

  send_byte(a.client);
  EXPECT_FALSE(sync_sem->wait_for(200));  // no acknowledge: no new round

  drain(a.server);
  acknowledge();
  EXPECT_FALSE(sync_sem->wait_for(200));  // nothing readable any more
  send_byte(a.client);
  EXPECT_TRUE(sync_sem->wait_for(3000));
}

// What the hooks below act on, set by each test before the thread starts.
std::atomic<int> g_poll_rounds{0};
int g_hook_server = -1;
int g_hook_client = -1;

// The socket is added after the select thread copied the set, so the poll
// under way does not watch it: the change must make the thread poll again.
TEST_F(FrameState, ASocketAddedDuringAPollIsWatched) {
  Pair& a = pair();
  send_byte(a.client);  // readable before it is watched
  g_poll_rounds = 0;
  g_hook_server = a.server;
  bg_tcp_set_poll_hook(+[] {
    if (g_poll_rounds++ == 0) master_set_add(g_hook_server);
  });
  ASSERT_EQ(bg_tcp_thread_start(), 0);
  ASSERT_TRUE(sync_sem->wait_for(3000));
  EXPECT_TRUE(sockset_isset(a.server, &read_set));
  EXPECT_GE(g_poll_rounds.load(), 2);
}

// A wake-up ends the poll under way and is used up by it: the thread polls
// once more and then waits, rather than finding the same wake-up again.
TEST_F(FrameState, AWakeUpEndsOnePollAndIsUsedUp) {
  Pair& a = pair();
  g_poll_rounds = 0;
  bg_tcp_set_poll_hook(+[] { ++g_poll_rounds; });
  ASSERT_EQ(bg_tcp_thread_start(), 0);
  // Settled: the thread sits in a poll (a wake-up an earlier set change
  // left costs one round more).
  int settled = -1;
  for (int i = 0; i < 30 && g_poll_rounds.load() != settled; ++i) {
    settled = g_poll_rounds.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_GE(settled, 1);
  ASSERT_EQ(master_set_add(a.server), 0);  // nothing to read: only the wake-up
  for (int i = 0; i < 300 && g_poll_rounds.load() == settled; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(sync_sem->wait_for(200));
  EXPECT_EQ(g_poll_rounds.load(), settled + 1);
  send_byte(a.client);
  ASSERT_TRUE(sync_sem->wait_for(3000));
  EXPECT_TRUE(sockset_isset(a.server, &read_set));
}

// The socket is removed, and turns readable, while the poll that watches it
// runs: its readiness must not be reported (its number may already belong
// to another connection).
TEST_F(FrameState, ASocketRemovedDuringAPollIsNeverReported) {
  Pair& a = pair();
  Pair& b = pair();
  ASSERT_EQ(master_set_add(a.server), 0);
  ASSERT_EQ(master_set_add(b.server), 0);
  g_poll_rounds = 0;
  g_hook_server = a.server;
  g_hook_client = a.client;
  bg_tcp_set_poll_hook(+[] {
    if (g_poll_rounds++ != 0) return;
    master_set_remove(g_hook_server);
    const char c = 'x';
    send(g_hook_client, &c, 1, MSG_NOSIGNAL);
  });
  ASSERT_EQ(bg_tcp_thread_start(), 0);
  EXPECT_FALSE(sync_sem->wait_for(300));
  EXPECT_GE(g_poll_rounds.load(), 2);  // the removal made it poll again
  send_byte(b.client);
  ASSERT_TRUE(sync_sem->wait_for(3000));
  EXPECT_TRUE(sockset_isset(b.server, &read_set));
  EXPECT_FALSE(sockset_isset(a.server, &read_set));
}

TEST_F(FrameState, APeerResetShowsAsASocketError) {
  Pair& a = pair();
  ASSERT_EQ(master_set_add(a.server), 0);
  ASSERT_EQ(bg_tcp_thread_start(), 0);
  linger lg{1, 0};
  ASSERT_EQ(setsockopt(a.client, SOL_SOCKET, SO_LINGER, &lg, sizeof lg), 0);
  close(a.client);
  a.client = -1;
  ASSERT_TRUE(sync_sem->wait_for(3000));
  EXPECT_TRUE(sockset_isset(a.server, &except_set));
}

TEST_F(FrameState, StopEndsAThreadThatPolls) {
  ASSERT_EQ(bg_tcp_thread_start(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const uint64_t start = platform::monotonic_ms();
  bg_tcp_thread_stop();
  EXPECT_LT(platform::monotonic_ms() - start, 1000u);
}

TEST(MasterSet, HoldsAtMostOneSetOfSockets) {
  master_set_clear();
  EXPECT_EQ(master_set_room(), SOCKSET_MAX);
  EXPECT_EQ(master_set_add(-1), -1);
  for (int i = 0; i < SOCKSET_MAX; ++i) ASSERT_EQ(master_set_add(1000 + i), 0);
  EXPECT_EQ(master_set_room(), 0);
  EXPECT_EQ(master_set_add(5000), -1);
  master_set_remove(1000);
  EXPECT_EQ(master_set_room(), 1);
  master_set_clear();
}

TEST(NotifyEvent, ReleasesTheSyncSemaphoreOnce) {
  sync_sem = std::make_unique<platform::OsSemaphore>(0, 0x7fffffff);
  notify_event("TEST");
  notify_event("TEST");
  EXPECT_EQ(sync_sem->count(), 2);
  notify_event_close();
  EXPECT_EQ(sync_sem, nullptr);
  notify_event("TEST");  // after clean-up: nothing to release, no crash
}

// --- With the task kernel --------------------------------------------------

// Runs the kernel on the test thread until a task calls thread_stop; after
// limit_ms a watchdog task stops it instead and the run counts as failed.
class KernelRun : public FrameState {
 protected:
  void SetUp() override {
    FrameState::SetUp();
    ASSERT_EQ(thread_init(40), 0);
    ASSERT_EQ(vtimer_init(64), 0);
    watchdog_task_ = thread_create(watchdog_body, 1);
    ASSERT_NE(watchdog_task_, nullptr);
    tc_idle = thread_create(idle_thread, 10);
    ASSERT_NE(tc_idle, nullptr);
  }
  void TearDown() override {
    bg_timer_thread_stop();
    vtimer_exit();
    vtimer_set_clock(nullptr);
    tc_idle = nullptr;
    for (Task*& t : tc_http) t = nullptr;
    http_listen_socket = -1;
    FrameState::TearDown();
  }
  bool run(int limit_ms) {
    std::mutex m;
    std::condition_variable cv;
    bool finished = false;
    std::atomic<bool> timed_out{false};
    std::thread watchdog([&] {
      std::unique_lock<std::mutex> lock(m);
      if (!cv.wait_for(lock, std::chrono::milliseconds(limit_ms), [&] { return finished; })) {
        timed_out = true;
        thread_post_unblock(watchdog_task_);
        notify_event("WATCHDOG");
      }
    });
    EXPECT_EQ(thread_run(), 0);
    {
      std::lock_guard<std::mutex> lock(m);
      finished = true;
    }
    cv.notify_all();
    watchdog.join();
    return !timed_out;
  }
  static void watchdog_body() {
    thread_block(thread_self());
    thread_yield();
    thread_stop();
  }
  Task* watchdog_task_ = nullptr;
};

// The http tasks of these tests: answer "served <n>" to each connection.
// The first connection is held for 150 ms (a timer wakes its task), so the
// next connections arrive while that task is busy.
std::atomic<int> g_http_served{0};
std::atomic<int> g_http_fired{0};
std::atomic<int> g_http_held{0};
constexpr int kHttpClients = 3;

void test_http_body() {
  Task* self = thread_self();
  for (;;) {
    auto* conn = static_cast<HttpSession*>(thread_get_data(self));
    if (conn == nullptr) {
      thread_block(self);
      thread_yield();
      continue;
    }
    if (g_http_held.exchange(1) == 0) {
      ASSERT_GE(vtimer_add(150, 0, &g_http_fired, vtimer_wake_task, self), 0);
      while (!g_http_fired) {
        thread_block(self);
        thread_yield();
      }
    }
    char line[16];
    tcp_recv(conn->sockfd, line, 4);  // "GET\n"
    const std::string reply = "served " + std::to_string(++g_http_served) + "\n";
    tcp_send(conn->sockfd, reply.data(), static_cast<int>(reply.size()));
    close_http_connection();
    if (g_http_served == kHttpClients) thread_stop();
  }
}

// Both ways of waiting for the sockets: a select thread, or the idle task's
// own poll (the server's).
class KernelRunPolls : public KernelRun, public ::testing::WithParamInterface<bool> {
 protected:
  // The idle task polls, or a select thread is started.
  void start_polling() {
    if (GetParam())
      bg_tcp_poll_in_idle(true);
    else
      ASSERT_EQ(bg_tcp_thread_start(), 0);
  }
};

// Three browsers, two http tasks: while the first browser's task is held,
// the other two are served by the second task, and the first is answered
// last.

TEST_P(KernelRunPolls, HttpConnectionsAreServedByFreeTasksWithoutLosingAny) {
  LogCapture log("D2");
  g_http_served = 0;
  g_http_fired = 0;
  g_http_held = 0;
  http_listen_socket = listener_;
  tc_http[0] = thread_create(test_http_body, 5);
  tc_http[1] = thread_create(test_http_body, 5);
  ASSERT_NE(tc_http[0], nullptr);
  ASSERT_NE(tc_http[1], nullptr);
  ASSERT_EQ(master_set_add(http_listen_socket), 0);
  start_polling();
  ASSERT_EQ(bg_timer_thread_start(), 0);

  std::vector<std::string> replies(kHttpClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kHttpClients; ++i) {
    clients.emplace_back([&, i] {
      std::this_thread::sleep_for(std::chrono::milliseconds(30 * i));
      uint16_t port = 0;
      tcp_local_addr(listener_, nullptr, &port, nullptr);
      const int s = testsupport::connect_loopback(port);
      if (s >= 0) {
        send(s, "GET\n", 4, MSG_NOSIGNAL);
        char buf[64];
        ssize_t n;
        while ((n = recv(s, buf, sizeof buf, 0)) > 0) replies[size_t(i)].append(buf, size_t(n));
      }
      close(s);
    });
  }
  const bool finished = run(10000);
  for (auto& c : clients) c.join();
  ASSERT_TRUE(finished) << log.text();
  EXPECT_EQ(g_http_served.load(), kHttpClients);
  // The held browser's task held up no one.
  EXPECT_EQ(replies[0], "served 3\n");
  EXPECT_EQ(replies[1], "served 1\n");
  EXPECT_EQ(replies[2], "served 2\n");
  EXPECT_FALSE(log.contains("HTTP connection refused")) << log.text();
  EXPECT_TRUE(log.contains("HTTP connection from ")) << log.text();
  // The listen socket stayed watched throughout.
  EXPECT_EQ(master_set_room(), SOCKSET_MAX - 1);
}

// Stress: many tasks block on one-shot timers whose callbacks (on another
// thread) post the wake-ups, while periodic timers keep waking a task that
// is mostly running, and the idle task sleeps on the sync semaphore in
// between. Every wake-up must arrive, none may touch the kernel off its
// thread (the sanitizers watch), and the run must end.
constexpr int kWorkers = 16;
constexpr int kRounds = 150;
std::atomic<uint64_t> g_clock{1000};
uint64_t stress_clock() { return g_clock.load(); }
std::atomic<int> g_workers_done{0};
std::atomic<int> g_rounds_total{0};
std::atomic<int> g_noise_wakes{0};
int g_noise_timers[2];

void stress_worker() {
  Task* self = thread_self();
  std::atomic<int> fired{0};
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_GE(vtimer_add(100 + round % 3 * 50, 0, &fired, vtimer_wake_task, self), 0);
    // A timer that never gets to fire: cancelled before its time.
    const int spare = vtimer_add(100000, 0, nullptr, vtimer_wake_task, self);
    while (!fired) {
      thread_block(self);
      thread_yield();
    }
    if (spare >= 0) {
      EXPECT_EQ(vtimer_cancel(spare), 0);
    }
    ++g_rounds_total;
  }
  if (++g_workers_done == kWorkers) {
    for (int id : g_noise_timers) vtimer_cancel(id);
    thread_stop();
  }
}

void noise_task() {
  Task* self = thread_self();
  for (;;) {
    thread_block(self);
    thread_yield();
    ++g_noise_wakes;
    thread_yield();  // runnable for a moment: later wake-ups find it running
  }
}

TEST_P(KernelRunPolls, TimersWakeBlockingTasksUnderLoad) {
  if (GetParam()) bg_tcp_poll_in_idle(true);  // the wake-ups end the idle task's poll
  g_clock = 1000;
  g_workers_done = 0;
  g_rounds_total = 0;
  g_noise_wakes = 0;
  vtimer_set_clock(stress_clock);
  for (int i = 0; i < kWorkers; ++i) ASSERT_NE(thread_create(stress_worker, 5), nullptr);
  Task* noise = thread_create(noise_task, 6);
  ASSERT_NE(noise, nullptr);
  g_noise_timers[0] = vtimer_add(100, 1, nullptr, vtimer_wake_task, noise);
  g_noise_timers[1] = vtimer_add(100, 1, nullptr, vtimer_wake_task, noise);

  // The "timer thread": moves the clock and fires what is due.
  std::atomic<bool> stop{false};
  std::thread driver([&] {
    while (!stop) {
      g_clock += 7;
      vtimer_handler();
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });
  const bool finished = run(20000);
  stop = true;
  driver.join();
  ASSERT_TRUE(finished);
  EXPECT_EQ(g_workers_done.load(), kWorkers);
  EXPECT_EQ(g_rounds_total.load(), kWorkers * kRounds);
  EXPECT_GT(g_noise_wakes.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Waits, KernelRunPolls, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "IdlePolls" : "SelectThread"; });

}  // namespace

namespace {

// The checkpoint task, woken by a request and by its timer.
std::atomic<uint64_t> g_ckpt_clock{1000};
uint64_t ckpt_clock() { return g_ckpt_clock.load(); }

size_t count_of(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

std::vector<int> g_ckpt_priorities;

void checkpoint_driver() {
  thread_yield();  // the checkpoint task starts and blocks
  schedule_checkpoint("DBCREATE", 1);
  g_ckpt_priorities.push_back(tc_checkpt->priority);
  thread_yield();  // it runs one checkpoint and blocks again
  g_ckpt_priorities.push_back(tc_checkpt->priority);
  g_ckpt_clock += 60000;
  vtimer_handler();  // its timer fires; the wake-up is posted
  thread_yield();
  thread_stop();
}

TEST_F(KernelRun, CheckpointsRunWhenScheduledAndWhenTheirTimerFires) {
  // A volume set with a LOG volume on the file double, for real checkpoints.
  platform::FaultFileSystem disk;
  platform::set_file_system(&disk);
  testsupport::VolumeSetSpec spec;
  spec.volumes = {{"/v/root.vol", VolType_DATA, 1024, 256}, {"/v/log.vol", VolType_LOG, 1024, 256}};
  ASSERT_EQ(testsupport::write_volume_set(spec), 0);
  const char* paths[] = {"/v/root.vol", "/v/log.vol"};
  ASSERT_NE(Vol_OpenSet(2, paths), nullptr);
  ASSERT_EQ(buf_Init(64, 64), 0);
  ASSERT_EQ(Tlog_Init(), 0);
  const uint32_t before = Tlog_NumCheckpoints();
  LogCapture log("D2T2");
  SrvConfig srv{};
  SrvLimits lim{};
  lim.checkpt_freq = 60;
  lim.checkpt_size = 0;  // only the timer and requests trigger
  CfgRecord cfg{};
  cfg.server = &srv;
  cfg.limits = &lim;
  server_cfg = &cfg;
  g_ckpt_priorities.clear();
  vtimer_set_clock(ckpt_clock);
  tc_checkpt = thread_create(checkpoint_thread, 5);
  ASSERT_NE(tc_checkpt, nullptr);
  ASSERT_NE(thread_create(checkpoint_driver, 6), nullptr);
  const bool finished = run(10000);
  server_cfg = nullptr;
  tc_checkpt = nullptr;
  ASSERT_TRUE(finished) << log.text();
  EXPECT_EQ(g_ckpt_priorities, (std::vector<int>{4, 5}));
  const std::string text = log.text();
  EXPECT_EQ(count_of(text, "Checkpointing volume ..."), 2u) << text;
  EXPECT_EQ(Tlog_NumCheckpoints() - before, 2u);
  EXPECT_EQ(text.find("Checkpoint operation failed"), std::string::npos) << text;
  VNode_Flush(nullptr);
  Vol_Close();
  Vol_Free();
  buf_Exit();
  platform::set_file_system(nullptr);
  testsupport::expect_in_order(text, {"Checkpoint frequency 60 seconds",
                                      "Scheduling checkpoint: DBCREATE",
                                      "Checkpointing volume ...", "notify_event: TIMER",
                                      "Waking up thread ", "Checkpointing volume ..."});
  EXPECT_EQ(log_size_limit, 0u);
}

// The size trigger: CheckPtSize, but never more than half of a log that
// cannot grow past its size (a 10 MB trigger never fires on a 2.5 MB log).
TEST(CheckpointLogLimit, IsTheSizeLimitOrHalfOfABoundedLogWhicheverIsLess) {
  struct Case {
    unsigned size_limit;
    uint32_t capacity;
    unsigned want;
  };
  const Case cases[] = {
      {1280, 0, 1280},  // the log may grow without a bound
      {1280, 320, 160}, // default 10 MB on a 2.5 MB log
      {0, 320, 160},    // size trigger off
      {100, 320, 100},  // the smaller limit
      {0, 0, 0},        // neither: no size trigger
  };
  for (const Case& c : cases)
    EXPECT_EQ(checkpoint_log_limit(c.size_limit, c.capacity), c.want)
        << c.size_limit << " / " << c.capacity;
}

// A checkpoint that fails (no LOG page for its mark: the LOG volume is
// taken and its extension finds the file system full) is logged
// and tried again after a wait; a request meanwhile does not start another
// try; once pages are free again the retry succeeds. The server goes on.
std::vector<Vol_PAGEADDR> g_log_taken;
uint32_t g_ckpt_after_failure = 0;

void failing_checkpoint_driver() {
  thread_yield();
  schedule_checkpoint("DBCREATE", 1);
  thread_yield();  // the checkpoint fails; the task waits for its retry
  g_ckpt_after_failure = Tlog_NumCheckpoints();
  schedule_checkpoint("DBCREATE", 1);  // inside the wait: no new try
  thread_yield();
  for (Vol_PAGEADDR p : g_log_taken) Vol_FreePage(p, 1);
  g_log_taken.clear();
  g_ckpt_clock += 1000;
  vtimer_handler();  // the retry timer fires
  thread_yield();
  thread_stop();
}

TEST_F(KernelRun, AFailedCheckpointIsLoggedAndTriedAgainLater) {
  platform::FaultFileSystem disk;
  platform::set_file_system(&disk);
  testsupport::VolumeSetSpec spec;
  spec.volumes = {{"/v/root.vol", VolType_DATA, 1024, 256}, {"/v/log.vol", VolType_LOG, 400, 256}};
  ASSERT_EQ(testsupport::write_volume_set(spec), 0);
  const char* paths[] = {"/v/root.vol", "/v/log.vol"};
  ASSERT_NE(Vol_OpenSet(2, paths), nullptr);
  ASSERT_EQ(buf_Init(64, 64), 0);
  ASSERT_EQ(Tlog_Init(), 0);
  ASSERT_EQ(Tlog_Checkpoint("Server startup"), 0);
  // Every LOG page taken (the root log's reserve too), and no room on the
  // disk to extend the volume: the next checkpoint's mark finds no page.
  disk.set_capacity(1);
  Vol_OpenTlogReserve(1);
  for (Vol_PAGEADDR p; (p = Vol_AllocPage(1, Vol_GetTlogAldesc())) != 0;) g_log_taken.push_back(p);
  Vol_OpenTlogReserve(-1);
  ASSERT_FALSE(g_log_taken.empty());
  disk.set_capacity(0);
  const uint32_t before = Tlog_NumCheckpoints();
  LogCapture log("D2T2");
  SrvConfig srv{};
  SrvLimits lim{};
  lim.checkpt_freq = 60;
  lim.checkpt_size = 0;
  CfgRecord cfg{};
  cfg.server = &srv;
  cfg.limits = &lim;
  server_cfg = &cfg;
  vtimer_set_clock(ckpt_clock);
  tc_checkpt = thread_create(checkpoint_thread, 5);
  ASSERT_NE(tc_checkpt, nullptr);
  ASSERT_NE(thread_create(failing_checkpoint_driver, 6), nullptr);
  const bool finished = run(10000);
  server_cfg = nullptr;
  tc_checkpt = nullptr;
  ASSERT_TRUE(finished) << log.text();
  const std::string text = log.text();
  EXPECT_EQ(count_of(text, "Checkpointing volume ..."), 2u) << text;
  EXPECT_EQ(g_ckpt_after_failure - before, 1u) << "counted, but failed";
  EXPECT_EQ(Tlog_NumCheckpoints() - before, 2u);
  EXPECT_EQ(count_of(text, "Checkpoint operation failed"), 1u) << text;
  VNode_Flush(nullptr);
  Vol_Close();
  Vol_Free();
  buf_Exit();
  platform::set_file_system(nullptr);
  testsupport::expect_in_order(text, {"Checkpointing volume ...", "Checkpoint operation failed",
                                      "Checkpoint failed, trying again in 1000 ms",
                                      "Waking up thread ", "Checkpointing volume ..."});
}

}  // namespace

// --- The idle task's pass over real worker sessions -------------------------

namespace {

// Not a descriptor of this process: keeps a report non-empty.
constexpr int kOtherSocket = 100000;

// What the select thread hands over: the sockets it found readable and
// those it found broken.
void report(std::initializer_list<int> readable, std::initializer_list<int> broken) {
  sockset_zero(&read_set);
  sockset_zero(&except_set);
  sockset_add(kOtherSocket, &read_set);
  for (int s : readable) sockset_add(s, &read_set);
  for (int s : broken) sockset_add(s, &except_set);
  client_poll_cnt = static_cast<int>(read_set.count + except_set.count);
  tcp_ack_event->reset();
  tcp_event->set();
}

int worker_socket(int slot) {
  ClientSession* s = tc_worker[slot] ? session_of(tc_worker[slot]) : nullptr;
  return s ? s->sockfd : -1;
}

class IdleHandOff : public testsupport::ServerFrame {
 protected:
  void SetUp() override { set_up_frame(4); }
  void TearDown() override {
    tcp_close(server_listen_socket);
    server_listen_socket = -1;
    tear_down_frame();
  }
};

struct WorkerEventCase {
  const char* name;
  bool worker_busy;  // runnable (inside a request) when the idle task looks
  bool readable;
  bool broken;
  const char* line;  // the idle task's line for it, or none
  int pending;       // client_pending_cnt after the idle task's pass
  bool open_after;   // the connection survives once the worker has run
};

void PrintTo(const WorkerEventCase& c, std::ostream* os) { *os << c.name; }

const WorkerEventCase* g_event_case;
int g_pending_after_pass;
bool g_ack_after_pass;

class WorkerEvent : public IdleHandOff, public ::testing::WithParamInterface<WorkerEventCase> {};

TEST_P(WorkerEvent, IsHandledAndTheSelectThreadGoesOnOnceNoWokenWorkerWaits) {
  LogCapture log("D2");
  g_event_case = &GetParam();
  start_worker();
  run([] {
    // The worker has run up to its wait for the socket (it runs first).
    if (g_event_case->worker_busy) thread_unblock(tc_worker[0]);
    const int sock = worker_socket(0);
    report(g_event_case->readable ? std::initializer_list<int>{sock} : std::initializer_list<int>{},
           g_event_case->broken ? std::initializer_list<int>{sock} : std::initializer_list<int>{});
    handle_tcp_events();
    g_pending_after_pass = client_pending_cnt;
    g_ack_after_pass = tcp_ack_event->is_set();
    settle();
    thread_stop();
  });
  const WorkerEventCase& c = GetParam();
  if (c.line != nullptr) {
    EXPECT_TRUE(log.contains(c.line)) << log.text();
  }
  EXPECT_EQ(g_pending_after_pass, c.pending);
  EXPECT_EQ(g_ack_after_pass, c.pending == 0);
  // A woken worker took what there was and let the select thread go on.
  EXPECT_EQ(client_pending_cnt, 0);
  EXPECT_TRUE(tcp_ack_event->is_set());
  EXPECT_FALSE(tcp_event->is_set());
  EXPECT_EQ(client_poll_cnt, 0);
  EXPECT_EQ(workers(), c.open_after ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WorkerEvent,
    ::testing::Values(
        WorkerEventCase{"BlockedAndReadableIsWoken", false, true, false, "Notifying thread ...", 1,
                        true},
        WorkerEventCase{"BusyAndReadableIsClosed", true, true, false,
                        "Unexpected TCP event - terminating thread ...", 0, false},
        WorkerEventCase{"BrokenIsClosed", false, false, true,
                        "Unexpected socket error - terminating thread ...", 0, false},
        WorkerEventCase{"BrokenAndReadableIsClosed", false, true, true,
                        "Unexpected socket error - terminating thread ...", 0, false},
        WorkerEventCase{"QuietIsLeftAlone", false, false, false, nullptr, 0, true}),
    [](const auto& p) { return std::string(p.param.name); });

// The pass takes the reported workers in the order of their slots,
// whatever the order of the sockets in the report, and a socket reported
// both readable and broken once.
TEST_F(IdleHandOff, ReportedWorkersAreHandledInSlotOrderOnceEach) {
  LogCapture log("D2");
  for (int i = 0; i < 3; ++i) start_worker();
  run([] {
    settle();
    thread_unblock(tc_worker[2]);  // busy inside a request
    report({worker_socket(2), worker_socket(1), worker_socket(0)}, {worker_socket(1)});
    handle_tcp_events();
    settle();
    thread_stop();
  });
  const std::string text = log.text();
  testsupport::expect_in_order(text, {"Notifying thread ...",
                                      "Unexpected socket error - terminating thread ...",
                                      "Unexpected TCP event - terminating thread ..."});
  EXPECT_EQ(text.find("Unexpected socket error", text.find("Unexpected socket error") + 1),
            std::string::npos)
      << text;
  EXPECT_EQ(workers(), 1) << text;
}

// A connection closed between the poll and the idle task's pass frees its
// descriptor; the accept in the same pass is given that number. The new
// worker is not running yet, so judging it by the old socket's readiness
// would close it as a busy worker.
TEST_F(IdleHandOff, ANewConnectionOnTheNumberOfAClosedOneIsNotJudgedByTheOldSocket) {
  LogCapture log("D2");
  server_listen_socket = tcp_listen(nullptr);
  ASSERT_GE(server_listen_socket, 0);
  uint16_t port = 0;
  ASSERT_EQ(tcp_local_addr(server_listen_socket, nullptr, &port, nullptr), 0);
  client_fds_.push_back(testsupport::connect_loopback(port));
  ASSERT_GE(client_fds_.back(), 0);
  start_worker();
  static int old_sock;
  old_sock = -1;
  run([] {
    settle();
    old_sock = worker_socket(0);
    report({old_sock, server_listen_socket}, {});
    close_connection(tc_worker[0]);  // e.g. its frame timed out meanwhile
    handle_tcp_events();
    settle();
    thread_stop();
  });
  ASSERT_EQ(workers(), 1) << log.text();
  EXPECT_EQ(worker_socket(1), old_sock);  // the number was given again
  EXPECT_FALSE(log.contains("Unexpected TCP event")) << log.text();
  EXPECT_TRUE(tcp_ack_event->is_set());
}

// While the server shuts down the idle task leaves socket events alone.
class IdleDuringShutdown : public IdleHandOff, public ::testing::WithParamInterface<bool> {};

bool g_tcp_event_left;

TEST_P(IdleDuringShutdown, HandlesTcpEventsOnlyBeforeTheShutdown) {
  LogCapture log("D2");
  server_shutdown = GetParam() ? 1 : 0;
  tc_idle = thread_create(idle_thread, 10);
  ASSERT_NE(tc_idle, nullptr);
  start_worker();
  run([] {
    settle();
    report({worker_socket(0)}, {});
    notify_event("TCP");
    // Sleep, so that the idle task runs; a timer wakes us again.
    Task* self = thread_self();
    std::atomic<int> fired{0};
    ASSERT_GE(vtimer_add(100, 0, &fired, vtimer_wake_task, self), 0);
    while (!fired) {
      thread_block(self);
      thread_yield();
    }
    g_tcp_event_left = tcp_event->is_set();
    thread_stop();
  });
  EXPECT_EQ(g_tcp_event_left, GetParam());
  EXPECT_EQ(log.contains("Notifying thread ..."), !GetParam()) << log.text();
}

INSTANTIATE_TEST_SUITE_P(Flag, IdleDuringShutdown, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "ShuttingDown" : "Running"; });

// A task that only yields (a long scan) keeps the idle task from running;
// the yield hook serves the sockets instead, so the worker whose socket
// turned readable is woken while the busy task goes on.
bool g_served_while_busy;

TEST_F(IdleHandOff, AYieldingTaskLetsReadableWorkersBeWoken) {
  LogCapture log("D2");
  tc_idle = thread_create(idle_thread, 10);
  ASSERT_NE(tc_idle, nullptr);
  start_worker();
  thread_set_yield_hook(serve_sockets_at_yield);
  run([] {
    settle();
    report({worker_socket(0)}, {});
    // Bounded: without the hook the event would stay until the end.
    const uint64_t until = platform::monotonic_ms() + 5000;
    while (tcp_event->is_set() && platform::monotonic_ms() < until) thread_yield();
    g_served_while_busy = !tcp_event->is_set();
    thread_stop();
  });
  thread_set_yield_hook(nullptr);
  EXPECT_TRUE(g_served_while_busy);
  EXPECT_TRUE(log.contains("Notifying thread ...")) << log.text();
}

// Nothing in the server wakes the ps task; woken, it dumps both tables.
TEST_F(IdleHandOff, ThePsTaskDumpsTheSessionsAndTheTasksWhenWoken) {
  LogCapture log("D0");
  start_worker();
  static Task* ps;
  ps = thread_create(ps_thread, 1);
  ASSERT_NE(ps, nullptr);
  thread_set_name(ps, "ps");
  run([] {
    settle();
    thread_unblock(ps);
    settle();
    thread_stop();
  });
  char session_row[80], address_row[80];
  snprintf(session_row, sizeof session_row, "%-10p %3d %-20.20s %-5.5s %s", nullptr,
           thread_id(tc_worker[0]), "pair", "", "");
  snprintf(address_row, sizeof address_row, "%14s %-20.20s %5s %s", "", "127.0.0.1:1000", "", "");
  char ps_row[80];  // the ps task runs while it dumps
  snprintf(ps_row, sizeof ps_row, "%-10s %3d %c  ", "internal", thread_id(ps), 'R');
  testsupport::expect_in_order(
      log.text(),
      {"Session    TID Host / IP ADDR       Platf User / Login\n",
       "---------- --- -------------------- ----- --------------------\n", session_row,
       address_row, "Session    TID ST WCHAN      Blocked  Sched    Name\n",
       "---------- --- -- ---------- -------- -------- --------------------\n"});
  EXPECT_TRUE(log.contains(ps_row)) << log.text();
}

// The session table shows what clients sent: escaped, so that a forged
// line stays inside its own.
TEST_F(IdleHandOff, ThePsTaskShowsClientTextsEscaped) {
  LogCapture log("D0");
  start_worker();
  ClientSession* s = session_of(tc_worker[0]);
  s->platform = strdup("L\nX");
  s->os_user = strdup("u\n(1) D0: server panic: forged\x1b[2J");
  static Task* ps;
  ps = thread_create(ps_thread, 1);
  ASSERT_NE(ps, nullptr);
  run([] {
    settle();
    thread_unblock(ps);
    settle();
    thread_stop();
  });
  const std::string text = log.text();
  EXPECT_EQ(text.find("\n(1) D0: server panic"), std::string::npos) << text;
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  EXPECT_NE(text.find(" L\\nX  u\\n(1) D0: server panic: forged\\x1b[2J\n"), std::string::npos)
      << text;
}

TEST_F(IdleHandOff, AConnectionTheMasterSetCannotTakeIsRefused) {
  LogCapture log("D0");
  for (int n = 0; master_set_room() > 0; ++n) ASSERT_EQ(master_set_add(kOtherSocket + n), 0);
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  client_fds_.push_back(fds[0]);
  EXPECT_EQ(session_start(fds[1], 0x7f000001, 1000, "pair"), -1);
  EXPECT_TRUE(log.contains("No room for another client connection")) << log.text();
  EXPECT_EQ(fcntl(fds[1], F_GETFD), -1);  // closed, not left unwatched
  EXPECT_EQ(workers(), 0);
}

}  // namespace
