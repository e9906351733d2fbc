// Statistics history: per-interval feeding, minute averages, the nine-minute
// window, the load percent, 64-bit sums and the reader.
#include "server/hist.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "base/server_counters.h"
#include "platform/clock.h"
#include "server/vtimer.h"
#include "server/hist_fixture.h"
#include "storage/page_io.h"

namespace {

HistFifo empty() {
  HistFifo h;
  memset(&h, 0, sizeof h);
  return h;
}

TEST(HistFeed, AMinuteOfSamplesBecomesItsPerSecondAverage) {
  HistFifo h = empty();
  for (uint64_t v : {10, 20, 30, 40, 50}) hist_feed(&h, v);
  EXPECT_EQ(h.minute_count, 0);
  EXPECT_EQ(h.minute_seconds, 50);
  EXPECT_EQ(h.accumulator, 150u);
  hist_feed(&h, 60);
  ASSERT_EQ(h.minute_count, 1);
  EXPECT_EQ(h.minutes[0], 210u / 60);  // 3 per second
  EXPECT_EQ(h.minute_seconds, 0);
  EXPECT_EQ(h.accumulator, 0u);
  EXPECT_EQ(h.seconds, 60u);
  EXPECT_EQ(h.sum, 210u);
  EXPECT_EQ(h.highest, 6u);  // 60 in ten seconds
}

TEST(HistFeed, KeepsTheNineNewestMinutesNewestFirst) {
  HistFifo h = empty();
  for (uint64_t minute = 1; minute <= 12; ++minute)
    for (int i = 0; i < 6; ++i) hist_feed(&h, minute * 600);  // minute * 60 per second
  ASSERT_EQ(h.minute_count, HIST_MINUTES);
  for (int i = 0; i < HIST_MINUTES; ++i) EXPECT_EQ(h.minutes[i], (12u - i) * 60) << i;
}

TEST(HistFeed, SumsDoNotWrapAtThirtyTwoBits) {
  HistFifo h = empty();
  const uint64_t big = 3'000'000'000ull;
  for (int i = 0; i < 6; ++i) hist_feed(&h, big);
  EXPECT_EQ(h.sum, 6 * big);
  EXPECT_EQ(h.minutes[0], static_cast<uint32_t>(6 * big / 60));
  EXPECT_EQ(h.highest, static_cast<uint32_t>(big / 10));
}

struct LoadCase {
  uint64_t idle_us;
  uint32_t percent;
};

void PrintTo(const LoadCase& c, std::ostream* os) {
  *os << c.idle_us << " us idle -> " << c.percent << " %";
}

class HistLoad : public ::testing::TestWithParam<LoadCase> {};

TEST_P(HistLoad, IsTheShareNotSpentIdleAndAtLeastOne) {
  EXPECT_EQ(hist_load_percent(GetParam().idle_us, 10), GetParam().percent);
}

INSTANTIATE_TEST_SUITE_P(Intervals, HistLoad,
                         ::testing::Values(LoadCase{0, 100}, LoadCase{2'500'000, 75},
                                           LoadCase{9'900'000, 1}, LoadCase{9'999'999, 1},
                                           LoadCase{10'000'000, 1}, LoadCase{50'000'000, 1},
                                           LoadCase{4'000'000, 60}),
                         [](const auto& p) { return "Idle" + std::to_string(p.param.idle_us) + "us"; });

// The history behind the readers, fed by hand (the timer never fires here).
class HistSeriesTest : public HistFixture {
 protected:
  std::vector<uint32_t> read(int series) {
    std::vector<uint32_t> out;
    hist_open(series);
    uint32_t v;
    while (hist_next(&v) == 0) out.push_back(v);
    hist_close();
    return out;
  }
};

TEST_F(HistSeriesTest, LoadReadsAsPercentLikeTheRateSeries) {
  const uint64_t counts[5] = {100, 0, 0, 0, 0};
  // A minute at 75 % load, then twenty seconds at 40 %.
  for (int i = 0; i < 6; ++i) hist_sample(2'500'000, counts);
  for (int i = 0; i < 2; ++i) hist_sample(6'000'000, counts);
  EXPECT_EQ(read(HIST_LOAD), (std::vector<uint32_t>{40, 75}));
  EXPECT_EQ(read(HIST_REQUESTS), (std::vector<uint32_t>{10, 10}));
  HistFifo load;
  ASSERT_EQ(hist_get(HIST_LOAD, &load), 0);
  EXPECT_EQ(load.highest, 75u);
  EXPECT_EQ(load.sum / load.seconds, (6 * 75 + 2 * 40) / 8u);
}

TEST_F(HistSeriesTest, EachCounterFeedsItsOwnSeries) {
  const uint64_t counts[5] = {10, 20, 30, 40, 50};
  for (int i = 0; i < 6; ++i) hist_sample(0, counts);
  for (int s = HIST_REQUESTS; s < HIST_SERIES_COUNT; ++s)
    EXPECT_EQ(read(s), (std::vector<uint32_t>{0, static_cast<uint32_t>(s)})) << s;
}

TEST_F(HistSeriesTest, TheTimerTickTakesAndResetsTheCounters) {
  server_count(server_counters.requests, 70);
  server_count(server_counters.syncs, 5);
  const uint64_t now = platform::monotonic_ns();
  hist_idle_begin(now - 1'000'000'000);  // one second idle
  hist_idle_end(now);
  hist_timer_tick(nullptr);
  EXPECT_EQ(server_counters.requests.load(), 0u);
  EXPECT_EQ(server_counters.syncs.load(), 0u);
  EXPECT_EQ(read(HIST_REQUESTS), (std::vector<uint32_t>{7}));
  EXPECT_EQ(read(HIST_SYNCS), (std::vector<uint32_t>{0}));  // 5 in 10 s rounds down
  EXPECT_EQ(read(HIST_LOAD), (std::vector<uint32_t>{90}));
  hist_timer_tick(nullptr);  // the idle time was taken too: fully busy now
  EXPECT_EQ(read(HIST_LOAD), (std::vector<uint32_t>{95}));
}

TEST_F(HistSeriesTest, ThePageTransfersAndFlushesFeedTheDiskSeries) {
  for (auto* c : {&server_counters.reads, &server_counters.writes, &server_counters.syncs}) *c = 0;
  for (int i = 0; i < 30; ++i) Vol_StatUpdate(Vol_STAT_READ, 0, Vol_STAT_AT_ONCE);
  for (int i = 0; i < 20; ++i) Vol_StatUpdate(Vol_STAT_WRITE, 0, Vol_STAT_WAITED);
  for (int i = 0; i < 10; ++i) Vol_StatUpdate(Vol_STAT_TIO, 0, Vol_STAT_BY_THREAD);
  Vol_StatUpdate(-1, 0, Vol_STAT_AT_ONCE);  // a measurement only: no transfer
  hist_timer_tick(nullptr);
  EXPECT_EQ(read(HIST_READS), (std::vector<uint32_t>{3}));
  EXPECT_EQ(read(HIST_WRITES), (std::vector<uint32_t>{2}));
  EXPECT_EQ(read(HIST_SYNCS), (std::vector<uint32_t>{1}));
}

// An idle server sleeps on the sync semaphore across several intervals;
// each interval counts the part of the sleep that fell into it, not the
// interval in which the sleep happened to end.
TEST_F(HistSeriesTest, AWaitAcrossIntervalsCountsInEachOfThem) {
  const uint64_t s = 1'000'000'000;  // ns
  const uint64_t t0 = 5000 * s;
  std::vector<uint64_t> idle;
  hist_idle_begin(t0);
  idle.push_back(hist_take_idle_us(t0 + 10 * s));
  idle.push_back(hist_take_idle_us(t0 + 20 * s));
  hist_idle_end(t0 + 25 * s);
  hist_idle_begin(t0 + 27 * s);
  idle.push_back(hist_take_idle_us(t0 + 30 * s));
  hist_idle_end(t0 + 31 * s);
  idle.push_back(hist_take_idle_us(t0 + 40 * s));
  EXPECT_EQ(idle, (std::vector<uint64_t>{10'000'000, 10'000'000, 8'000'000, 1'000'000}));

  const uint64_t counts[5] = {0, 0, 0, 0, 0};
  for (uint64_t us : idle) hist_sample(us, counts);
  hist_sample(0, counts);
  hist_sample(0, counts);
  EXPECT_EQ(read(HIST_LOAD), (std::vector<uint32_t>{0, (1 + 1 + 20 + 90 + 100 + 100) / 6}));
}

TEST_F(HistSeriesTest, ReaderRewindsAndAnUnknownSeriesIsEmpty) {
  const uint64_t counts[5] = {600, 0, 0, 0, 0};
  for (int i = 0; i < 6; ++i) hist_sample(0, counts);
  hist_open(HIST_REQUESTS);
  uint32_t v = 0;
  ASSERT_EQ(hist_next(&v), 0);
  EXPECT_EQ(v, 0u);  // nothing in the new minute yet
  ASSERT_EQ(hist_next(&v), 0);
  EXPECT_EQ(v, 60u);
  EXPECT_EQ(hist_next(&v), 1);
  hist_rewind();
  EXPECT_EQ(hist_next(&v), 0);
  hist_close();
  EXPECT_TRUE(read(HIST_SERIES_COUNT).empty());
  HistFifo h;
  EXPECT_EQ(hist_get(-1, &h), -1);
}

TEST(HistNotSetUp, ReadersSeeNothing) {
  hist_open(HIST_LOAD);
  uint32_t v;
  EXPECT_EQ(hist_next(&v), 1);
  hist_close();
  HistFifo h;
  EXPECT_EQ(hist_get(HIST_LOAD, &h), -1);
}

}  // namespace
