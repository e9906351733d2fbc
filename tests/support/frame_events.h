// frame_events.h - the server frame for tests that run the select thread,
// the idle task or the session layer without the whole server: the hand-off
// state (sync semaphore, tcp and acknowledge events, counters, shutdown
// flag), and a fixture with a configuration, worker slots, the task kernel
// and the timers. Header-only; the test links zent_server.
#pragma once
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <memory>
#include <optional>
#include <vector>

#include "base/task_kernel.h"
#include "server/client_session.h"
#include "server/server_main.h"
#include "server/server_seams.h"
#include "server/server_tasks.h"
#include "server/tcp.h"
#include "server/vtimer.h"

namespace testsupport {

// Creates the state as tmain_init does, with a select thread to start
// unless a test lets the idle task poll (bg_tcp_poll_in_idle); the
// destructor stops the select thread and drops the state again.
class FrameEvents {
 public:
  FrameEvents() {
    sync_sem = std::make_unique<platform::OsSemaphore>(0, 0x7fffffff);
    tcp_event = std::make_unique<platform::Event>(true, false);
    tcp_ack_event = std::make_unique<platform::Event>(false, true);
    client_poll_cnt = 0;
    client_pending_cnt = 0;
    server_shutdown = 0;
    bg_tcp_poll_in_idle(false);
  }
  ~FrameEvents() {
    bg_tcp_thread_stop();
    bg_tcp_poll_in_idle(false);
    master_set_clear();
    sync_sem.reset();
    tcp_event.reset();
    tcp_ack_event.reset();
  }
  FrameEvents(const FrameEvents&) = delete;
  FrameEvents& operator=(const FrameEvents&) = delete;
};

// A server without its storage: a configuration, worker slots, the task
// kernel, the timer pool with its thread, and the hand-off state.
class ServerFrame : public ::testing::Test {
 protected:
  void set_up_frame(int slots) {
    srv_.charset_name = const_cast<char*>("ISO8859/1");
    srv_.service_http = const_cast<char*>("");
    cfg_.server = &srv_;
    lim_.threads = slots;
    cfg_.limits = &lim_;
    saved_cfg_ = server_cfg;
    server_cfg = &cfg_;
    events_.emplace();
    max_workers = slots;
    tc_worker = static_cast<Task**>(calloc(static_cast<size_t>(slots), sizeof(Task*)));
    ASSERT_EQ(thread_init(slots + 8), 0);
    ASSERT_EQ(vtimer_init(slots + 8), 0);
    ASSERT_EQ(bg_timer_thread_start(), 0);
  }
  void tear_down_frame() {
    for (int fd : client_fds_) close(fd);
    client_fds_.clear();
    bg_tcp_thread_stop();
    // Workers a test left behind: end them as their clean-up would.
    for (int i = 0; tc_worker != nullptr && i < max_workers; ++i) {
      Task* t = tc_worker[i];
      if (t == nullptr) continue;
      ClientSession* s = session_of(t);
      if (s->sockfd >= 0) tcp_close(s->sockfd);
      s->sockfd = -1;
      dbml_close_session(s);
      thread_destroy(t);
    }
    bg_timer_thread_stop();
    vtimer_exit();
    events_.reset();
    session_set_frame_timeout_ms(0);
    free(tc_worker);
    tc_worker = nullptr;
    max_workers = 0;
    tc_idle = nullptr;
    server_shutdown = 0;
    server_cfg = saved_cfg_;
  }
  // Occupied worker slots. While the kernel runs on another thread the
  // slots are that thread's: the count is taken there, through the mailbox
  // (the idle task wakes for it).
  static int workers() {
    if (!thread_kernel_running() || thread_self() != nullptr) return count_workers();
    std::promise<int> answer;
    std::future<int> count = answer.get_future();
    thread_post(+[](void* p) { static_cast<std::promise<int>*>(p)->set_value(count_workers()); },
                &answer);
    notify_event("TEST");
    return count.get();
  }
  static int count_workers() {
    int n = 0;
    for (int i = 0; i < max_workers; ++i) n += tc_worker[i] != nullptr;
    return n;
  }
  // A worker for one end of a socket pair; returns the client's end, which
  // the tear-down closes.
  int start_worker() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    EXPECT_EQ(session_start(fds[1], 0x7f000001, 1000, "pair"), 0);
    client_fds_.push_back(fds[0]);
    return fds[0];
  }
  // Runs the kernel on this thread with body as a task of priority 6 (a
  // woken worker runs first) until a task stops it.
  void run(void (*body)()) {
    ASSERT_NE(thread_create(body, 6), nullptr);
    ASSERT_EQ(thread_run(), 0);
  }
  // Lets every runnable task run up to its next block.
  static void settle() {
    for (int i = 0; i < 5; ++i) thread_yield();
  }

  std::optional<FrameEvents> events_;
  SrvConfig srv_{};
  SrvLimits lim_{};
  CfgRecord cfg_{};
  CfgRecord* saved_cfg_ = nullptr;
  std::vector<int> client_fds_;
};

}  // namespace testsupport
