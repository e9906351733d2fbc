// Page I/O on the file double: short pages and their filler, clusters in one
// transfer despite short and interrupted calls, zero fill refused by a full
// file system, flushes that survive a power loss, and the statistics.
#include "storage/page_io.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "platform/fault_file.h"
#include "platform/file.h"
#include "storage/tio.h"
#include "storage/volume_set.h"
#include "support/log_capture.h"

namespace {

using platform::FaultFileSystem;

constexpr uint32_t kPage = Vol_PAGESIZE;
const char* const kPath = "/v/data.vol";

class PageIo : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::set_file_system(&fs);
    fs.put_file(kPath, std::vector<uint8_t>(32 * kPage, 0x33));
    ASSERT_EQ(platform::file_open(kPath, platform::FILE_WRITE, &vol.fhandle), 0);
    vol.volume_id = 2;
    vol.type = VolType_DATA;
    ASSERT_EQ(Vol_Initialize(), 0);
  }
  void TearDown() override {
    Vol_Cleanup();
    platform::file_close(vol.fhandle);
    platform::set_file_system(nullptr);
  }
  std::vector<uint8_t> disk_page(uint32_t page) {
    std::vector<uint8_t> all = fs.contents(kPath);
    return std::vector<uint8_t>(all.begin() + page * kPage, all.begin() + (page + 1) * kPage);
  }

  FaultFileSystem fs;
  VOLUME vol;
};

TEST_F(PageIo, ShortWriteFillsThePageAndShortReadTakesItsStart) {
  std::vector<uint8_t> data(100, 0x5C);
  ASSERT_EQ(Vol__Write(&vol, 4, data.data(), 100, nullptr), 0);
  std::vector<uint8_t> page = disk_page(4);
  for (size_t i = 0; i < kPage; ++i) ASSERT_EQ(page[i], i < 100 ? 0x5C : 0xAA) << i;
  std::vector<uint8_t> back(40, 0);
  ASSERT_EQ(Vol_Read(&vol, 4, back.data(), 40), 0);
  EXPECT_EQ(back, std::vector<uint8_t>(40, 0x5C));
  EXPECT_EQ(vol.io_count, 2u);
  EXPECT_EQ(vol.write_count, 1u);
  EXPECT_EQ(vol.read_count, 1u);
}

struct ClusterCase {
  const char* name;
  int eintr;
  size_t limit;
  int count;
};

void PrintTo(const ClusterCase& c, std::ostream* os) { *os << c.name; }

class Cluster : public PageIo, public ::testing::WithParamInterface<ClusterCase> {};

TEST_P(Cluster, TravelsAsOneTransferAndArrivesWhole) {
  const ClusterCase& c = GetParam();
  std::vector<std::vector<uint8_t>> out(c.count), in(c.count, std::vector<uint8_t>(kPage));
  const void* obufs[Vol_MAXCLUST];
  void* ibufs[Vol_MAXCLUST];
  for (int i = 0; i < c.count; ++i) {
    out[i].assign(kPage, static_cast<uint8_t>(0x80 + i));
    obufs[i] = out[i].data();
    ibufs[i] = in[i].data();
  }
  fs.limit_transfer(kPath, c.limit);
  fs.inject_eintr(kPath, c.eintr);
  const uint64_t written = Vol_PagesWritten();
  ASSERT_EQ(Vol_WriteVector(&vol, 9, c.count, obufs), 0);
  fs.inject_eintr(kPath, c.eintr);
  ASSERT_EQ(Vol_ReadVector(&vol, 9, c.count, ibufs), 0);
  EXPECT_EQ(in, out);
  for (int i = 0; i < c.count; ++i) EXPECT_EQ(disk_page(9 + i), out[i]);
  EXPECT_EQ(disk_page(9 + c.count), std::vector<uint8_t>(kPage, 0x33));
  if (c.limit == 0) {
    EXPECT_EQ(fs.counts(kPath).writes, 1u);
  }
  EXPECT_EQ(Vol_PagesWritten() - written, static_cast<uint64_t>(c.count));
  EXPECT_EQ(vol.io_count, 2u * c.count);
}

