// protocol_files.cpp - the file requests (codes 60 to 64, 70, 71): share
// list, directory listing, path mappings, file load and save. Files are
// reached only through src/platform/share_files, beneath the share's
// directory, with the logged-on user's rights (see protocol.h).
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "base/debug_log.h"
#include "daemon/protocol_requests.h"
#include "platform/share_files.h"

namespace zentsd {

namespace {

constexpr const char* kIllegalPath = "Illegal path";

constexpr uint32_t kModeDir = 0x4000;
constexpr uint32_t kModeDirMore = 0x1004000;  // holds a subdirectory, or remote
constexpr uint32_t kModeFile = 0x8000;
constexpr uint32_t kModeRead = 0x100;
constexpr uint32_t kModeWrite = 0x80;
constexpr uint32_t kModeExec = 0x40;

uint32_t clamp32(uint64_t v) { return v > 0xffffffffu ? 0xffffffffu : static_cast<uint32_t>(v); }

// The local wall-clock time as seconds since 1970; 0 when it does not fit.
uint32_t local_seconds(time_t t) {
  struct tm tmv;
  if (localtime_r(&t, &tmv) == nullptr) return 0;
  const int64_t v = static_cast<int64_t>(t) + tmv.tm_gmtoff;
  return v < 0 || v > 0xffffffffLL ? 0 : static_cast<uint32_t>(v);
}

char lower(char c) { return static_cast<char>(tolower(static_cast<unsigned char>(c))); }

// Wildcards as clients write them: "*" any run, "?" one character, any
// case; "*.*" (and an empty pattern) match every name.
bool wildcard(const char* p, const char* s) {
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*s != '\0') {
    if (*p == '*') {
      star = p++;
      resume = s;
    } else if (*p == '?' || (*p != '\0' && lower(*p) == lower(*s))) {
      ++p;
      ++s;
    } else if (star != nullptr) {
      p = star + 1;
      s = ++resume;
    } else {
      return false;
    }
  }
  while (*p == '*') ++p;
  return *p == '\0';
}

bool pattern_matches(const char* pattern, const char* name) {
  if (pattern[0] == '\0' || strcmp(pattern, "*.*") == 0) return true;
  return wildcard(pattern, name);
}

bool is_program_name(const std::string& name) {
  if (name.size() <= 3) return false;
  const size_t dot = name.size() - 4;
  if (name[dot] != '.') return false;
  const char* ext = name.c_str() + dot + 1;
  return strcmp(ext, "exe") == 0 || strcmp(ext, "com") == 0 || strcmp(ext, "bat") == 0 ||
         strcmp(ext, "pif") == 0;
}

// The share and the path below it, or the "Illegal path" reply.
bool resolve_or_refuse(Connection& conn, const char* share_path, const Share** share,
                       std::string* rest, int* result) {
  if (conn.cfg->shares.Resolve(share_path, share, rest)) return true;
  *result = reply_failure(conn, kIllegalPath);
  return false;
}

// A failure of a file call: escapes are "Illegal path", the rest the
// system's text.
int file_failure(Connection& conn, const char* what, int err) {
  debug_log('D', 1, "%s failed: %d %s", what, err, strerror(err));
  return reply_failure(conn, err == EXDEV ? kIllegalPath : strerror(err));
}

struct ListContext {
  Buffer* buf;
  const char* pattern;
  uint16_t cmd;
  bool remote_path;  // "//..." or "\\\\..."
  bool network;      // on a network file system (set before the first entry)
};

bool put_entry(const platform::ShareEntry& e, void* ctx_ptr) {
  auto* ctx = static_cast<ListContext*>(ctx_ptr);
  if (e.hidden) return true;
  if (ctx->cmd == 1 && e.is_dir) return true;
  if (ctx->cmd == 2 && !e.is_dir) return true;
  if (!pattern_matches(ctx->pattern, e.name)) return true;
  std::string name = e.name;
  for (char& c : name) c = lower(c);
  uint32_t mode = e.is_dir ? (e.holds_subdir || ctx->remote_path || ctx->network ? kModeDirMore : kModeDir) : kModeFile;
  mode += e.read_only ? kModeRead : kModeRead | kModeWrite;
  if (!e.is_dir && is_program_name(name)) mode += kModeExec;
  Buffer& b = *ctx->buf;
  b.PutU8(1);
  b.PutString(name.c_str());
  b.PutString("");
  b.PutString("");
  b.PutU32(e.is_dir ? 0 : clamp32(e.size));
  b.PutU32(local_seconds(e.mtime));
  b.PutU32(mode);
  return true;
}

}  // namespace

