// share_files.cpp - files below a share's directory (see share_files.h).
#include "platform/share_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace platform {

namespace {

// Closes a descriptor when it goes out of scope, keeping errno.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      const int err = errno;
      close(fd_);
      errno = err;
    }
    fd_ = fd;
  }

 private:
  int fd_;
};

// Opens path below the directory dirfd; nothing on the way may lead out.
int open_beneath(int dirfd, const std::string& path, uint64_t flags, uint64_t mode = 0) {
  open_how how{};
  how.flags = flags | O_CLOEXEC;
  how.mode = mode;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  long rc;
  do {
    rc = syscall(SYS_openat2, dirfd, path.empty() ? "." : path.c_str(), &how, sizeof how);
  } while (rc < 0 && errno == EINTR);
  return static_cast<int>(rc);
}

std::string join(const std::string& dir, const std::string& name) {
  return dir.empty() ? name : dir + "/" + name;
}

// The name in directory dir (below root) equal to wanted without regard to
// case; the smallest in byte order when several are. False when none is.
bool find_without_case(int root, const std::string& dir, const std::string& wanted,
                       std::string* found) {
  const int fd = open_beneath(root, dir, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    close(fd);
    return false;
  }
  bool any = false;
  while (const dirent* e = readdir(d)) {
    if (strcasecmp(e->d_name, wanted.c_str()) != 0) continue;
    if (!any || strcmp(e->d_name, found->c_str()) < 0) *found = e->d_name;
    any = true;
  }
  closedir(d);
  return any;
}

// The path below root as it exists on disk, component by component. With
// last_may_miss the last component may be absent (it is then kept as
// given). -1 with errno: EXDEV for "..", the errors of the walk otherwise.
int resolve(int root, const char* rel, bool last_may_miss, std::string* actual) {
  actual->clear();
  const char* p = rel;
  while (*p != '\0') {
    const size_t len = strcspn(p, "/\\");
    const std::string comp(p, len);
    p += len;
    while (*p == '/' || *p == '\\') ++p;
    if (comp.empty() || comp == ".") continue;
    if (comp == "..") {
      errno = EXDEV;
      return -1;
    }
    const bool last = *p == '\0';
    const std::string candidate = join(*actual, comp);
    const int fd = open_beneath(root, candidate, O_PATH);
    if (fd >= 0) {
      close(fd);
      *actual = candidate;
      continue;
    }
    if (errno != ENOENT) return -1;
    std::string found;
    if (find_without_case(root, *actual, comp, &found)) {
      *actual = join(*actual, found);
    } else if (last && last_may_miss) {
      *actual = candidate;
    } else {
      errno = ENOENT;
      return -1;
    }
  }
  return 0;
}