INSTANTIATE_TEST_SUITE_P(
    PageIo, Cluster,
    ::testing::Values(ClusterCase{"OnePage", 0, 0, 1}, ClusterCase{"FullCluster", 0, 0, 8},
                      ClusterCase{"Interrupted", 4, 0, 8},
                      ClusterCase{"ShortPieces", 0, 5000, 8},
                      ClusterCase{"ShortAndInterrupted", 3, 777, 3}),
    [](const auto& i) { return std::string(i.param.name); });

struct FillFault {
  const char* name;
  void (*inject)(FaultFileSystem& fs);
};

void PrintTo(const FillFault& c, std::ostream* os) { *os << c.name; }

class FillRefused : public PageIo, public ::testing::WithParamInterface<FillFault> {};

TEST_P(FillRefused, IsAnErrorAndLeavesTheRestAlone) {
  ASSERT_EQ(Vol_FillPage(&vol, Vol_PageAddr(2, 32)), 0);
  EXPECT_EQ(fs.contents(kPath).size(), 33u * kPage);
  EXPECT_EQ(disk_page(32), std::vector<uint8_t>(kPage, 0));
  GetParam().inject(fs);
  EXPECT_EQ(Vol_FillPage(&vol, Vol_PageAddr(2, 33)), -1);
  EXPECT_LE(fs.contents(kPath).size(), 34u * kPage);
  // The page already there is still whole, and writes inside the file go on.
  EXPECT_EQ(disk_page(32), std::vector<uint8_t>(kPage, 0));
  std::vector<uint8_t> p(kPage, 1);
  EXPECT_EQ(Vol__Write(&vol, 3, p.data(), kPage, nullptr), 0);
}

INSTANTIATE_TEST_SUITE_P(
    PageIo, FillRefused,
    ::testing::Values(
        FillFault{"FileSystemFull", [](FaultFileSystem& f) { f.set_capacity(33 * kPage + 4096); }},
        FillFault{"FileTooLarge", [](FaultFileSystem& f) { f.set_max_file_size(33 * kPage); }},
        FillFault{"WriteFails", [](FaultFileSystem& f) { f.fail_write(1, EIO); }}),
    [](const auto& i) { return std::string(i.param.name); });

TEST_F(PageIo, FailedPageWriteIsReportedAndNotCounted) {
  std::vector<uint8_t> p(kPage, 9);
  fs.fail_write(1, ENOSPC);
  EXPECT_EQ(Vol__Write(&vol, 3, p.data(), kPage, nullptr), -1);
  EXPECT_EQ(vol.write_count, 0u);
  EXPECT_EQ(disk_page(3), std::vector<uint8_t>(kPage, 0x33));
}

// A data page the file fails to write is kept back like one refused in
// backup mode: the caller keeps it and writes it again; the disk is left as
// it was, and a cause that repeats is logged once.
struct KeptCase {
  const char* name;
  int err;
  bool cluster;
};

void PrintTo(const KeptCase& c, std::ostream* os) { *os << c.name; }

class KeptWrite : public PageIo, public ::testing::WithParamInterface<KeptCase> {
 protected:
  // 0 written; else the caller keeps its pages.
  int write(uint8_t fill) {
    std::vector<uint8_t> p(kPage, fill);
    if (!GetParam().cluster) return Vol_WriteOrKeep(&vol, 3, p.data(), kPage, nullptr);
    const void* bufs[2] = {p.data(), p.data()};
    return Vol_WriteVector(&vol, 3, 2, bufs);
  }
};

