// share_files.h - files below a share's directory, reached only through it.
//
// A path below a share (components separated by "/" or "\") is resolved one
// component at a time beneath the share's directory: ".." is refused, and a
// symbolic link may be followed only while it stays beneath the share
// (openat2 with RESOLVE_BENEATH); whatever would lead outside fails with
// EXDEV, which callers report as "Illegal path". Clients send names in lower
// case, so a component that does not exist as given is matched without
// regard to case (the smallest such name in byte order when several
// match). All access is made with the calling process's identity, so the
// logged-on user's rights apply while the handler impersonates.
//
// Entry attributes: hidden is a name beginning with "."; read-only an entry
// whose owner lacks write permission; remote a network file system. The
// system, temporary and offline attributes have no counterpart.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace platform {

struct ShareEntry {
  const char* name;
  bool is_dir;
  bool hidden;          // the name begins with "."
  bool read_only;       // the owner lacks write permission
  bool holds_subdir;    // a directory with a directory in it
  uint64_t size;        // bytes (0 for directories)
  time_t mtime;         // modification time
};

// Called per entry; return false to stop the listing.
using ShareEntryFn = bool (*)(const ShareEntry& entry, void* ctx);

// Lists the directory rel below root: every entry but "." and "..", in no
// particular order, only regular files and directories (a symbolic link by
// what it leads to beneath the share; one that leads outside is left out).
// *remote tells whether the directory is on a network file system. 0, or -1
// with errno.
int share_list_dir(const char* root, const char* rel, bool* remote, ShareEntryFn fn, void* ctx);

// Opens the regular file rel below root for reading without blocking (a
// FIFO or device is refused with EINVAL before it is opened, a directory
// with EISDIR) and gives its size. 0 with *fd open, or -1 with errno.
int share_open_read(const char* root, const char* rel, int* fd, uint64_t* size);

// Writes data as the file rel below root: into a new file beside it, flushed,
// then renamed over the name, so that a failure leaves the old file as it
// was. With replace an existing file (which must be a regular file the
// caller may write) is replaced and keeps its permission bits; without it
// an existing name fails with EEXIST. New files get read and write
// permission (less the umask). 0, or -1 with errno.
int share_save(const char* root, const char* rel, bool replace, const void* data, size_t n);

}  // namespace platform
