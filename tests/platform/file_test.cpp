// The file layer on the real file system and on the test double: whole
// transfers despite EINTR and short transfers, space errors, the writer lock,
// failed flushes, power loss, directory entries and crash points.
#include <gtest/gtest.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>
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

TEST(PosixFile, RenameRemoveAndDirectorySync) {
  testsupport::TempDir dir;
  platform::FileSystem& fs = *platform::file_system();
  open_ok(fs, dir.file("a"), kWriter).reset();
  EXPECT_EQ(platform::file_rename(dir.file("a").c_str(), dir.file("b").c_str()), 0);
  EXPECT_EQ(platform::file_sync_parent(dir.file("b").c_str()), 0);
  File* f = nullptr;
  EXPECT_EQ(fs.open(dir.file("a").c_str(), platform::FILE_READ, &f), ENOENT);
  EXPECT_EQ(platform::file_remove(dir.file("b").c_str()), 0);
  EXPECT_EQ(platform::file_remove(dir.file("b").c_str()), ENOENT);
  EXPECT_EQ(platform::file_sync_dir(dir.file("missing").c_str()), ENOENT);
  EXPECT_EQ(platform::file_sync_dir(dir.file("").c_str()), 0);
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
  // gone after a power loss, which is why the layers above write it again.
  fs.fail_flush(1, EIO);
  EXPECT_EQ(f->datasync(), EIO);
  EXPECT_EQ(fs.contents(path).size(), 2u * 8192);
  EXPECT_EQ(f->datasync(), 0);
  fs.lose_power(platform::PowerLoss::DropUnflushed);
  EXPECT_TRUE(fs.durable_contents(path).empty());
}

// One file goes bad until cleared; the others are not touched.
TEST_F(FaultFileTest, AFailingFileFailsEveryWriteOrFlushUntilCleared) {
  const std::string other = "/fault/other";
  FilePtr f = open_ok(fs, path, kWriter);
  FilePtr g = open_ok(fs, other, kWriter);
  ASSERT_EQ(fs.sync_dir("/fault"), 0);
  std::vector<uint8_t> page = pattern(8192, 3);
  fs.fail_file(path, ENOSPC, EIO);
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(f->write_at(page.data(), 8192, 0), ENOSPC) << round;
    EXPECT_EQ(f->datasync(), EIO) << round;
  }
  EXPECT_EQ(g->write_at(page.data(), 8192, 0), 0);
  EXPECT_EQ(g->datasync(), 0);
  fs.fail_file(path, 0, EIO);
  EXPECT_EQ(f->write_at(page.data(), 8192, 0), 0);
  EXPECT_EQ(f->datasync(), EIO);
  fs.fail_file(path, 0, 0);
  EXPECT_EQ(f->datasync(), 0);
  // The write whose flush failed is not on the disk; the other file's is.
  fs.lose_power(platform::PowerLoss::DropUnflushed);
  EXPECT_TRUE(fs.durable_contents(path).empty());
  EXPECT_EQ(fs.durable_contents(other), page);
}

