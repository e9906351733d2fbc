// The file layer on the real file system and on the test double: whole
// transfers despite EINTR and short transfers, space errors, the writer lock,
// failed flushes and power loss.
#include <gtest/gtest.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/fault_file.h"
#include "platform/file.h"
#include "support/process_runner.h"

namespace {

using platform::File;
using platform::FaultFileSystem;

struct Closer {
  void operator()(File* f) const { platform::file_close(f); }
};
using FilePtr = std::unique_ptr<File, Closer>;

FilePtr open_ok(platform::FileSystem& fs, const std::string& path, unsigned flags) {
  File* f = nullptr;
  int err = fs.open(path.c_str(), flags, &f);
  EXPECT_EQ(err, 0) << path;
  return FilePtr(f);
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + i / 4096);
  return v;
}

// Eight 8 KiB buffers as one vector, the way a cluster travels.
struct Cluster {
  std::vector<uint8_t> bytes;
  struct iovec iov[8];
  explicit Cluster(std::vector<uint8_t> b) : bytes(std::move(b)) {
    for (int i = 0; i < 8; ++i) iov[i] = {bytes.data() + i * 8192, 8192};
  }
};

constexpr unsigned kWriter = platform::FILE_WRITE | platform::FILE_CREATE;

TEST(PosixFile, SecondWriterIsRefusedWhileReadersMayOpen) {
  testsupport::TempDir dir;
  platform::FileSystem& fs = *platform::file_system();
  FilePtr w = open_ok(fs, dir.file("vol"), kWriter);
  File* second = nullptr;
  EXPECT_EQ(fs.open(dir.file("vol").c_str(), platform::FILE_WRITE, &second), EBUSY);
  EXPECT_EQ(second, nullptr);
  FilePtr r = open_ok(fs, dir.file("vol"), platform::FILE_READ);
  w.reset();
  FilePtr w2 = open_ok(fs, dir.file("vol"), platform::FILE_WRITE);
  File* f = nullptr;
  EXPECT_EQ(fs.open(dir.file("missing").c_str(), platform::FILE_WRITE, &f), ENOENT);
  EXPECT_EQ(fs.open(dir.file("vol").c_str(), kWriter | platform::FILE_EXCL, &f), EEXIST);
}

TEST(PosixFile, VectorTransfersRoundTripAndReadsStopAtEndOfFile) {
  testsupport::TempDir dir;
  FilePtr f = open_ok(*platform::file_system(), dir.file("vol"), kWriter);
  Cluster out(pattern(8 * 8192, 3));
  size_t done = 0;
  ASSERT_EQ(f->writev_at(out.iov, 8, 8192, &done), 0);
  EXPECT_EQ(done, 8u * 8192);
  ASSERT_EQ(f->datasync(), 0);
  Cluster in(std::vector<uint8_t>(8 * 8192));
  ASSERT_EQ(f->readv_at(in.iov, 8, 8192, &done), 0);
  EXPECT_EQ(done, 8u * 8192);
  EXPECT_EQ(in.bytes, out.bytes);
  // One page past the end: a short read, not an error.
  std::vector<uint8_t> page(8192);
  ASSERT_EQ(f->read_at(page.data(), 8192, 8 * 8192 + 4096, &done), 0);
  EXPECT_EQ(done, 4096u);
  platform::FileInfo info;
  ASSERT_EQ(f->info(&info), 0);
  EXPECT_EQ(info.size, 9u * 8192);
  EXPECT_EQ(info.kind, platform::FileKind::Regular);
  // Without waiting: done from the cache, or "would wait" where unsupported.
  Cluster again(std::vector<uint8_t>(8 * 8192));
  int rc = f->try_readv_at(again.iov, 8, 8192);
  EXPECT_TRUE(rc == 0 || rc == EAGAIN) << rc;
  if (rc == 0) {
    EXPECT_EQ(again.bytes, out.bytes);
  }
}

// A fresh double installed for one test.
class FaultFileTest : public ::testing::Test {
 protected:
  FaultFileSystem fs;
  const std::string path = "/fault/vol";
};

struct Interruption {
  const char* name;
  int eintr;
  size_t limit;
};

void PrintTo(const Interruption& p, std::ostream* os) { *os << p.name; }

class Interrupted : public FaultFileTest, public ::testing::WithParamInterface<Interruption> {};