int ProtocolShareList::Execute(Connection& conn) {
  int r = 0;
  if (!require_logon(conn, &r)) return r;
  ShareCFG& shares = conn.cfg->shares;
  shares.Refresh();
  Buffer& b = conn.buf;
  b.ResetSend();
  b.PutU16(kStatusOk);
  for (const Share& s : shares.Shares()) {
    struct stat st;
    if (stat(s.path.c_str(), &st) != 0) {
      const int err = errno;
      debug_log('D', 0, "Share \"%s\" has invalid path \"%s\", stat() failed with errno %d: %s",
                s.id.c_str(), s.path.c_str(), err, strerror(err));
      continue;
    }
    if (!S_ISDIR(st.st_mode)) continue;
    b.PutU8(2);
    b.PutString(s.id.c_str());
    b.PutString(s.comment.c_str());
    b.PutString("");
    b.PutString("");
    b.PutU32(clamp32(static_cast<uint64_t>(st.st_mtim.tv_sec < 0 ? 0 : st.st_mtim.tv_sec)));
    uint32_t mode = kModeDirMore;
    if (st.st_mode & S_IRUSR) mode += kModeRead;
    if (st.st_mode & S_IWUSR) mode += kModeWrite;
    if (st.st_mode & S_IXUSR) mode += kModeExec;
    b.PutU32(mode);
  }
  b.PutU8(0);
  return send_reply(conn);
}

int ProtocolFileList::Execute(Connection& conn) {
  int r = 0;
  if (!require_logon(conn, &r)) return r;
  debug_log('D', 3, "FileList()");
  if (debug_enabled('D', 3)) {
    debug_log('D', 3, " pattern = \"%s\", cmd = %d", LogText(pattern).c_str(), cmd);
    debug_log('D', 3, " path = %s", LogText(path).c_str());
  }
  const Share* share = nullptr;
  std::string rest;
  if (!resolve_or_refuse(conn, path, &share, &rest, &r)) return r;
  // The pattern names entries of this directory only, never another one.
  if (strpbrk(pattern, "/\\") != nullptr) return reply_failure(conn, kIllegalPath);
  const std::string local = share->path + "/" + rest;

  Buffer& b = conn.buf;
  b.ResetSend();
  b.PutU16(kStatusOk);
  ListContext ctx{&b, pattern, cmd, local.rfind("//", 0) == 0 || local.rfind("\\\\", 0) == 0, false};
  if (platform::share_list_dir(share->path.c_str(), rest.c_str(), &ctx.network, put_entry, &ctx) != 0) {
    const int err = errno;
    debug_log('D', 1, "PutDirectory() failed: %u %s", static_cast<unsigned>(err), strerror(err));
    return reply_failure(conn, err == EXDEV ? kIllegalPath : strerror(err));
  }
  b.PutU8(0);
  return send_reply(conn);
}

int ProtocolMapPath::Execute(Connection& conn) {
  int r = 0;
  if (!require_logon(conn, &r)) return r;
  if (!conn.cfg->shares.MapPath(local, &result_)) return reply_failure(conn, kIllegalPath);
  return reply_ok(conn, this);
}

int ProtocolReverseMapPath::Execute(Connection& conn) {
  int r = 0;
  if (!require_logon(conn, &r)) return r;
  if (!conn.cfg->shares.ReverseMapPath(path, &result_))
    return reply_failure(conn, "Unable to reverse map path");
  return reply_ok(conn, this);
}

int ProtocolFileLoad::Execute(Connection& conn) {
  int r = 0;
  if (!require_logon(conn, &r)) return r;
  debug_log('D', 3, "FileLoad()");
  if (debug_enabled('D', 3)) debug_log('D', 3, " path = %s", LogText(path).c_str());
  const Share* share = nullptr;
  std::string rest;
  if (!resolve_or_refuse(conn, path, &share, &rest, &r)) return r;
  int fd = -1;
  uint64_t size = 0;
  if (platform::share_open_read(share->path.c_str(), rest.c_str(), &fd, &size) != 0)
    return file_failure(conn, "open", errno);
  if (size > conn.cfg->max_file_size) {
    close(fd);
    return file_failure(conn, "stat", EFBIG);
  }
  Buffer& b = conn.buf;
  b.ResetSend();
  b.PutU16(kStatusOk);
  uint8_t* p = b.PutObject(static_cast<uint32_t>(size));
  if (p == nullptr) {
    close(fd);
    return file_failure(conn, "read", ENOMEM);
  }
  uint64_t got = 0;
  while (got < size) {
    const ssize_t n = pread(fd, p + got, size - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = n < 0 ? errno : EIO;  // the file shrank while it was read
      close(fd);
      return file_failure(conn, "read", err);
    }
    got += static_cast<uint64_t>(n);
  }
  close(fd);
  return send_reply(conn);
}

int ProtocolFileSave::Execute(Connection& conn) {
  int r = 0;
  if (!require_logon(conn, &r)) return r;
  debug_log('D', 3, "FileSave()");
  debug_log('D', 3, " mode = %d", mode);
  if (debug_enabled('D', 3)) debug_log('D', 3, " path = %s", LogText(path).c_str());
  if (mode != 0 && mode != 1) {
    debug_log('D', 1, "Bad mode value: %d", mode);
    return reply_failure(conn, "Bad mode value");
  }
  const Share* share = nullptr;
  std::string rest;
  if (!resolve_or_refuse(conn, path, &share, &rest, &r)) return r;
  if (platform::share_save(share->path.c_str(), rest.c_str(), mode == 0, data, size) != 0)
    return file_failure(conn, "write", errno);
  return reply_ok(conn, nullptr);
}

}  // namespace zentsd
