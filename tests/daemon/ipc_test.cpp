// The parent/child IPC within one process: the record's payloads against
// golden bytes, requests from several threads answered by one responder, a
// late reply that must not be taken by the next request, a handler that
// dies holding the lock, and the child table's replace against the wait
// list while a waiter runs. Forked children stand in for handlers and
// their zentcore where a real process is needed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "daemon/child_table.h"
#include "daemon/ipc_record.h"
#include "daemon/zentsd_frame.h"
#include "platform/fd_event.h"
#include "platform/user_process.h"
#include "server/service_frame.h"
#include "server/wait_list.h"

namespace {

using zentsd::IpcRecord;
using zentsd::IpcRequest;

std::string bytes(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

TEST(IpcPayload, GoldenBytesAndCutTexts) {
  uint8_t out[zentsd::kIpcPayloadSize];
  const std::string platform30(30, 'p');
  zentsd::ipc_encode_child("client.example", 0x7f000001, platform30.c_str(), out);
  EXPECT_EQ(bytes(out, 4), std::string("\x01\x00\x00\x7f", 4));
  EXPECT_EQ(bytes(out + 4, 15), std::string("client.example\0", 15));
  EXPECT_EQ(bytes(out + 68, 24), std::string(23, 'p') + '\0');
  EXPECT_EQ(bytes(out + 92, 168), std::string(168, '\0'));
  zentsd::IpcChildInfo child;
  zentsd::ipc_decode_child(out, &child);
  EXPECT_EQ(child.peer_addr, 0x7f000001u);
  EXPECT_STREQ(child.host, "client.example");
  EXPECT_EQ(std::string(child.platform), std::string(23, 'p'));  // a 30-character platform arrives cut to 23

  zentsd::ipc_encode_user("tester", std::string(200, 'a').c_str(), out);
  EXPECT_EQ(bytes(out, 7), std::string("tester\0", 7));
  EXPECT_EQ(bytes(out + 64, 128), std::string(127, 'a') + '\0');
  zentsd::IpcUserInfo user;
  zentsd::ipc_decode_user(out, &user);
  EXPECT_STREQ(user.user_id, "tester");
  EXPECT_EQ(strlen(user.account), 127u);

  zentsd::ipc_encode_logon(0x0a000001, true, std::string(70, 'u').c_str(), out);
  EXPECT_EQ(bytes(out, 8), std::string("\x01\x00\x00\x0a\x01\x00\x00\x00", 8));
  EXPECT_EQ(bytes(out + 8, 64), std::string(63, 'u') + '\0');
  EXPECT_EQ(bytes(out + 72, 188), std::string(188, '\0'));
  zentsd::IpcLogonInfo logon;
  zentsd::ipc_decode_logon(out, &logon);
  EXPECT_EQ(logon.peer_addr, 0x0a000001u);
  EXPECT_EQ(logon.failed, 1u);
  EXPECT_EQ(strlen(logon.user_id), 63u);

  zentsd::ipc_encode_newchild(0x01020304, out);
  EXPECT_EQ(bytes(out, 8), std::string("\0\0\0\0\x04\x03\x02\x01", 8));
  EXPECT_EQ(zentsd::ipc_decode_newchild(out), 0x01020304);
}

class IpcRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rec_ = zentsd::ipc_record_create(&fd_);
    ASSERT_NE(rec_, nullptr);
  }
  void TearDown() override {
    stop_responder();
    zentsd::ipc_record_unmap(rec_);
    close(fd_);
  }
  // Answers every request with its key until stopped.
  void start_echo() {
    responder_ = std::thread([this] {
      uint32_t last = 0;
      while (!stop_.load()) {
        IpcRequest req;
        const int r = zentsd::ipc_next_request(rec_, &last, &req);
        if (r < 0 || stop_.load()) return;
        if (r == 1) zentsd::ipc_answer(rec_, req.seq, req.key);
      }
    });
  }
  void stop_responder() {
    if (!responder_.joinable()) return;
    stop_.store(true);
    zentsd::ipc_wake(rec_);
    responder_.join();
  }
  IpcRecord* rec_ = nullptr;
  int fd_ = -1;
  std::thread responder_;
  std::atomic<bool> stop_{false};
  uint8_t payload_[zentsd::kIpcPayloadSize] = {};
};

