// The server's panic handler: message lines and the Panic setting's exit.
#include <gtest/gtest.h>

#include "base/debug_log.h"
#include "base/panic.h"
#include "server/server_main.h"

namespace {

struct PanicCase {
  int action;
  bool exits_6;
};

class PanicTest : public ::testing::TestWithParam<PanicCase> {};

TEST_P(PanicTest, AssertionEndsAsTheSettingSays) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto die = [] {
    debug_init("", stderr);
    panic_set_handler(server_assert);
    server_set_panic_action(GetParam().action);
    ZENT_ASSERT(1 + 1 == 3);
  };
  const char* expected =
      "D0: server panic: Fatal problem detected\n.*"
      "D0: Assertion failed: 1 \\+ 1 == 3\n.*"
      "D0: server panic: Aborting on internal failure, file server_main_test.cpp, line [0-9]+\n"
      "server panic: Aborting on internal failure, file server_main_test.cpp, line [0-9]+\n";
  if (GetParam().exits_6)
    EXPECT_EXIT(die(), ::testing::ExitedWithCode(6), expected);
  else
    EXPECT_DEATH(die(), expected);
}

INSTANTIATE_TEST_SUITE_P(Settings, PanicTest,
                         ::testing::Values(PanicCase{CFG_PANIC_EXIT, true},
                                           PanicCase{CFG_PANIC_RESTART, false},
                                           PanicCase{CFG_PANIC_DUMP, false}),
                         [](const auto& info) {
                           return std::string(info.param.action == CFG_PANIC_EXIT      ? "Exit"
                                              : info.param.action == CFG_PANIC_RESTART ? "Restart"
                                                                                       : "Dump");
                         });

TEST(ServerStopRequest, FirstAndRetriedRequestsAskForThirtySeconds) {
  testing::internal::CaptureStderr();
  debug_init("D1", stderr);
  EXPECT_EQ(server_stop_request(1), 30000);
  EXPECT_EQ(server_stop_request(2), 30000);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("D1: Server shutdown requested ...\n"), std::string::npos) << err;
  EXPECT_NE(err.find("D1: Server shutdown retried (1) ...\n"), std::string::npos) << err;
  debug_init("", nullptr);
}

}  // namespace