TEST_P(Interrupted, VectorTransfersStillMoveEveryByte) {
  const Interruption& p = GetParam();
  FilePtr f = open_ok(fs, path, kWriter);
  fs.limit_transfer(path, p.limit);
  fs.inject_eintr(path, p.eintr);
  Cluster out(pattern(8 * 8192, 11));
  size_t done = 0;
  ASSERT_EQ(f->writev_at(out.iov, 8, 3 * 8192, &done), 0);
  EXPECT_EQ(done, 8u * 8192);
  fs.inject_eintr(path, p.eintr);
  ASSERT_EQ(f->datasync(), 0);
  fs.inject_eintr(path, p.eintr);
  Cluster in(std::vector<uint8_t>(8 * 8192));
  ASSERT_EQ(f->readv_at(in.iov, 8, 3 * 8192, &done), 0);
  EXPECT_EQ(done, 8u * 8192);
  EXPECT_EQ(in.bytes, out.bytes);
  std::vector<uint8_t> disk = fs.durable_contents(path);
  ASSERT_EQ(disk.size(), 11u * 8192);
  EXPECT_TRUE(std::equal(out.bytes.begin(), out.bytes.end(), disk.begin() + 3 * 8192));
  const size_t pieces = p.limit ? (8 * 8192 + p.limit - 1) / p.limit : 1;
  EXPECT_EQ(fs.counts(path).writes, pieces);
  EXPECT_EQ(fs.counts(path).reads, pieces);
}

INSTANTIATE_TEST_SUITE_P(
    FaultFile, Interrupted,
    ::testing::Values(Interruption{"Plain", 0, 0}, Interruption{"Eintr", 3, 0},
                      Interruption{"ShortOddPieces", 0, 1000},
                      Interruption{"ShortPieceInsidePage", 0, 4096 + 17},
                      Interruption{"ShortAndInterrupted", 2, 3000}),
    [](const auto& c) { return std::string(c.param.name); });

TEST_F(FaultFileTest, FullFileSystemAndFileSizeLimitAreErrorsAfterAShortWrite) {
  FilePtr f = open_ok(fs, path, kWriter);
  std::vector<uint8_t> page = pattern(8192, 1);
  fs.set_capacity(8192 + 100);
  size_t done = 0;
  EXPECT_EQ(f->write_at(page.data(), 8192, 0, &done), 0);
  EXPECT_EQ(f->write_at(page.data(), 8192, 8192, &done), ENOSPC);
  EXPECT_EQ(done, 100u);
  // Rewriting pages that exist needs no space.
  EXPECT_EQ(f->write_at(page.data(), 8192, 0, &done), 0);
  fs.set_capacity(0);
  fs.set_max_file_size(3 * 8192);
  EXPECT_EQ(f->write_at(page.data(), 8192, 2 * 8192, &done), 0);
  EXPECT_EQ(f->write_at(page.data(), 8192, 3 * 8192, &done), EFBIG);
  EXPECT_EQ(done, 0u);
}

TEST_F(FaultFileTest, ChosenWriteAndFlushFail) {
  FilePtr f = open_ok(fs, path, kWriter);
  std::vector<uint8_t> page = pattern(8192, 2);
  fs.fail_write(2, EIO);
  EXPECT_EQ(f->write_at(page.data(), 8192, 0), 0);
  EXPECT_EQ(f->write_at(page.data(), 8192, 8192), EIO);
  EXPECT_EQ(f->write_at(page.data(), 8192, 8192), 0);
  // The failed flush drops the write-back: the data reads back now but is
  // gone after a power loss, which is why such a failure is fatal above.
  fs.fail_flush(1, EIO);
  EXPECT_EQ(f->datasync(), EIO);
  EXPECT_EQ(fs.contents(path).size(), 2u * 8192);
  EXPECT_EQ(f->datasync(), 0);
  fs.lose_power(platform::PowerLoss::DropUnflushed);
  EXPECT_TRUE(fs.durable_contents(path).empty());
}

