// real_file.h - a volume file on a real descriptor, for tests and benchmarks
// of the I/O threads. It can refuse transfers without waiting (so each one
// goes to a read/write thread) and read a pipe as a slow disk (a read waits
// in the kernel until someone writes the bytes; the offset is ignored, by a
// ring too). A ring transfers on its descriptor. It counts its flushes and
// owns the descriptor.
#pragma once
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "platform/file.h"

namespace storage_test {

class RealFile final : public platform::File {
 public:
  enum : unsigned { kThreadOnly = 1, kPipe = 2 };

  RealFile(const char* path, int fd, unsigned options)
      : platform::File(path), fd_(fd), options_(options) {}
  ~RealFile() override { close(); }
  int ring_fd() const override { return fd_; }
  int close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    return 0;
  }
  uint64_t fdatasyncs() const { return fdatasyncs_.load(); }

 protected:
  ssize_t raw_preadv(const struct iovec* iov, int n, uint64_t off, int flags) override {
    if ((options_ & kThreadOnly) && (flags & RWF_NOWAIT)) return would_wait();
    return ::preadv2(fd_, iov, n, (options_ & kPipe) ? -1 : static_cast<off_t>(off), flags);
  }
  ssize_t raw_pwritev(const struct iovec* iov, int n, uint64_t off, int flags) override {
    if ((options_ & kThreadOnly) && (flags & RWF_NOWAIT)) return would_wait();
    return ::pwritev2(fd_, iov, n, (options_ & kPipe) ? -1 : static_cast<off_t>(off), flags);
  }
  int raw_fdatasync() override {
    ++fdatasyncs_;
    return ::fdatasync(fd_);
  }
  int raw_info(platform::FileInfo* out) override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return -1;
    out->size = static_cast<uint64_t>(st.st_size);
    out->kind = platform::FileKind::Regular;
    return 0;
  }

 private:
  static ssize_t would_wait() {
    errno = EAGAIN;
    return -1;
  }
  int fd_;
  const unsigned options_;
  std::atomic<uint64_t> fdatasyncs_{0};
};

}  // namespace storage_test
