// fault_file.h - the test double for files: an in-memory file system that
// remembers which writes have not been flushed, so a test can lose power.
//
// Install it with platform::set_file_system(&fs) before anything opens a
// file, and platform::set_file_system(nullptr) afterwards. Every File it
// hands out runs the real File transfer loops over simulated system calls,
// so injected EINTR and short transfers exercise the production code.
//
// It is as strict as a real kernel may be:
//   - a flush makes durable the writes to its file that had completed when
//     the flush began; a write that completes while the flush waits or runs
//     is not covered;
//   - directory entries are kept apart from contents: a file created,
//     renamed or removed has that change on the disk only once its
//     directory was synced (sync_dir); a power loss brings back the names
//     as the last directory sync left them (directories themselves are not
//     modelled: every directory exists);
//   - an unflushed write may survive a power loss in part, torn at 4 KiB
//     pages or at 512-byte sectors.
//
// What a test can do:
//   - lose power: drop every write not yet flushed, or keep a random subset
//     of them torn at 4 KiB or 512-byte boundaries; handles opened before
//     then fail with EIO, and the files are reopened as the disk now holds
//     them;
//   - set a crash point: the power fails just before the n-th write, flush,
//     directory change or directory sync from now, on whichever thread makes
//     it (an I/O thread included). The program does not stop: it runs on,
//     but nothing it does from there reaches the disk, and the next
//     lose_power brings the machine back with the disk as the crash left it;
//   - fail the n-th write or flush from now, or every write or flush of one
//     file until cleared, with a chosen errno (a failed flush also loses the
//     unflushed writes' durability, as on Linux);
//   - make a file slow (each transfer or flush sleeps; transfers without
//     waiting say EAGAIN), hold every transfer or flush, or one file's
//     transfers, until released (and see how many calls wait in a hold),
//     interrupt the next calls with EINTR, cut every transfer short;
//   - bound the space (ENOSPC) or a file's size (EFBIG);
//   - count the calls and read back what the file and the disk hold.
//
// Thread-safe: the I/O threads may use its files in parallel.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"

namespace platform {

enum class PowerLoss {
  DropUnflushed,  // the disk keeps exactly what was flushed
  TearUnflushed,  // each 4 KiB piece of each unflushed write survives or not, at random
  TearSectors,    // the same for each 512-byte sector
  // Not the power but the process went (kill -9): the system's cache keeps
  // every write made and every name change, flushed or not.
  KillProcess,
};

struct FaultFileCounts {
  uint64_t reads = 0;    // simulated read calls (each piece of a short transfer counts)
  uint64_t writes = 0;   // simulated write calls
  uint64_t flushes = 0;  // fdatasync calls, failed ones included
};

// The double's directory calls (create, rename, remove, directory syncs).
struct FaultDirCounts {
  uint64_t changes = 0;
  uint64_t syncs = 0;
};

class FaultFileSystem final : public FileSystem {
 public:
  FaultFileSystem();
  ~FaultFileSystem() override;

  int open(const char* path, unsigned flags, File** out) override;
  int rename(const char* from, const char* to) override;
  int remove(const char* path) override;
  int sync_dir(const char* dir) override;

  // Contents of the file a name refers to now: what reads see, and what
  // would survive a power loss if the name does. exists() answers for the
  // names as they are now, durable_exists() for the names a power loss would
  // leave.
  bool exists(const std::string& path) const;
  bool durable_exists(const std::string& path) const;
  std::vector<uint8_t> contents(const std::string& path) const;
  std::vector<uint8_t> durable_contents(const std::string& path) const;
  // Places a file on the "disk" as if written and flushed long ago, its name
  // synced; remove_file takes it away the same way.
  void put_file(const std::string& path, const std::vector<uint8_t>& bytes);
  void remove_file(const std::string& path);

  void lose_power(PowerLoss mode, uint32_t seed = 1);
  // The power fails just before the n-th write, flush, directory change or
  // directory sync from now (1 = the next), across all files and threads,
  // as lose_power(mode, seed) would leave the disk. 0 disarms.
  void crash_at(int nth, PowerLoss mode, uint32_t seed = 1);
  // Whether the armed crash point has fired (and lose_power not yet run),
  // and the thread it fired on.
  bool crashed() const;
  std::thread::id crash_thread() const;
  // Writes, flushes, directory changes and syncs since crash_at.
  int crash_ops() const;

  // The n-th write (or flush) call from now, counting from 1 and across all
  // files, fails with err. 0 cancels.
  void fail_write(int nth, int err);
  void fail_flush(int nth, int err);
  // Total bytes all files may hold (ENOSPC past it, after a short write up to
  // it); 0 = no bound.
  void set_capacity(uint64_t bytes);
  // Largest size of one file (EFBIG past it); 0 = no bound.
  void set_max_file_size(uint64_t bytes);
  // Per file: sleep this long in every read and write (0 = fast).
  void set_delay_us(const std::string& path, uint32_t micros);
  // Per file: sleep this long in every flush.
  void set_flush_delay_us(const std::string& path, uint32_t micros);
  // While on, every read and write waits (transfers without waiting say
  // EAGAIN); turning it off lets them all go.
  void hold_transfers(bool on);
  // The same for flushes: while on, every flush waits.
  void hold_flushes(bool on);
  // Per file: while on, its reads and writes wait (as hold_transfers).
  void hold_file(const std::string& path, bool on);
  // Calls waiting in a hold now: transfers, flushes.
  int held_transfers() const;
  int held_flushes() const;
  // Per file: every write fails with write_err, every flush with flush_err,
  // until called again with 0 (a disk that stays bad, or a full file system).
  void fail_file(const std::string& path, int write_err, int flush_err);
  // Per file: the next n calls (transfers and flushes) fail with EINTR.
  void inject_eintr(const std::string& path, int n);
  // Per file: every call moves at most max_bytes (0 = no limit).
  void limit_transfer(const std::string& path, size_t max_bytes);
  // When off, transfers without waiting always say EAGAIN, so every transfer
  // takes the waiting road. On by default (slow files excepted).
  void set_nowait(bool on);

  FaultFileCounts counts(const std::string& path) const;
  uint64_t total_flushes() const;
  FaultDirCounts dir_counts() const;

  struct Node;
  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace platform