TEST_F(FaultFileTest, WriterLockAndHandlesBeforeAPowerLossAreDead) {
  FilePtr f = open_ok(fs, path, kWriter);
  ASSERT_EQ(fs.sync_dir("/fault"), 0);
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
  ASSERT_EQ(fs.sync_dir("/fault"), 0);
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

// Torn writes keep whole pieces of the tear size only, and with sectors
// some 4 KiB page of the write is itself torn.
struct TearCase {
  const char* name;
  platform::PowerLoss mode;
  size_t piece;
};
void PrintTo(const TearCase& c, std::ostream* os) { *os << c.name; }
class Torn : public FaultFileTest, public ::testing::WithParamInterface<TearCase> {};

TEST_P(Torn, WritesKeepWholePiecesOnly) {
  const TearCase& c = GetParam();
  const std::vector<uint8_t> old_bytes(16 * 8192, 0x11);
  fs.put_file(path, old_bytes);
  FilePtr f = open_ok(fs, path, platform::FILE_WRITE);
  const std::vector<uint8_t> fresh(16 * 8192, 0x22);
  for (int i = 0; i < 16; ++i) ASSERT_EQ(f->write_at(fresh.data(), 8192, i * 8192ull), 0);
  fs.lose_power(c.mode, 7);
  std::vector<uint8_t> disk = fs.contents(path);
  ASSERT_EQ(disk.size(), old_bytes.size());
  int kept = 0, lost = 0, mixed_pages = 0;
  for (size_t piece = 0; piece < disk.size() / c.piece; ++piece) {
    const uint8_t first = disk[piece * c.piece];
    for (size_t i = 1; i < c.piece; ++i) ASSERT_EQ(disk[piece * c.piece + i], first);
    (first == 0x22 ? kept : lost)++;
  }
  for (size_t page = 0; page < disk.size() / 4096; ++page)
    if (!std::all_of(disk.begin() + page * 4096, disk.begin() + (page + 1) * 4096,
                     [&](uint8_t b) { return b == disk[page * 4096]; }))
      ++mixed_pages;
  EXPECT_GT(kept, 0);
  EXPECT_GT(lost, 0);
  EXPECT_EQ(mixed_pages > 0, c.piece < 4096) << mixed_pages;
}

INSTANTIATE_TEST_SUITE_P(
    FaultFile, Torn,
    ::testing::Values(TearCase{"Pages", platform::PowerLoss::TearUnflushed, 4096},
                      TearCase{"Sectors", platform::PowerLoss::TearSectors, 512}),
    [](const auto& c) { return std::string(c.param.name); });

// A flush covers the writes done when it began. One that completes while
// the flush waits (held here, as a busy disk would keep it) is not covered,
// though it reads back: after a power loss it is gone.
TEST_F(FaultFileTest, FlushCoversOnlyWritesDoneWhenItBegan) {
  fs.put_file(path, std::vector<uint8_t>(2 * 8192, 0x11));
  FilePtr f = open_ok(fs, path, platform::FILE_WRITE);
  const std::vector<uint8_t> a = pattern(8192, 1), b = pattern(8192, 2);
  ASSERT_EQ(f->write_at(a.data(), 8192, 0), 0);
  fs.hold_flushes(true);
  std::thread flusher([&] { EXPECT_EQ(f->datasync(), 0); });
  while (fs.held_flushes() == 0) std::this_thread::yield();
  ASSERT_EQ(f->write_at(b.data(), 8192, 8192), 0);
  fs.hold_flushes(false);
  flusher.join();
  fs.lose_power(platform::PowerLoss::DropUnflushed);
  std::vector<uint8_t> disk = fs.contents(path);
  ASSERT_EQ(disk.size(), 2u * 8192);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), disk.begin()));
  EXPECT_EQ(disk[8192], 0x11);
}

// Names created, renamed or removed survive a power loss only when their
// directory was synced after the change; syncing another directory is no
// help. "/d/old" exists and is synced before each case.
struct DirCase {
  const char* name;
  void (*change)(FaultFileSystem& fs);
  const char* synced_dir;  // synced after the change, or none
  std::vector<std::string> after;  // names with their first byte after the loss
};
void PrintTo(const DirCase& c, std::ostream* os) { *os << c.name; }
class DirectoryEntries : public FaultFileTest, public ::testing::WithParamInterface<DirCase> {};

void create_new(FaultFileSystem& fs) {
  File* f = nullptr;
  ASSERT_EQ(fs.open("/d/new", kWriter, &f), 0);
  const uint8_t byte = 0x22;
  ASSERT_EQ(f->write_at(&byte, 1, 0), 0);
  ASSERT_EQ(f->datasync(), 0);
  platform::file_close(f);
}
void rename_over(FaultFileSystem& fs) {
  create_new(fs);
  ASSERT_EQ(fs.rename("/d/new", "/d/old"), 0);
}
void remove_old(FaultFileSystem& fs) { ASSERT_EQ(fs.remove("/d/old"), 0); }