int open_root(const char* root) {
  return open(root, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

bool is_network_fs(int fd) {
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969:      // NFS
    case 0x517b:      // SMB
    case 0xff534d42:  // CIFS
    case 0xfe534d42:  // SMB2
    case 0x73757245:  // Coda
    case 0x5346414f:  // AFS
    case 0x564c:      // NCP
    case 0x01021997:  // 9P
    case 0x00c36400:  // Ceph
      return true;
    default:
      return false;
  }
}

// Whether directory fd holds a directory (other than "." and "..").
bool holds_subdir(int fd) {
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    close(fd);
    return false;
  }
  bool found = false;
  while (!found) {
    const dirent* e = readdir(d);
    if (e == nullptr) break;
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    if (e->d_type == DT_DIR) {
      found = true;
    } else if (e->d_type == DT_UNKNOWN) {
      struct stat st;
      found = fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
  }
  closedir(d);
  return found;
}

int list_dir(const char* root_path, const char* rel, bool* remote, ShareEntryFn fn, void* ctx) {
  Fd root(open_root(root_path));
  if (root.get() < 0) return -1;
  std::string dir;
  if (resolve(root.get(), rel, false, &dir) != 0) return -1;
  const int fd = open_beneath(root.get(), dir, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return -1;
  *remote = is_network_fs(fd);
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    const int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  int rc = 0;
  for (;;) {
    errno = 0;
    const dirent* e = readdir(d);
    if (e == nullptr) {
      if (errno != 0) rc = -1;
      break;
    }
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    struct stat st;
    if (fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const bool link = S_ISLNK(st.st_mode);
    if (link) {
      // Listed by what it leads to, and only when that stays in the share.
      Fd target(open_beneath(root.get(), join(dir, e->d_name), O_PATH));
      if (target.get() < 0 || fstat(target.get(), &st) != 0) continue;
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) continue;
    ShareEntry entry{};
    entry.name = e->d_name;
    entry.is_dir = S_ISDIR(st.st_mode);
    entry.hidden = e->d_name[0] == '.';
    entry.read_only = (st.st_mode & S_IWUSR) == 0;
    entry.size = entry.is_dir ? 0 : static_cast<uint64_t>(st.st_size);
    entry.mtime = st.st_mtim.tv_sec;
    if (entry.is_dir) {
      const int sub = link ? open_beneath(root.get(), join(dir, e->d_name), O_RDONLY | O_DIRECTORY)
                           : openat(fd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      entry.holds_subdir = sub >= 0 && holds_subdir(sub);
    }
    if (!fn(entry, ctx)) break;
  }
  const int err = errno;
  closedir(d);
  errno = err;
  return rc;
}

int open_read(const char* root_path, const char* rel, int* out, uint64_t* size) {
  Fd root(open_root(root_path));
  if (root.get() < 0) return -1;
  std::string path;
  if (resolve(root.get(), rel, false, &path) != 0) return -1;
  struct stat st;
  {
    // The kind is looked at before anything is opened for reading, so
    // that no device is ever opened and no FIFO waited on.
    Fd probe(open_beneath(root.get(), path, O_PATH));
    if (probe.get() < 0 || fstat(probe.get(), &st) != 0) return -1;
  }
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  Fd fd(open_beneath(root.get(), path, O_RDONLY | O_NONBLOCK | O_NOCTTY));
  struct stat again;
  if (fd.get() < 0 || fstat(fd.get(), &again) != 0) return -1;
  if (!S_ISREG(again.st_mode) || again.st_dev != st.st_dev || again.st_ino != st.st_ino) {
    errno = EINVAL;  // replaced between the look and the open
    return -1;
  }
  *size = static_cast<uint64_t>(again.st_size);
  *out = fd.release();
  return 0;
}

int write_all(int fd, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return 0;
}

// A new file beside the target, hidden from listings; its name goes to tmp.
int create_beside(int dirfd, mode_t mode, std::string* tmp) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint32_t r = 0;
    if (getrandom(&r, sizeof r, GRND_NONBLOCK) != sizeof r) r ^= static_cast<uint32_t>(getpid() + attempt);
    char name[32];
    snprintf(name, sizeof name, ".zentsd-save-%08x", r);
    const int fd = openat(dirfd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) {
      *tmp = name;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}

int save(const char* root_path, const char* rel, bool replace, const void* data, size_t n) {
  Fd root(open_root(root_path));
  if (root.get() < 0) return -1;
  std::string path;
  if (resolve(root.get(), rel, true, &path) != 0) return -1;
  if (path.empty()) {
    errno = EISDIR;
    return -1;
  }
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  Fd dirfd(open_beneath(root.get(), dir, O_RDONLY | O_DIRECTORY));
  if (dirfd.get() < 0) return -1;

  mode_t mode = 0666;
  bool exists = false;
  {
    struct stat st;
    Fd probe(open_beneath(root.get(), path, O_PATH));
    if (probe.get() >= 0) {
      exists = true;
      if (!replace) {
        errno = EEXIST;
        return -1;
      }
      if (fstat(probe.get(), &st) != 0) return -1;
      if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return -1;
      }
      // Replacing needs the right to write the file itself, not only the
      // directory, as writing into it would.
      Fd check(open_beneath(root.get(), path, O_WRONLY | O_NONBLOCK | O_NOCTTY));
      if (check.get() < 0) return -1;
      mode = st.st_mode & 07777;
    } else if (errno != ENOENT) {
      return -1;
    }
  }

  std::string tmp;
  Fd out(create_beside(dirfd.get(), mode, &tmp));
  if (out.get() < 0) return -1;
  int rc = 0;
  if ((exists && fchmod(out.get(), mode) != 0) || write_all(out.get(), data, n) != 0 ||
      fsync(out.get()) != 0 || close(out.release()) != 0) {
    rc = -1;
  } else if (replace ? renameat(dirfd.get(), tmp.c_str(), dirfd.get(), name.c_str())
                     : renameat2(dirfd.get(), tmp.c_str(), dirfd.get(), name.c_str(),
                                 RENAME_NOREPLACE)) {
    rc = -1;
  }
  if (rc != 0) {
    const int err = errno;
    out.reset();
    unlinkat(dirfd.get(), tmp.c_str(), 0);
    errno = err;
    return -1;
  }
  fsync(dirfd.get());
  return 0;
}

}  // namespace

int share_list_dir(const char* root, const char* rel, bool* remote, ShareEntryFn fn, void* ctx) {
  try {
    return list_dir(root, rel, remote, fn, ctx);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return -1;
  }
}

int share_open_read(const char* root, const char* rel, int* fd, uint64_t* size) {
  try {
    return open_read(root, rel, fd, size);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return -1;
  }
}

int share_save(const char* root, const char* rel, bool replace, const void* data, size_t n) {
  try {
    return save(root, rel, replace, data, n);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return -1;
  }
}

}  // namespace platform