TEST_F(FaultFileTest, WriterLockAndHandlesBeforeAPowerLossAreDead) {
  FilePtr f = open_ok(fs, path, kWriter);
  File* g = nullptr;
  EXPECT_EQ(fs.open(path.c_str(), platform::FILE_WRITE, &g), EBUSY);
  std::vector<uint8_t> a = pattern(8192, 5), b = pattern(8192, 6);
  ASSERT_EQ(f->write_at(a.data(), 8192, 0), 0);
  ASSERT_EQ(f->datasync(), 0);
  ASSERT_EQ(f->write_at(b.data(), 8192, 0), 0);
  ASSERT_EQ(f->write_at(b.data(), 8192, 8192), 0);
  fs.lose_power(platform::PowerLoss::DropUnflushed);
  std::vector<uint8_t> page(8192);
  EXPECT_EQ(f->read_at(page.data(), 8192, 0), EIO);
  FilePtr again = open_ok(fs, path, platform::FILE_WRITE);
  size_t done = 0;
  ASSERT_EQ(again->read_at(page.data(), 8192, 0, &done), 0);
  EXPECT_EQ(page, a);
  ASSERT_EQ(again->read_at(page.data(), 8192, 8192, &done), 0);
  EXPECT_EQ(done, 0u);
}

// A flush makes only its own file's writes durable, through any handle of
// that file; growth not flushed is lost with the power, size included.
TEST_F(FaultFileTest, FlushCoversOnlyItsOwnFile) {
  const std::string other = "/fault/other";
  FilePtr f = open_ok(fs, path, kWriter);
  FilePtr g = open_ok(fs, other, kWriter);
  std::vector<uint8_t> a = pattern(8192, 3), b = pattern(8192, 4);
  ASSERT_EQ(f->write_at(a.data(), 8192, 0), 0);
  ASSERT_EQ(g->write_at(b.data(), 8192, 0), 0);
  ASSERT_EQ(g->datasync(), 0);
  ASSERT_EQ(g->write_at(b.data(), 8192, 8192), 0);
  FilePtr reader = open_ok(fs, path, platform::FILE_READ);
  ASSERT_EQ(f->write_at(b.data(), 8192, 8192), 0);
  ASSERT_EQ(reader->datasync(), 0);
  ASSERT_EQ(g->write_at(a.data(), 8192, 0), 0);
  fs.lose_power(platform::PowerLoss::DropUnflushed);
  std::vector<uint8_t> both = a;
  both.insert(both.end(), b.begin(), b.end());
  EXPECT_EQ(fs.contents(path), both);
  EXPECT_EQ(fs.contents(other), b);
}

TEST_F(FaultFileTest, TornWritesKeepWhole4KPiecesOnly) {
  const std::vector<uint8_t> old_bytes(16 * 8192, 0x11);
  fs.put_file(path, old_bytes);
  FilePtr f = open_ok(fs, path, platform::FILE_WRITE);
  const std::vector<uint8_t> fresh(16 * 8192, 0x22);
  for (int i = 0; i < 16; ++i) ASSERT_EQ(f->write_at(fresh.data(), 8192, i * 8192ull), 0);
  fs.lose_power(platform::PowerLoss::TearUnflushed, 7);
  std::vector<uint8_t> disk = fs.contents(path);
  ASSERT_EQ(disk.size(), old_bytes.size());
  int kept = 0, lost = 0;
  for (size_t piece = 0; piece < disk.size() / 4096; ++piece) {
    const uint8_t first = disk[piece * 4096];
    for (size_t i = 1; i < 4096; ++i) ASSERT_EQ(disk[piece * 4096 + i], first);
    (first == 0x22 ? kept : lost)++;
  }
  EXPECT_GT(kept, 0);
  EXPECT_GT(lost, 0);
}

TEST_F(FaultFileTest, TransfersWithoutWaitingFollowTheFilesSpeed) {
  FilePtr f = open_ok(fs, path, kWriter);
  Cluster out(pattern(8 * 8192, 9));
  EXPECT_EQ(f->try_writev_at(out.iov, 8, 0), 0);
  Cluster in(std::vector<uint8_t>(8 * 8192));
  EXPECT_EQ(f->try_readv_at(in.iov, 8, 0), 0);
  EXPECT_EQ(in.bytes, out.bytes);
  fs.set_delay_us(path, 100);
  EXPECT_EQ(f->try_readv_at(in.iov, 8, 0), EAGAIN);
  fs.set_delay_us(path, 0);
  fs.set_nowait(false);
  EXPECT_EQ(f->try_writev_at(out.iov, 8, 0), EAGAIN);
  // A read past the end cannot be done at once either.
  fs.set_nowait(true);
  EXPECT_EQ(f->try_readv_at(in.iov, 8, 4096), EAGAIN);
}

}  // namespace