TEST_P(DirectoryEntries, SurviveAPowerLossOnlyOnceTheirDirectoryIsSynced) {
  const DirCase& c = GetParam();
  fs.put_file("/d/old", {0x11});
  c.change(fs);
  if (c.synced_dir) {
    ASSERT_EQ(fs.sync_dir(c.synced_dir), 0);
  }
  fs.lose_power(platform::PowerLoss::DropUnflushed);
  std::vector<std::string> after;
  for (const char* name : {"/d/old", "/d/new"})
    if (fs.exists(name)) after.push_back(std::string(name) + "=" + std::to_string(fs.contents(name)[0]));
  EXPECT_EQ(after, c.after);
}

INSTANTIATE_TEST_SUITE_P(
    FaultFile, DirectoryEntries,
    ::testing::Values(DirCase{"CreatedUnsynced", create_new, nullptr, {"/d/old=17"}},
                      DirCase{"CreatedSynced", create_new, "/d", {"/d/old=17", "/d/new=34"}},
                      DirCase{"CreatedOtherDirSynced", create_new, "/e", {"/d/old=17"}},
                      DirCase{"RenamedUnsynced", rename_over, nullptr, {"/d/old=17"}},
                      DirCase{"RenamedSynced", rename_over, "/d", {"/d/old=34"}},
                      DirCase{"RemovedUnsynced", remove_old, nullptr, {"/d/old=17"}},
                      DirCase{"RemovedSynced", remove_old, "/d", {}}),
    [](const auto& c) { return std::string(c.param.name); });

// A crash point fires on whichever thread makes the call; the program runs
// on without error, but nothing after the point reaches the disk.
TEST_F(FaultFileTest, CrashPointOnAnotherThreadFreezesTheDisk) {
  fs.put_file(path, std::vector<uint8_t>(4 * 8192, 0x11));
  FilePtr f = open_ok(fs, path, platform::FILE_WRITE);
  const std::vector<uint8_t> page = pattern(8192, 3);
  fs.crash_at(3, platform::PowerLoss::DropUnflushed);  // before the second write
  std::thread io([&] {
    for (uint64_t p = 0; p < 4; ++p) {
      EXPECT_EQ(f->write_at(page.data(), 8192, p * 8192), 0);
      if (p % 2 == 0) {
        EXPECT_EQ(f->datasync(), 0);
      }
    }
  });
  io.join();
  EXPECT_TRUE(fs.crashed());
  EXPECT_EQ(fs.crash_ops(), 3);
  EXPECT_EQ(fs.contents(path), [&] {
    std::vector<uint8_t> all;
    for (int i = 0; i < 4; ++i) all.insert(all.end(), page.begin(), page.end());
    return all;
  }());
  fs.lose_power(platform::PowerLoss::TearUnflushed);
  EXPECT_FALSE(fs.crashed());
  std::vector<uint8_t> disk = fs.contents(path);
  EXPECT_TRUE(std::equal(page.begin(), page.end(), disk.begin()));
  for (uint64_t p = 1; p < 4; ++p) EXPECT_EQ(disk[p * 8192], 0x11) << p;
}

// One file's transfers held while another's go on; the held ones are seen
// waiting.
TEST_F(FaultFileTest, OneFileHeldOthersGoOn) {
  fs.put_file(path, std::vector<uint8_t>(8192, 0x11));
  fs.put_file("/fault/fast", std::vector<uint8_t>(8192, 0x22));
  FilePtr slow = open_ok(fs, path, platform::FILE_READ);
  FilePtr fast = open_ok(fs, "/fault/fast", platform::FILE_READ);
  fs.hold_file(path, true);
  std::vector<uint8_t> in(8192), in2(8192);
  EXPECT_EQ(slow->try_readv_at(std::vector<struct iovec>{{in.data(), 8192}}.data(), 1, 0), EAGAIN);
  std::thread reader([&] { EXPECT_EQ(slow->read_at(in.data(), 8192, 0), 0); });
  while (fs.held_transfers() == 0) std::this_thread::yield();
  EXPECT_EQ(fast->read_at(in2.data(), 8192, 0), 0);
  EXPECT_EQ(in2[0], 0x22);
  EXPECT_EQ(fs.held_transfers(), 1);
  fs.hold_file(path, false);
  reader.join();
  EXPECT_EQ(in[0], 0x11);
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
