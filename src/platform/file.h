// file.h - volume files: positioned page transfers, flushes and the writer lock.
//
// A File moves bytes at a file offset. Every call finishes the whole transfer
// or reports why it could not: interrupted system calls are restarted and
// short transfers continued, so callers never see either. Errors are returned
// as errno values (0 = done); a full file system (ENOSPC, EDQUOT) or a file
// grown past its limit (EFBIG) is an ordinary error, never a crash.
//
// Files are opened through the FileSystem in use: the operating system's,
// unless a test installed another one (see fault_file.h), so code above this
// layer runs unchanged against the test double.
//
// Directory entries are durable apart from file contents: a file that was
// created, renamed or removed keeps or loses that change at a power loss
// unless the directory holding it was synced afterwards (file_sync_dir).
// Code that makes a file which must survive syncs its directory.
//
// A File may be used from several threads at once (the I/O threads read and
// write one file in parallel); open and close belong to one thread.
#pragma once
#include <sys/types.h>
#include <sys/uio.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Open flags.
enum : unsigned {
  FILE_READ = 0,    // read only; takes no lock
  FILE_WRITE = 1,   // read and write; refused with EBUSY while another writer has it
  FILE_CREATE = 2,  // create when missing
  FILE_EXCL = 4,    // with FILE_CREATE: the file must not exist yet
  // Read only under a shared lock: refused with EBUSY while a writer has
  // the file, and a writer is refused while it is held (offline readers).
  FILE_SHARED = 8,
};

// The kind of file behind a handle (kept in the volume record as its file type).
enum class FileKind : uint32_t { Unknown = 0, Regular = 1, Block = 2, Character = 3, Other = 4 };

struct FileInfo {
  uint64_t size = 0;
  FileKind kind = FileKind::Unknown;
};

// Most iovec elements one vector transfer takes.
constexpr int kFileMaxVector = 64;

class File {
 public:
  explicit File(const char* path) : path_(path ? path : "") {}
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  // Closes the file and drops its writer lock.
  virtual ~File() = default;

  const char* path() const { return path_.c_str(); }

  // Reads len bytes at offset. *done (when given) is the count moved; fewer
  // than len with result 0 means the file ended first.
  int read_at(void* buf, size_t len, uint64_t offset, size_t* done = nullptr);
  // Writes len bytes at offset; *done is the count written before an error.
  int write_at(const void* buf, size_t len, uint64_t offset, size_t* done = nullptr);
  // The same for count (1..kFileMaxVector) buffers that follow each other in the file.
  int readv_at(const struct iovec* iov, int count, uint64_t offset, size_t* done = nullptr);
  int writev_at(const struct iovec* iov, int count, uint64_t offset, size_t* done = nullptr);

  // Without waiting for the device: 0 when the whole transfer was done at once
  // from or into the system's cache, EAGAIN when it would have had to wait
  // (nothing is promised about the bytes then; do the transfer again with
  // readv_at or writev_at), any other value an error as above.
  int try_readv_at(const struct iovec* iov, int count, uint64_t offset);
  int try_writev_at(const struct iovec* iov, int count, uint64_t offset);

  // Brings written data to stable storage. A failure must be taken as fatal:
  // the system may have dropped the unwritten data, so a retry proves nothing.
  int datasync();

  int info(FileInfo* out);

  // The descriptor a kernel submission ring may transfer on directly, or -1
  // when every transfer must go through this object's calls (a test double
  // that keeps its own books). The ring is used only for reads and writes
  // with the same meaning as readv_at and writev_at.
  virtual int ring_fd() const { return -1; }

  // Closes the handle now; 0 or an errno value. The destructor closes a
  // handle that is still open.
  virtual int close() = 0;

 protected:
  // System-call semantics: bytes moved (possibly fewer than asked, 0 at end of
  // file for reads), or -1 with errno set (EINTR and EAGAIN included).
  // flags are RWF_* flags of preadv2/pwritev2 (RWF_NOWAIT only).
  virtual ssize_t raw_preadv(const struct iovec* iov, int count, uint64_t offset, int flags) = 0;
  virtual ssize_t raw_pwritev(const struct iovec* iov, int count, uint64_t offset, int flags) = 0;
  // 0, or -1 with errno set.
  virtual int raw_fdatasync() = 0;
  virtual int raw_info(FileInfo* out) = 0;

 private:
  enum class Dir { Read, Write };
  int transfer(Dir dir, const struct iovec* iov, int count, uint64_t offset, size_t* done);
  int try_transfer(Dir dir, const struct iovec* iov, int count, uint64_t offset);

  const std::string path_;
  // Set once the system says it cannot do transfers without waiting here.
  std::atomic<bool> nowait_unsupported_[2] = {false, false};
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // 0 and *out set, or an errno value (ENOENT, EEXIST, EBUSY for a second
  // writer, EACCES, ...).
  virtual int open(const char* path, unsigned flags, File** out) = 0;
  // Directory entries: 0 or an errno value. A rename replaces an existing
  // target in one step. Neither is durable before the directory is synced.
  virtual int rename(const char* from, const char* to) = 0;
  virtual int remove(const char* path) = 0;
  // Makes the entries of directory dir durable: files created in it, renamed
  // into or out of it, removed from it. 0 or an errno value; like a failed
  // flush, a failure means the entries may be lost.
  virtual int sync_dir(const char* dir) = 0;
};

// The file system in use; set_file_system(nullptr) brings back the
// operating system's. Installing one is meant for tests, before any file is
// opened.
FileSystem* file_system();
void set_file_system(FileSystem* fs);

// The operating system's file system, whatever is installed: for code that
// keeps its own files outside the volume set (the registry stand-in).
FileSystem* os_file_system();

// Opens through the file system in use.
int file_open(const char* path, unsigned flags, File** out);
// Renames, removes and syncs directories through the file system in use.
int file_rename(const char* from, const char* to);
int file_remove(const char* path);
int file_sync_dir(const char* dir);
// Syncs the directory that holds path ("." for a bare name) on fs.
int sync_parent_dir(FileSystem* fs, const char* path);
int file_sync_parent(const char* path);
// Closes f (none is allowed) and frees it; 0 or the errno value of a failed
// close (the handle is gone either way).
int file_close(File* f);

}  // namespace platform