TEST_P(KeptWrite, IsKeptBackCountedAndLoggedOncePerCause) {
  const KeptCase& c = GetParam();
  testsupport::LogCapture log("V0");
  const uint32_t refused = Vol_RefusedWrites(), failed = Vol_FailedWrites();
  for (int round = 0; round < 2; ++round) {
    fs.fail_write(1, c.err);
    EXPECT_NE(write(0x77), 0) << round;
    EXPECT_EQ(error_code(get_error()), VOL_E_NO_SPACE) << round;
  }
  EXPECT_EQ(Vol_RefusedWrites() - refused, 2u);
  EXPECT_EQ(Vol_FailedWrites() - failed, 2u);
  EXPECT_EQ(vol.write_count, 0u);
  EXPECT_EQ(disk_page(3), std::vector<uint8_t>(kPage, 0x33));
  const std::string text = log.text();
  const std::string cause = strerror(c.err);
  ASSERT_NE(text.find(cause), std::string::npos) << text;
  EXPECT_EQ(text.find(cause), text.rfind(cause)) << text;
  // The fault cleared: the page kept goes out.
  EXPECT_EQ(write(0x78), 0);
  EXPECT_EQ(disk_page(3), std::vector<uint8_t>(kPage, 0x78));
}

INSTANTIATE_TEST_SUITE_P(PageIo, KeptWrite,
                         ::testing::Values(KeptCase{"PageEIO", EIO, false},
                                           KeptCase{"PageENOSPC", ENOSPC, false},
                                           KeptCase{"ClusterEIO", EIO, true},
                                           KeptCase{"ClusterENOSPC", ENOSPC, true}),
                         [](const auto& i) { return std::string(i.param.name); });

TEST_F(PageIo, ReadFileReportsAPageBeyondTheEnd) {
  std::vector<uint8_t> p(kPage);
  EXPECT_EQ(Vol_ReadFile(vol.fhandle, 31, p.data(), kPage), 1);
  EXPECT_EQ(Vol_ReadFile(vol.fhandle, 32, p.data(), kPage), 0);
}

// Flushed pages survive a power loss; pages written after the flush, torn
// or not, never leave a page mixed below 4 KiB.
TEST_F(PageIo, SyncedPagesSurvivePowerLoss) {
  std::vector<uint8_t> a(kPage, 0xA1), b(kPage, 0xB2);
  ASSERT_EQ(Vol__Write(&vol, 1, a.data(), kPage, nullptr), 0);
  ASSERT_EQ(Vol_SyncFile(&vol, Vol_TIO_SYNC), 0);
  ASSERT_EQ(Vol__Write(&vol, 1, b.data(), kPage, nullptr), 0);
  ASSERT_EQ(Vol__Write(&vol, 2, b.data(), kPage, nullptr), 0);
  fs.lose_power(platform::PowerLoss::TearUnflushed, 3);
  for (uint32_t page : {1u, 2u}) {
    std::vector<uint8_t> got = disk_page(page);
    const uint8_t before = page == 1 ? 0xA1 : 0x33;
    for (size_t half = 0; half < 2; ++half) {
      const uint8_t first = got[half * 4096];
      EXPECT_TRUE(first == before || first == 0xB2);
      for (size_t i = 0; i < 4096; ++i) ASSERT_EQ(got[half * 4096 + i], first);
    }
  }
}

TEST_F(PageIo, RedirectedVolumeIsNotFlushed) {
  Vol_SetFlag(Vol_REDIRECT_PAGES, &vol.header);
  EXPECT_EQ(Vol_SyncFile(&vol, Vol_TIO_SYNC), 0);
  EXPECT_EQ(fs.counts(kPath).flushes, 0u);
}

class PageIoDeathTest : public PageIo {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    PageIo::SetUp();
  }
};

TEST_F(PageIoDeathTest, FailedFlushIsFatal) {
  fs.fail_flush(1, EIO);
  EXPECT_DEATH(Vol_SyncFile(&vol, Vol_TIO_SYNC), "tio_fsync\\(\\) failed on FlushFileBuffers\\(\\)");
}

