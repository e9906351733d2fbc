// Failed logons slowed down per client address: the growing, capped steps,
// steps of one address that follow each other (parallel connections gain
// nothing), a success or a quiet quarter of an hour that starts afresh,
// and other addresses untouched.
#include "server/logon_throttle.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr uint32_t kA = 0x0a000001, kB = 0x0a000002;

class LogonThrottle : public ::testing::Test {
 protected:
  void SetUp() override { logon_throttle_reset(); }
  void TearDown() override { logon_throttle_reset(); }
};

TEST_F(LogonThrottle, StepsGrowToTheirCap) {
  // Each failure answered long after the last reply was due: its own step.
  const std::vector<int> want = {200, 400, 800, 1600, 3200, 5000, 5000, 5000};
  uint64_t now = 1000;
  for (size_t i = 0; i < want.size(); ++i) {
    int failures = 0;
    EXPECT_EQ(logon_throttle_failed(kA, now, &failures), want[i]) << i;
    EXPECT_EQ(failures, static_cast<int>(i) + 1);
    now += 10000;
  }
}

TEST_F(LogonThrottle, ParallelFailuresQueueBehindEachOther) {
  // Four connections fail at the same moment: their replies are spaced out.
  EXPECT_EQ(logon_throttle_failed(kA, 0, nullptr), 200);
  EXPECT_EQ(logon_throttle_failed(kA, 0, nullptr), 600);
  EXPECT_EQ(logon_throttle_failed(kA, 0, nullptr), 1400);
  EXPECT_EQ(logon_throttle_failed(kA, 0, nullptr), 3000);
  // Another address is not slowed by them.
  EXPECT_EQ(logon_throttle_failed(kB, 0, nullptr), 200);
  // No reply waits more than a minute.
  for (int i = 0; i < 40; ++i) EXPECT_LE(logon_throttle_failed(kA, 0, nullptr), 60000);
}

TEST_F(LogonThrottle, SuccessOrQuietTimeStartsAfresh) {
  logon_throttle_failed(kA, 0, nullptr);
  logon_throttle_failed(kA, 1000, nullptr);
  logon_throttle_succeeded(kA);
  EXPECT_EQ(logon_throttle_failed(kA, 2000, nullptr), 200);
  EXPECT_EQ(logon_throttle_failed(kA, 3000, nullptr), 400);
  EXPECT_EQ(logon_throttle_failed(kA, 3000 + 16 * 60 * 1000, nullptr), 200);
}

TEST_F(LogonThrottle, ManyAddressesMakeRoomForNewOnes) {
  for (uint32_t a = 1; a <= 300; ++a) logon_throttle_failed(a, a, nullptr);
  // The newest are remembered, the oldest made room.
  EXPECT_EQ(logon_throttle_failed(300, 100000, nullptr), 400);
  EXPECT_EQ(logon_throttle_failed(1, 100000, nullptr), 200);
}

}  // namespace
