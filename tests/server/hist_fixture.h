// hist_fixture.h - the statistics history set up with a small timer pool
// and fed by hand (its 10-second timer never fires within a test).
#pragma once
#include <gtest/gtest.h>

#include "server/hist.h"
#include "server/vtimer.h"

class HistFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(vtimer_init(4), 0);
    ASSERT_EQ(hist_setup(), 0);
  }
  void TearDown() override {
    hist_cleanup();
    vtimer_exit();
  }
};
