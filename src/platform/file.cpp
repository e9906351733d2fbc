// file.cpp - volume files on the operating system: open with the writer lock,
// positioned vector transfers that finish what they start, fdatasync, and the
// directory entries (rename, remove, directory sync).
#include "platform/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

namespace platform {

namespace {

size_t total_length(const struct iovec* iov, int count) {
  size_t n = 0;
  for (int i = 0; i < count; ++i) n += iov[i].iov_len;
  return n;
}

// Drops the first n bytes from the vector v[*first..count).
void advance(struct iovec* v, int count, int* first, size_t n) {
  while (n > 0 && *first < count) {
    struct iovec& e = v[*first];
    if (n >= e.iov_len) {
      n -= e.iov_len;
      ++*first;
    } else {
      e.iov_base = static_cast<char*>(e.iov_base) + n;
      e.iov_len -= n;
      n = 0;
    }
  }
  while (*first < count && v[*first].iov_len == 0) ++*first;
}

}  // namespace

int File::transfer(Dir dir, const struct iovec* iov, int count, uint64_t offset, size_t* done) {
  if (done) *done = 0;
  if (count < 1 || count > kFileMaxVector) return EINVAL;
  struct iovec v[kFileMaxVector];
  std::copy(iov, iov + count, v);
  int first = 0;
  advance(v, count, &first, 0);
  size_t moved = 0;
  int err = 0;
  while (first < count) {
    ssize_t n = dir == Dir::Read ? raw_preadv(v + first, count - first, offset + moved, 0)
                                 : raw_pwritev(v + first, count - first, offset + moved, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    if (n == 0) {
      // End of file for a read; a write that moves nothing would loop for ever.
      if (dir == Dir::Write) err = EIO;
      break;
    }
    moved += static_cast<size_t>(n);
    advance(v, count, &first, static_cast<size_t>(n));
  }
  if (done) *done = moved;
  return err;
}

int File::try_transfer(Dir dir, const struct iovec* iov, int count, uint64_t offset) {
  if (count < 1 || count > kFileMaxVector) return EINVAL;
  std::atomic<bool>& unsupported = nowait_unsupported_[dir == Dir::Read ? 0 : 1];
  if (unsupported.load(std::memory_order_relaxed)) return EAGAIN;
  const size_t want = total_length(iov, count);
  for (;;) {
    ssize_t n = dir == Dir::Read ? raw_preadv(iov, count, offset, RWF_NOWAIT)
                                 : raw_pwritev(iov, count, offset, RWF_NOWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return EAGAIN;
      if (errno == EOPNOTSUPP || errno == EINVAL) {
        // This file system cannot do it; the waiting transfer reports real errors.
        unsupported.store(true, std::memory_order_relaxed);
        return EAGAIN;
      }
      return errno;
    }
    // Part done: the rest would wait; the whole transfer is repeated later.
    return static_cast<size_t>(n) == want ? 0 : EAGAIN;
  }
}

int File::read_at(void* buf, size_t len, uint64_t offset, size_t* done) {
  struct iovec v = {buf, len};
  return transfer(Dir::Read, &v, 1, offset, done);
}

int File::write_at(const void* buf, size_t len, uint64_t offset, size_t* done) {
  struct iovec v = {const_cast<void*>(buf), len};
  return transfer(Dir::Write, &v, 1, offset, done);
}

int File::readv_at(const struct iovec* iov, int count, uint64_t offset, size_t* done) {
  return transfer(Dir::Read, iov, count, offset, done);
}

int File::writev_at(const struct iovec* iov, int count, uint64_t offset, size_t* done) {
  return transfer(Dir::Write, iov, count, offset, done);
}

int File::try_readv_at(const struct iovec* iov, int count, uint64_t offset) {
  return try_transfer(Dir::Read, iov, count, offset);
}

int File::try_writev_at(const struct iovec* iov, int count, uint64_t offset) {
  return try_transfer(Dir::Write, iov, count, offset);
}

int File::datasync() {
  for (;;) {
    if (raw_fdatasync() == 0) return 0;
    // An interrupted call did not report a write-back failure; ask again.
    if (errno != EINTR) return errno;
  }
}

int File::info(FileInfo* out) {
  *out = FileInfo{};
  return raw_info(out) == 0 ? 0 : errno;
}

namespace {

class PosixFile final : public File {
 public:
  PosixFile(const char* path, int fd) : File(path), fd_(fd) {}
  ~PosixFile() override { close(); }

  int close() override {
    if (fd_ < 0) return 0;
    int rc = ::close(fd_);
    fd_ = -1;
    // Linux releases the descriptor even when close reports an error.
    return rc == 0 ? 0 : errno;
  }

 protected:
  ssize_t raw_preadv(const struct iovec* iov, int count, uint64_t offset, int flags) override {
    return ::preadv2(fd_, iov, count, static_cast<off_t>(offset), flags);
  }
  ssize_t raw_pwritev(const struct iovec* iov, int count, uint64_t offset, int flags) override {
    return ::pwritev2(fd_, iov, count, static_cast<off_t>(offset), flags);
  }
  int raw_fdatasync() override { return ::fdatasync(fd_); }
  int ring_fd() const override { return fd_; }
  int raw_info(FileInfo* out) override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return -1;
    out->size = static_cast<uint64_t>(st.st_size);
    if (S_ISREG(st.st_mode))
      out->kind = FileKind::Regular;
    else if (S_ISBLK(st.st_mode))
      out->kind = FileKind::Block;
    else if (S_ISCHR(st.st_mode))
      out->kind = FileKind::Character;
    else
      out->kind = FileKind::Other;
    return 0;
  }

 private:
  int fd_;
};

class PosixFileSystem final : public FileSystem {
 public:
  int open(const char* path, unsigned flags, File** out) override {
    *out = nullptr;
    int oflags = O_CLOEXEC | ((flags & FILE_WRITE) ? O_RDWR : O_RDONLY);
    if (flags & FILE_CREATE) oflags |= O_CREAT;
    if ((flags & FILE_CREATE) && (flags & FILE_EXCL)) oflags |= O_EXCL;
    int fd;
    do {
      fd = ::open(path, oflags, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    if (flags & (FILE_WRITE | FILE_SHARED)) {
      // One writer per file across processes and within this one (the lock
      // belongs to the open file description, not to the process); shared
      // readers keep writers off while they look.
      const int how = (flags & FILE_WRITE) ? LOCK_EX : LOCK_SH;
      while (::flock(fd, how | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        int err = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        return err;
      }
    }
    File* f = new (std::nothrow) PosixFile(path, fd);
    if (f == nullptr) {
      ::close(fd);
      return ENOMEM;
    }
    *out = f;
    return 0;
  }

  int rename(const char* from, const char* to) override {
    return ::rename(from, to) == 0 ? 0 : errno;
  }

  int remove(const char* path) override { return ::unlink(path) == 0 ? 0 : errno; }

  int sync_dir(const char* dir) override {
    int fd;
    do {
      fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    int err = 0;
    while (::fsync(fd) != 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    ::close(fd);
    return err;
  }
};

PosixFileSystem g_posix;
std::atomic<FileSystem*> g_installed{nullptr};

}  // namespace

FileSystem* file_system() {
  FileSystem* fs = g_installed.load();
  return fs ? fs : &g_posix;
}

void set_file_system(FileSystem* fs) { g_installed.store(fs); }

FileSystem* os_file_system() { return &g_posix; }

int file_open(const char* path, unsigned flags, File** out) {
  return file_system()->open(path, flags, out);
}

int file_rename(const char* from, const char* to) { return file_system()->rename(from, to); }

int file_remove(const char* path) { return file_system()->remove(path); }

int file_sync_dir(const char* dir) { return file_system()->sync_dir(dir); }

int sync_parent_dir(FileSystem* fs, const char* path) {
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) return fs->sync_dir(".");
  if (slash == path) return fs->sync_dir("/");
  return fs->sync_dir(std::string(path, static_cast<size_t>(slash - path)).c_str());
}

int file_sync_parent(const char* path) { return sync_parent_dir(file_system(), path); }

int file_close(File* f) {
  if (f == nullptr) return 0;
  int err = f->close();
  delete f;
  return err;
}

}  // namespace platform