TEST_F(IpcRecordTest, RequestsFromManyThreadsEachGetTheirOwnAnswer) {
  start_echo();
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int k = 0; k < 50; ++k) {
        const int key = t * 1000 + k;
        uint8_t payload[zentsd::kIpcPayloadSize] = {};
        if (zentsd::ipc_call(rec_, zentsd::IPC_CHILD, key, payload) != key) ++wrong;
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(IpcRecordTest, LateReplyIsNeverTakenByTheNextRequest) {
  std::mutex m;
  std::condition_variable cv;
  bool first_timed_out = false;
  responder_ = std::thread([&] {
    uint32_t last = 0;
    IpcRequest first, second;
    while (zentsd::ipc_next_request(rec_, &last, &first) != 1) {
    }
    {
      std::unique_lock<std::mutex> lock(m);
      cv.wait(lock, [&] { return first_timed_out; });
    }
    while (zentsd::ipc_next_request(rec_, &last, &second) != 1) {
    }
    // The worst order: the late answer arrives while the next request waits.
    zentsd::ipc_answer(rec_, first.seq, 11);
    zentsd::ipc_answer(rec_, second.seq, 22);
  });
  EXPECT_EQ(zentsd::ipc_call_within(rec_, zentsd::IPC_CHILD, 1, payload_, 100), -1);
  {
    std::lock_guard<std::mutex> lock(m);
    first_timed_out = true;
  }
  cv.notify_all();
  EXPECT_EQ(zentsd::ipc_call_within(rec_, zentsd::IPC_CHILD, 2, payload_, 10000), 22);
  responder_.join();
}

TEST_F(IpcRecordTest, HandlerKilledHoldingTheLockStallsNoOther) {
  // Dies holding the lock, in the middle of writing a request.
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    pthread_mutex_lock(&rec_->lock);
    rec_->seq.store(rec_->seq.load() | 1);
    raise(SIGKILL);
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  start_echo();
  EXPECT_EQ(zentsd::ipc_call_within(rec_, zentsd::IPC_CHILD, 7, payload_, 5000), 7);
  EXPECT_EQ(zentsd::ipc_call_within(rec_, zentsd::IPC_CHILD, 8, payload_, 5000), 8);
}

// A process that lives until its pipe is closed.
struct Sleeper {
  pid_t pid = -1;
  int release = -1;
  Sleeper() {
    int p[2];
    if (pipe(p) != 0) return;
    pid = fork();
    if (pid == 0) {
      // Only its own end: another sleeper's release must reach that one.
      platform::close_descriptors_except(&p[0], 1);
      char c;
      while (read(p[0], &c, 1) > 0) {
      }
      _exit(0);
    }
    close(p[0]);
    release = p[1];
  }
  void end() {
    if (release >= 0) close(release);
    release = -1;
  }
  ~Sleeper() {
    end();
    if (pid > 0) waitpid(pid, nullptr, 0);
  }
};

class ChildTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(wait_list_init(service_wait_list(), "test", 'S'));
    ASSERT_EQ(wait_list_add(service_wait_list(), stop_.fd()), 0);
    wait_list_mark(service_wait_list());
  }
  void TearDown() override {
    if (waiter_.joinable()) {
      stop_.set();
      waiter_.join();
    }
    wait_list_cleanup(service_wait_list());
    zentsd::child_table_clear();
  }
  // Waits on the list like the frame thread until the stop event fires,
  // counting the children that ended.
  void start_waiter() {
    waiter_ = std::thread([this] {
      for (;;) {
        int fired = -1;
        wait_list_wait(service_wait_list(), &fired);
        if (fired == stop_.fd()) return;
        ended_.fetch_add(1);
      }
    });
  }
  // A handler's entry, as the spawn makes it.
  void add_handler(pid_t pid) {
    zentsd::ChildEntry e;
    e.pid = e.key = pid;
    e.handle = zentsd::process_handle_open(pid);
    ASSERT_GE(e.handle, 0);
    zentsd::child_table_add(e);
    ASSERT_GE(win32_add_child(e.handle, zentsd::child_table_removed), 0);
  }
  platform::FdEvent stop_;
  std::thread waiter_;
  std::atomic<int> ended_{0};
};

TEST_F(ChildTableTest, RequestsAreKeyedByTheHandlersProcess) {
  Sleeper a, b;
  add_handler(a.pid);
  add_handler(b.pid);
  uint8_t payload[zentsd::kIpcPayloadSize];
  zentsd::ipc_encode_child("host-a", 1, "PLAT-A", payload);
  EXPECT_EQ(zentsd::child_table_request(zentsd::IPC_CHILD, a.pid, payload), 0);
  zentsd::ipc_encode_child("host-b", 2, "PLAT-B", payload);
  EXPECT_EQ(zentsd::child_table_request(zentsd::IPC_CHILD, b.pid, payload), 0);
  zentsd::ipc_encode_user("tester", "acct", payload);
  EXPECT_EQ(zentsd::child_table_request(zentsd::IPC_USER, a.pid, payload), 0);
  EXPECT_EQ(zentsd::child_table_request(zentsd::IPC_CHILD, 999999, payload), -1);
  EXPECT_EQ(zentsd::child_table_request(7, a.pid, payload), -1);
  const auto table = zentsd::child_table_snapshot();
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[0].key, b.pid);  // newest first
  EXPECT_STREQ(table[0].platform, "PLAT-B");
  EXPECT_STREQ(table[1].platform, "PLAT-A");
  EXPECT_STREQ(table[1].peer_name, "host-a");
  EXPECT_STREQ(table[1].user_id, "tester");
  EXPECT_STREQ(table[1].account, "acct");
  EXPECT_EQ(win32_child_count(), 2);
}

