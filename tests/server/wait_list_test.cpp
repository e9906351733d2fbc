// The wait list as the daemon uses it: owned entries closed once, removal
// callbacks, replace, the mark with its extra count and room, entries that
// stay when they fire, the list closed by clean-up, and changes from other
// threads while a waiter waits. The server's view of the list is tested in
// tests/server/service_frame_test.cpp.
#include "server/wait_list.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/fd_event.h"
#include "server/service_frame.h"
#include "support/log_capture.h"

namespace {

std::mutex g_seen_mutex;
std::vector<int> g_seen;  // handles the callback was called with

void seen(int handle) {
  std::lock_guard<std::mutex> lock(g_seen_mutex);
  g_seen.push_back(handle);
}

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

int event(bool set) {
  const int fd = eventfd(set ? 1 : 0, EFD_CLOEXEC);
  return fd;
}

class WaitListChildren : public ::testing::Test {
 protected:
  void SetUp() override {
    g_seen.clear();
    ASSERT_TRUE(wait_list_init(&list_, "test", 'S'));
    ASSERT_EQ(wait_list_add(&list_, done_.fd()), 0);
    ASSERT_EQ(wait_list_add_entry(&list_, controls_.fd(), WAIT_KEEP, nullptr), 1);
    wait_list_mark(&list_);
  }
  void TearDown() override { wait_list_cleanup(&list_); }
  WaitList list_;
  platform::FdEvent done_, controls_;
};

TEST_F(WaitListChildren, FiredChildIsClosedOnceAfterItsCallback) {
  const int child = event(true);
  EXPECT_EQ(wait_list_add_entry(&list_, child, WAIT_OWNED, seen), 2);
  int fired = -1;
  EXPECT_EQ(wait_list_wait(&list_, &fired), 2);
  EXPECT_EQ(fired, child);
  EXPECT_EQ(g_seen, std::vector<int>{child});
  EXPECT_FALSE(is_open(child));
  EXPECT_EQ(wait_list_extra_count(&list_), 0u);
}

TEST_F(WaitListChildren, FrameEntriesNeverReachTheChildCallback) {
  const int child = event(false);
  ASSERT_EQ(wait_list_add_entry(&list_, child, WAIT_OWNED, seen), 2);
  done_.set();
  int fired = -1;
  EXPECT_EQ(wait_list_wait(&list_, &fired), 0);
  EXPECT_TRUE(g_seen.empty());
  EXPECT_TRUE(is_open(done_.fd()));  // not the list's
}

TEST_F(WaitListChildren, KeptEntryIsReportedAndStays) {
  controls_.set();
  int fired = -1;
  EXPECT_EQ(wait_list_wait(&list_, &fired), 1);
  EXPECT_EQ(fired, controls_.fd());
  EXPECT_EQ(list_.count, 2u);
  controls_.reset();
  done_.set();
  EXPECT_EQ(wait_list_wait(&list_, &fired), 0);
}

TEST_F(WaitListChildren, ReplaceKeepsThePlaceAndClosesTheOldHandle) {
  const int a = event(false), b = event(false), c = event(false);
  ASSERT_EQ(wait_list_add_entry(&list_, a, WAIT_OWNED, seen), 2);
  ASSERT_EQ(wait_list_add_entry(&list_, b, WAIT_OWNED, seen), 3);
  testsupport::LogCapture log("S3");
  EXPECT_EQ(wait_list_replace(&list_, a, c), 2);
  EXPECT_FALSE(is_open(a));
  EXPECT_TRUE(log.contains("S3: Replaced handle " + std::to_string(a) + " in wait list at index 2 with handle " +
                           std::to_string(c) + ", 4 entries total\n"))
      << log.text();
  const uint64_t one = 1;
  ASSERT_EQ(write(c, &one, sizeof one), 8);
  int fired = -1;
  EXPECT_EQ(wait_list_wait(&list_, &fired), 2);
  EXPECT_EQ(fired, c);
  EXPECT_TRUE(g_seen.empty() == false && g_seen.back() == c) << "the callback stays with the place";
}

TEST_F(WaitListChildren, ReplacingAHandleNotInTheListChangesNothing) {
  const int a = event(false), stranger = event(false), fresh = event(false);
  ASSERT_EQ(wait_list_add_entry(&list_, a, WAIT_OWNED, seen), 2);
  EXPECT_EQ(wait_list_replace(&list_, stranger, fresh), -1);
  EXPECT_TRUE(is_open(stranger));
  EXPECT_TRUE(is_open(fresh));  // still the caller's
  EXPECT_EQ(list_.count, 3u);
  EXPECT_EQ(list_.entries[2].handle, a);
  close(stranger);
  close(fresh);
}

TEST_F(WaitListChildren, TwoFixedEntriesLeaveRoomFor126Children) {
  std::vector<int> children;
  for (int k = 0; k < 126; ++k) {
    ASSERT_EQ(wait_list_has_room(&list_, 1), 1) << k;
    children.push_back(event(false));
    ASSERT_EQ(wait_list_add_entry(&list_, children.back(), WAIT_OWNED, seen), k + 2);
  }
  EXPECT_EQ(wait_list_extra_count(&list_), 126u);
  EXPECT_EQ(wait_list_has_room(&list_, 1), 0);
  testsupport::LogCapture log("S0");
  const int one_more = event(false);
  EXPECT_EQ(wait_list_add_entry(&list_, one_more, WAIT_OWNED, seen), -1);
  EXPECT_TRUE(log.contains("S0: Exceeded maximum number of entries (128) in wait list\n"));
  EXPECT_TRUE(is_open(one_more));
  close(one_more);
  wait_list_cleanup(&list_);
  EXPECT_EQ(g_seen.size(), 126u);  // every child's callback, the frame's entries none
  for (int fd : children) EXPECT_FALSE(is_open(fd));
}

TEST_F(WaitListChildren, NothingChangesAfterCleanUp) {
  wait_list_cleanup(&list_);
  const int a = event(false);
  EXPECT_EQ(wait_list_add_entry(&list_, a, WAIT_OWNED, seen), -1);
  EXPECT_EQ(wait_list_has_room(&list_, 1), 0);
  EXPECT_EQ(wait_list_extra_count(&list_), 0u);
  EXPECT_TRUE(is_open(a));
  close(a);
}

// Children added, replaced and counted by other threads while the waiter
// removes them as they fire: each fires once, each handle is closed once.
TEST_F(WaitListChildren, ChangesFromOtherThreadsWhileWaiting) {
  constexpr int kChildren = 300;
  std::atomic<int> fired_children{0};
  std::thread waiter([&] {
    for (;;) {
      int fired = -1;
      const int index = wait_list_wait(&list_, &fired);
      if (index == 0) return;
      if (index >= 2) fired_children.fetch_add(1);
    }
  });
  std::thread adder([&] {
    for (int k = 0; k < kChildren; ++k) {
      while (!wait_list_has_room(&list_, 2)) std::this_thread::yield();
      const int fd = event(true);
      ASSERT_GE(wait_list_add_entry(&list_, fd, WAIT_OWNED, seen), 2);
    }
  });
  std::thread replacer([&] {
    int quiet = event(false);
    ASSERT_GE(wait_list_add_entry(&list_, quiet, WAIT_OWNED, seen), 2);
    for (int k = 0; k < 100; ++k) {
      const int next = event(false);
      ASSERT_GE(wait_list_replace(&list_, quiet, next), 2);
      quiet = next;
      (void)wait_list_extra_count(&list_);
    }
  });
  adder.join();
  replacer.join();
  while (fired_children.load() < kChildren) std::this_thread::yield();
  done_.set();
  waiter.join();
  EXPECT_EQ(fired_children.load(), kChildren);
  EXPECT_EQ(wait_list_extra_count(&list_), 1u);  // the quiet one
  std::lock_guard<std::mutex> lock(g_seen_mutex);
  EXPECT_EQ(g_seen.size(), static_cast<size_t>(kChildren));
}

TEST(StoredCommandLine, MoreThan98WordsAreRefused) {
  std::vector<std::string> words(98, "w");
  std::string line;
  ASSERT_TRUE(service_join_arguments(words, &line));
  EXPECT_EQ(service_split_arguments(line.c_str()).size(), 98u);
  words.push_back("w");
  line = "kept";
  EXPECT_FALSE(service_join_arguments(words, &line));
  EXPECT_EQ(line, "kept");
}

}  // namespace
