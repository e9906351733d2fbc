// crash_file_system.h - a file system that stops the program at the n-th
// write or flush, for crash tests of code that writes in a careful order.
//
// It passes every call to an inner file system (the test double, or the
// real one). Renames and removals count as writes, directory syncs as
// flushes. When the armed count of writes and flushes is reached, it runs
// the crash action (for the test double: lose power), and throws PowerCut
// out of the write or flush that was about to happen, so the code under test
// stops exactly there. The test then drops the in-memory state and reopens
// what the disk holds. The throw reaches the code under test only on the
// calling thread; for a cut on an I/O thread use the double's crash point
// (FaultFileSystem::crash_at), which lets the program run on.
//
// It can also watch without stopping anything: an observer called before
// every write and flush, on whichever thread makes it (the I/O threads
// too), can take what a power loss at that moment would leave.
#pragma once
#include <sys/uio.h>

#include <stdlib.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <utility>

#include "platform/file.h"
#include "storage/crash_point.h"

namespace storage_test {

struct PowerCut {};

class CrashFileSystem final : public platform::FileSystem {
 public:
  explicit CrashFileSystem(platform::FileSystem* inner, std::function<void()> on_crash = {})
      : inner_(inner), on_crash_(std::move(on_crash)) {}

  // Crash at the n-th write or flush from now (1 = the next one); 0 disarms.
  void arm(int n) {
    countdown_ = n;
    ops_ = 0;
  }
  // Writes and flushes seen since the last arm.
  int ops() const { return ops_; }
  // Every read, write and flush ever passed on.
  uint64_t calls() const { return calls_; }
  // Calls fn before every write and flush from now on (none stops). Set it
  // while no I/O thread runs; fn must be safe on any thread.
  void observe(std::function<void()> fn) { observer_ = std::move(fn); }
  // Calls fn before every file write (offset of the transfer) and flush
  // (offset 0) with the file's path, beside observe(); same rules.
  using OpObserver = std::function<void(const char* path, bool flush, uint64_t offset)>;
  void observe_ops(OpObserver fn) { op_observer_ = std::move(fn); }

  int open(const char* path, unsigned flags, platform::File** out) override {
    platform::File* f = nullptr;
    if (int err = inner_->open(path, flags, &f)) return err;
    *out = new CrashFile(path, f, this);
    return 0;
  }
  int rename(const char* from, const char* to) override {
    tick();
    return inner_->rename(from, to);
  }
  int remove(const char* path) override {
    tick();
    return inner_->remove(path);
  }
  int sync_dir(const char* dir) override {
    tick();
    return inner_->sync_dir(dir);
  }

 private:
  void tick() {
    if (observer_) observer_();
    ++calls_;
    ++ops_;
    if (countdown_ > 0 && --countdown_ == 0) {
      if (on_crash_) on_crash_();
      throw PowerCut{};
    }
  }

  class CrashFile final : public platform::File {
   public:
    CrashFile(const char* path, platform::File* inner, CrashFileSystem* fs)
        : File(path), inner_(inner), fs_(fs) {}
    ~CrashFile() override { close(); }
    int close() override {
      platform::File* f = inner_;
      inner_ = nullptr;
      return platform::file_close(f);
    }

   protected:
    ssize_t raw_preadv(const struct iovec* iov, int count, uint64_t offset, int flags) override {
      if (flags != 0) return refuse_nowait();
      ++fs_->calls_;
      size_t done = 0;
      if (int err = inner_->readv_at(iov, count, offset, &done)) return fail(err);
      return static_cast<ssize_t>(done);
    }
    ssize_t raw_pwritev(const struct iovec* iov, int count, uint64_t offset, int flags) override {
      if (flags != 0) return refuse_nowait();
      if (fs_->op_observer_) fs_->op_observer_(path(), false, offset);
      fs_->tick();
      size_t done = 0;
      if (int err = inner_->writev_at(iov, count, offset, &done)) return fail(err);
      return static_cast<ssize_t>(done);
    }
    int raw_fdatasync() override {
      if (fs_->op_observer_) fs_->op_observer_(path(), true, 0);
      fs_->tick();
      if (int err = inner_->datasync()) return fail(err);
      return 0;
    }
    int raw_info(platform::FileInfo* out) override {
      if (int err = inner_->info(out)) return fail(err);
      return 0;
    }

   private:
    static int fail(int err) {
      errno = err;
      return -1;
    }
    static int refuse_nowait() { return fail(EOPNOTSUPP); }

    platform::File* inner_;
    CrashFileSystem* fs_;
  };

  platform::FileSystem* inner_;
  std::function<void()> on_crash_;
  std::function<void()> observer_;
  OpObserver op_observer_;
  // The I/O threads pass calls on too.
  std::atomic<int> countdown_{0};
  std::atomic<int> ops_{0};
  std::atomic<uint64_t> calls_{0};
};

// A named crash point armed with action until disarm(), which says
// whether the point was reached.
struct ArmedCrashPoint {
  ArmedCrashPoint(const char* name, CrashPointAction action) : name_(name) {
    crash_point_set_action(action);
    setenv("ZENT_CRASH_POINT", name, 1);
    crash_point_arm_from_env();
  }
  bool disarm() {
    const bool hit = crash_point_hits(name_) > 0;
    unsetenv("ZENT_CRASH_POINT");
    crash_point_arm_from_env();
    crash_point_set_action(nullptr);
    return hit;
  }
  const char* name_;
};

}  // namespace storage_test