// A commit forced past a LOG page that did not reach the file could vanish:
// a failed LOG write stops the server instead.
TEST_F(PageIoDeathTest, FailedLogWriteIsFatal) {
  vol.type = VolType_LOG;
  std::vector<uint8_t> p(kPage, 9);
  const void* bufs[1] = {p.data()};
  fs.fail_write(1, EIO);
  EXPECT_DEATH(Vol_WriteOrKeep(&vol, 3, p.data(), kPage, nullptr), "WriteFile\\(\\) failed");
  fs.fail_write(1, EIO);
  EXPECT_DEATH(Vol_WriteVector(&vol, 3, 1, bufs), "Vol_WriteVector\\(\\) failed on WriteFile");
}

TEST_F(PageIoDeathTest, ClusterReadPastTheEndIsFatal) {
  std::vector<uint8_t> p(kPage);
  void* bufs[2] = {p.data(), p.data()};
  // Page 31 arrives whole; the message names the page that did not.
  EXPECT_DEATH(
      {
        debug_set_stream(stderr);
        Vol_ReadVector(&vol, 31, 2, bufs);
      },
      "Vol_ReadVector\\(\\) failed on ReadFile\\(\\): size=8192, nbytes=0\n");
}

// --- Statistics ----------------------------------------------------------------

TEST_F(PageIo, UntimedTransfersAreCountedWithoutATime) {
  Vol_IOSTAT s;
  const uint64_t off = Vol_StatStart();
  EXPECT_EQ(off, 0u);
  EXPECT_EQ(Vol_StatUpdate(Vol_STAT_READ, off, Vol_STAT_AT_ONCE), 0u);
  // A start taken while timing was off stays untimed after it is turned on,
  // rather than measuring from the clock's origin.
  ASSERT_EQ(Vol_InitStatistics(), 0);
  EXPECT_EQ(Vol_StatUpdate(Vol_STAT_READ, off, Vol_STAT_WAITED), 0u);
  Vol_GetStatistics(Vol_STAT_READ, &s);
  EXPECT_EQ(s.count, 2u);
  EXPECT_EQ(s.timed, 0u);
  EXPECT_EQ(s.by_type[Vol_STAT_AT_ONCE], 1u);
  EXPECT_EQ(s.by_type[Vol_STAT_WAITED], 1u);
  EXPECT_EQ(s.sum_us, 0u);
  EXPECT_EQ(s.min_us, 0u);

  const uint64_t start = Vol_StatStart();
  ASSERT_NE(start, 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  // Mode -1 only measures.
  EXPECT_GE(Vol_StatUpdate(-1, start, Vol_STAT_AT_ONCE), 2000u);
  const uint64_t us = Vol_StatUpdate(Vol_STAT_READ, start, Vol_STAT_BY_THREAD);
  EXPECT_GE(us, 2000u);
  Vol_GetStatistics(Vol_STAT_READ, &s);
  EXPECT_EQ(s.count, 3u);
  EXPECT_EQ(s.timed, 1u);
  EXPECT_EQ(s.sum_us, us);
  EXPECT_EQ(s.min_us, us);
  EXPECT_EQ(s.max_us, us);
}

TEST_F(PageIo, StatisticsFromManyThreadsAddUp) {
  ASSERT_EQ(Vol_InitStatistics(), 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 20000; ++i)
        Vol_StatUpdate(Vol_STAT_TIO, Vol_StatStart() - 1000 * (1 + i % 7), Vol_STAT_BY_THREAD);
    });
  for (auto& t : threads) t.join();
  Vol_IOSTAT s;
  Vol_GetStatistics(Vol_STAT_TIO, &s);
  EXPECT_EQ(s.count, 80000u);
  EXPECT_EQ(s.timed, 80000u);
  EXPECT_EQ(s.by_type[Vol_STAT_BY_THREAD], 80000u);
  EXPECT_GE(s.min_us, 1u);
  EXPECT_GE(s.max_us, 7u);
  EXPECT_GE(s.sum_us, 80000u);
}

}  // namespace
