// Service frame pieces on their own: the stored command line's split and
// join, service names, and the wait list. The frame as a process is tested
// in tests/system/service_frame_test.cpp.
#include "server/zentdb6_frame.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/fd_event.h"
#include "server/wait_list.h"
#include "support/log_capture.h"

namespace {

using Words = std::vector<std::string>;

struct SplitCase {
  const char* name;
  const char* text;
  Words words;
};

class SplitArguments : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitArguments, Words) { EXPECT_EQ(service_split_arguments(GetParam().text), GetParam().words); }

INSTANTIATE_TEST_SUITE_P(
    Stored, SplitArguments,
    ::testing::Values(
        SplitCase{"BlanksTabsNewlines", " -c\tx.cfg\n-d  *1 ", {"-c", "x.cfg", "-d", "*1"}},
        SplitCase{"DoubleQuotesGroup", "-c \"/a dir/x.cfg\"", {"-c", "/a dir/x.cfg"}},
        SplitCase{"SingleQuotesGroup", "-l '/log dir/z.log'", {"-l", "/log dir/z.log"}},
        SplitCase{"OtherQuoteInside", "\"it's\" 'say \"hi\"'", {"it's", "say \"hi\""}},
        SplitCase{"QuotesJoinTheirNeighbours", "a\"b c\"d", {"ab cd"}},
        SplitCase{"BackslashEscapesABlank", "a\\ b", {"a b"}},
        SplitCase{"BackslashInsideQuotes", "\"C:\\\\dir\\\"x\\\"\"", {"C:\\dir\"x\""}},
        SplitCase{"TrailingBackslashDropped", "x\\", {"x"}},
        SplitCase{"UnclosedQuoteRunsToTheEnd", "-c \"open end", {"-c", "open end"}},
        SplitCase{"EmptyQuotesAreAnEmptyWord", "'' \"\"", {"", ""}},
        SplitCase{"NothingButBlanks", " \t\n ", {}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

class JoinArguments : public ::testing::TestWithParam<Words> {};

TEST_P(JoinArguments, SplitGivesTheWordsBack) {
  std::string line;
  ASSERT_TRUE(service_join_arguments(GetParam(), &line));
  EXPECT_EQ(service_split_arguments(line.c_str()), GetParam()) << line;
}

INSTANTIATE_TEST_SUITE_P(
    RoundTrip, JoinArguments,
    ::testing::Values(Words{"-c", "/etc/zentrim/zentdb6.cfg"}, Words{"C:\\Program Files\\x.cfg"},
                      Words{"say \"hi\"", "it's", "\\\\"}, Words{"", "tab\there", "new\nline"},
                      Words{"trailing\\"}, Words{}));

TEST(JoinArguments, EscapesAndRefusesLongResults) {
  std::string line = "kept";
  ASSERT_TRUE(service_join_arguments({"-c", "a\\b \"q\""}, &line));
  EXPECT_EQ(line, "\"-c\" \"a\\\\b \\\"q\\\"\"");
  const std::string exactly(kCommandLineMax - 2, 'x');
  ASSERT_TRUE(service_join_arguments({exactly}, &line));
  EXPECT_EQ(line.size(), static_cast<size_t>(kCommandLineMax));
  line = "kept";
  EXPECT_FALSE(service_join_arguments({exactly + "x"}, &line));
  EXPECT_FALSE(service_join_arguments({std::string(kCommandLineMax / 2, '\\')}, &line));
  EXPECT_EQ(line, "kept");
}

TEST(ServiceName, AliasBlanksBecomeUnderscoresAndTheFieldHolds31Characters) {
  SetServiceName("my data base");
  EXPECT_STREQ(GetServiceName(), "my_data_base");
  SetServiceName(std::string(40, 'n').c_str());
  EXPECT_EQ(std::string(GetServiceName()), std::string(31, 'n'));
  SetServiceName(nullptr);  // keeps the current name
  EXPECT_EQ(std::string(GetServiceName()), std::string(31, 'n'));
  SetServiceName(kDefaultServiceName);
  EXPECT_STREQ(GetServiceName(), "QX_ZentDB6");  // an alias, so its blank goes too
}

TEST(ServiceName, BaseNameKeepsWhatFollowsADot) {
  char buf[kServiceNameSize];
  ExtractBaseName("/usr/sbin/db.prod", buf, sizeof buf);
  EXPECT_STREQ(buf, "db.prod");
  ExtractBaseName("db.prod.eu", buf, sizeof buf);
  EXPECT_STREQ(buf, "db.prod.eu");
  ExtractBaseName(("/x/" + std::string(40, 'z')).c_str(), buf, sizeof buf);
  EXPECT_EQ(std::string(buf), std::string(31, 'z'));
}

class WaitListTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(wait_list_init(&list_, "test")); }
  void TearDown() override { wait_list_cleanup(&list_); }
  // Starts a waiter and returns once it has taken its view of the list (it
  // clears the change event as it does), so a later change must wake it.
  std::thread start_waiter(int* fired) {
    list_.change.set();
    std::thread waiter([this, fired] { wait_list_wait(&list_, fired); });
    while (list_.change.is_set()) std::this_thread::yield();
    return waiter;
  }
  WaitList list_;
};

TEST_F(WaitListTest, FiredEntryIsRemovedAndItsIndexReturned) {
  testsupport::LogCapture log("D3");
  platform::FdEvent a, b, c;
  for (auto* e : {&a, &b, &c}) ASSERT_EQ(wait_list_add(&list_, e->fd()), 0);
  b.set();
  int fired = -1;
  EXPECT_EQ(wait_list_wait(&list_, &fired), 1);
  EXPECT_EQ(fired, b.fd());
  EXPECT_EQ(list_.count, 2u);
  c.set();
  EXPECT_EQ(wait_list_wait(&list_, &fired), 1);  // c moved up to index 1
  EXPECT_EQ(fired, c.fd());
  EXPECT_EQ(wait_list_remove(&list_, b.fd()), -1);  // already gone
  EXPECT_TRUE(log.contains("D3: Added handle " + std::to_string(a.fd()) +
                           " to wait list at index 0, 1 entries total\n"))
      << log.text();
  EXPECT_TRUE(log.contains("D3: Removed handle " + std::to_string(b.fd()) +
                           " from wait list at index 1, 2 entries total\n"))
      << log.text();
}

TEST_F(WaitListTest, HoldsAtMost128Entries) {
  testsupport::LogCapture log("D0");
  platform::FdEvent e;
  for (unsigned k = 0; k < kWaitListMax; ++k) ASSERT_EQ(wait_list_add(&list_, e.fd()), 0);
  EXPECT_EQ(wait_list_add(&list_, e.fd()), -1);
  EXPECT_TRUE(log.contains("D0: Exceeded maximum number of entries (128) in wait list\n"));
  EXPECT_EQ(list_.count, kWaitListMax);
}

TEST_F(WaitListTest, WaiterWaitsAgainOnTheChangedList) {
  platform::FdEvent idle, late;
  ASSERT_EQ(wait_list_add(&list_, idle.fd()), 0);
  int fired = -1;
  std::thread waiter = start_waiter(&fired);
  late.set();
  ASSERT_EQ(wait_list_add(&list_, late.fd()), 0);  // already set: the new list fires at once
  waiter.join();
  EXPECT_EQ(fired, late.fd());
}

TEST_F(WaitListTest, EntryRemovedWhileWaitingIsNeverReported) {
  platform::FdEvent gone, stays;
  ASSERT_EQ(wait_list_add(&list_, gone.fd()), 0);
  ASSERT_EQ(wait_list_add(&list_, stays.fd()), 0);
  int fired = -1;
  std::thread waiter = start_waiter(&fired);
  ASSERT_EQ(wait_list_remove(&list_, gone.fd()), 0);
  gone.set();
  // Gives a waiter that still watched the removed entry time to report it
  // wrongly; the right answer does not depend on it.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  stays.set();
  waiter.join();
  EXPECT_EQ(fired, stays.fd());
}

}  // namespace