TEST_F(ChildTableTest, FailedLogonsAreAnsweredWithGrowingDelaysPerAddress) {
  // The parent's table, asked by the handlers of one address in turn: each
  // failure waits behind the one before it, a success starts afresh, and
  // another address is not slowed. No entry is needed (-f has none).
  zentsd::child_table_forget_logons();
  uint8_t fail_a[zentsd::kIpcPayloadSize], fail_b[zentsd::kIpcPayloadSize], ok_a[zentsd::kIpcPayloadSize];
  zentsd::ipc_encode_logon(0x0a000001, true, "guess", fail_a);
  zentsd::ipc_encode_logon(0x0a000002, true, "guess", fail_b);
  zentsd::ipc_encode_logon(0x0a000001, false, "tester", ok_a);
  std::vector<int> delays;
  for (int i = 0; i < 3; ++i) delays.push_back(zentsd::child_table_request(zentsd::IPC_LOGON, 4242, fail_a));
  ASSERT_EQ(delays.size(), 3u);
  EXPECT_GE(delays[0], 150);
  EXPECT_LE(delays[0], 200);
  EXPECT_GT(delays[1], delays[0] + 300);  // its own step after the first one's
  EXPECT_GT(delays[2], delays[1] + 700);
  EXPECT_EQ(zentsd::child_table_request(zentsd::IPC_LOGON, 4243, fail_b), 200);
  EXPECT_EQ(zentsd::child_table_request(zentsd::IPC_LOGON, 4242, ok_a), 0);
  EXPECT_EQ(zentsd::child_table_request(zentsd::IPC_LOGON, 4242, fail_a), 200);
  zentsd::child_table_forget_logons();
}

TEST_F(ChildTableTest, WaitingCountsHandlersNotLoggedOn) {
  Sleeper a, b, program;
  add_handler(a.pid);
  add_handler(b.pid);
  EXPECT_EQ(zentsd::child_table_waiting(), 2);
  uint8_t payload[zentsd::kIpcPayloadSize];
  zentsd::ipc_encode_user("tester", "acct", payload);
  EXPECT_EQ(zentsd::child_table_request(zentsd::IPC_USER, a.pid, payload), 0);
  EXPECT_EQ(zentsd::child_table_waiting(), 1);
  zentsd::ipc_encode_newchild(program.pid, payload);
  EXPECT_EQ(zentsd::child_table_request(zentsd::IPC_NEWCHILD, b.pid, payload), 0);
  EXPECT_EQ(zentsd::child_table_waiting(), 0);  // zentcore runs for a logged-on user
}

TEST_F(ChildTableTest, ReplaceWatchesTheNewProcessUntilItEnds) {
  Sleeper handler, program;
  add_handler(handler.pid);
  start_waiter();
  uint8_t payload[zentsd::kIpcPayloadSize];
  zentsd::ipc_encode_newchild(program.pid, payload);
  EXPECT_EQ(zentsd::child_table_request(zentsd::IPC_NEWCHILD, handler.pid, payload), 0);
  auto table = zentsd::child_table_snapshot();
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].pid, program.pid);
  EXPECT_TRUE(table[0].replaced);
  // The handler's end is no longer watched; the program's is.
  handler.end();
  waitpid(handler.pid, nullptr, 0);
  handler.pid = -1;
  EXPECT_EQ(zentsd::child_table_count(), 1);
  program.end();
  // The entry goes inside the wait, before the waiter counts the end: wait
  // for both.
  for (int k = 0; k < 2000 && (zentsd::child_table_count() != 0 || ended_.load() == 0); ++k)
    usleep(5000);
  EXPECT_EQ(zentsd::child_table_count(), 0);
  EXPECT_EQ(ended_.load(), 1);
  EXPECT_EQ(win32_child_count(), 0);
}

TEST_F(ChildTableTest, ReplaceForAHandlerNoLongerWatchedDropsItsEntry) {
  Sleeper handler, program;
  add_handler(handler.pid);
  const int handle = zentsd::child_table_snapshot()[0].handle;
  ASSERT_EQ(wait_list_remove(service_wait_list(), handle), 0);  // as if it had ended meanwhile
  uint8_t payload[zentsd::kIpcPayloadSize];
  zentsd::ipc_encode_newchild(program.pid, payload);
  EXPECT_EQ(zentsd::child_table_request(zentsd::IPC_NEWCHILD, handler.pid, payload), -1);
  EXPECT_EQ(zentsd::child_table_count(), 0);
}

}  // namespace
