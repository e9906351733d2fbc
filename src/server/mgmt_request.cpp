// mgmt_request.cpp - request class 6 (see mgmt_request.h).
#include "server/mgmt_request.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "access/idb_dbctx.h"
#include "access/idb_lock.h"
#include "access/idb_logon.h"
#include "access/idb_session.h"
#include "access/idb_status.h"
#include "access/idb_store.h"
#include "access/schema_cache.h"
#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "base/server_config.h"
#include "base/task_kernel.h"
#include "server/buffer.h"
#include "server/client_session.h"
#include "server/device_command.h"
#include "server/dispatch.h"
#include "server/server_main.h"
#include "server/server_seams.h"
#include "server/server_tasks.h"
#include "server/vtimer.h"
#include "platform/share_files.h"
#include "storage/archive_stream.h"
#include "storage/archive_writer.h"
#include "storage/archive_reader.h"
#include "storage/backup_redirect.h"
#include "storage/tlog.h"

namespace {

constexpr size_t kMaxDbName = 64;
constexpr const char* kNoDba = "Permission denied - dba capabilities required.";

using Words = std::vector<const char*>;

// --- Replies -------------------------------------------------------------------------------------

int built(ClientSession* session) { return Buffer_SendFailed(&session->buffer) ? -1 : 0; }

// A list or help text, of any length.
int reply_text(ClientSession* session, const std::string& text) {
  reply_success(session);
  Buffer_Put_str(&session->buffer, text.c_str());
  return built(session);
}

void append(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void append(std::string* out, const char* format, ...) {
  char line[512];
  va_list ap;
  va_start(ap, format);
  const int n = vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  if (n > 0) out->append(line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
}

// --- Session facts -------------------------------------------------------------------------------

idb_session* db_of(ClientSession* session) { return session->db_session; }

bool is_dba(ClientSession* session) {
  const idb_session* s = db_of(session);
  return s != nullptr && (s->caps & IDB_CAP_DBA) != 0;
}

bool same_word(const char* a, const char* b) { return strcasecmp(a, b) == 0; }

// --- The command table -----------------------------------------------------------------------------

using Handler = int (*)(ClientSession*, int, const Words&);

struct Command {
  const char* name;
  int least;  // 0: no bound
  int most;   // 0: no bound
  Handler handler;
  const char* usage;
  bool listed;  // named by help
};

int mgmt_cmd_backup(ClientSession*, int, const Words&);
int mgmt_cmd_dbstore(ClientSession*, int, const Words&);
int mgmt_cmd_dbrestore(ClientSession*, int, const Words&);
int mgmt_cmd_shutdown(ClientSession*, int, const Words&);
int mgmt_cmd_list(ClientSession*, int, const Words&);
int mgmt_cmd_cancel(ClientSession*, int, const Words&);
int mgmt_cmd_kill(ClientSession*, int, const Words&);
int mgmt_cmd_test(ClientSession*, int, const Words&);
int mgmt_cmd_logfile(ClientSession*, int, const Words&);
int mgmt_cmd_logflags(ClientSession*, int, const Words&);

std::string list_help();

const Command kCommands[] = {
    {"backup", 0, 1, mgmt_cmd_backup, "usage: backup {START|STOP}\n", true},
    {"dbstore", 2, 2, mgmt_cmd_dbstore, "usage: dbstore database target\n", true},
    {"dbrestore", 1, 3, mgmt_cmd_dbrestore,
     "usage: dbrestore [/info] source [new_database_name]\n", true},
    {"shutdown", 0, 1, mgmt_cmd_shutdown, "usage: shutdown [number_of_seconds|CANCEL]\n", true},
    {"list", 0, 2, mgmt_cmd_list, nullptr, true},  // its usage is the list help
    {"cancelthread", 1, 1, mgmt_cmd_cancel, "usage: cancelthread {tid}\n", true},
    {"killthread", 1, 1, mgmt_cmd_kill, "usage: killthread {tid}\n", true},
    {"test", 1, 1, mgmt_cmd_test, "usage: test {panic}\n", false},
    {"logfile", 1, 1, mgmt_cmd_logfile, "usage: logfile {filename}\n", true},
    {"logflags", 1, 1, mgmt_cmd_logflags, "usage: logflags {flags}\n", true},
};

const Command* find_command(const char* name) {
  for (const Command& c : kCommands)
    if (same_word(c.name, name)) return &c;
  return nullptr;
}

std::string usage_of(const Command& c) { return c.usage != nullptr ? c.usage : list_help(); }

int reply_usage(ClientSession* session, const Command& c) {
  return reply_success(session, "%s", usage_of(c).c_str());
}

std::string help_text() {
  std::string out = "available commands:\n ";
  int shown = 0;
  const size_t rows = sizeof kCommands / sizeof kCommands[0];
  for (size_t i = 0; i < rows; ++i) {
    if (!kCommands[i].listed) continue;
    ++shown;
    const bool wrap = shown % 4 == 0 && i + 1 < rows;
    append(&out, "%-16.16s%s", kCommands[i].name, wrap ? "\n " : "");
  }
  out += "\n";
  return out;
}

// --- backup ----------------------------------------------------------------------------------------

int mgmt_cmd_backup(ClientSession* session, int argc, const Words& argv) {
  if (!is_dba(session)) return reply_failed(session, "%s", kNoDba);
  const Command& self = *find_command("backup");
  if (argc != 1) return reply_usage(session, self);
  if (same_word(argv[0], "STOP")) {
    if (Vol_RedirectionMode() == Vol_REDIR_OFF)
      return reply_failed(session, "backup mode is inactive - request ignored");
    Vol_EndRedirection();
    return reply_success(session, "On-line backup mode has been stopped.\n");
  }
  if (!same_word(argv[0], "START")) return reply_usage(session, self);
  if (Vol_RedirectionMode() != Vol_REDIR_OFF)
    return reply_failed(session, "backup mode is already active - request ignored");
  // The freeze takes every unit of the API lock: this request's must go
  // back first. The worker gives one back after the reply, so one is
  // taken again whatever cut the wait for it.
  Tlog_ApiSharedUnlock();
  const int rc = Vol_BeginRedirection();
  while (Tlog_ApiSharedLock() != 0) {
  }
  if (rc != 0)
    return reply_failed(session,
                        "failed to enable backup mode - please refer to database server log for details");
  return reply_success(session, "On-line backup mode has been started.\n");
}

// --- Devices and their streams ---------------------------------------------------------------------

const CfgItemList* devices() {
  return server_cfg != nullptr && server_cfg->devices != nullptr && server_cfg->devices->count > 0
             ? server_cfg->devices
             : nullptr;
}

const char* device_path(const std::string& name) {
  const CfgItemList* d = devices();
  for (int i = 0; d != nullptr && i < d->count; ++i)
    if (same_word(d->items[i].item, name.c_str())) return d->items[i].value;
  return nullptr;
}

bool component_ok(const char* p, size_t n) {
  if (n == 0) return false;
  if ((n == 1 && p[0] == '.') || (n == 2 && p[0] == '.' && p[1] == '.')) return false;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    if (!isalnum(c) && c != '.' && c != '_' && c != '-') return false;
  }
  return true;
}

// An archive stream on a file or a '|' command, and how to close it.
struct DeviceStream {
  Archive_FILESTREAM file_stream{};
  FILE* file = nullptr;
  bool pipe = false;
  DeviceCommand command;  // a '|' device's, when pipe
  std::string path;  // the file or command as the device names it
  std::string temp;  // a store's new file beside the target
  Archive_STREAM* stream() { return pipe ? static_cast<Archive_STREAM*>(&command) : &file_stream; }
};

// The new files of stores under way in this server: a store removes only
// what an interrupted one left.
std::set<std::string>& stores_under_way() {
  static std::set<std::string> paths;
  return paths;
}

// Whether name is a store's new file of target: the target's name, a dot
// and the six characters mkstemp chose.
bool is_store_temp(const std::string& name, const std::string& target) {
  if (name.size() != target.size() + 7 || name.compare(0, target.size(), target) != 0 ||
      name[target.size()] != '.')
    return false;
  for (size_t i = target.size() + 1; i < name.size(); ++i) {
    if (!isalnum(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

// Removes the new files that stores of path killed with the server left
// beside it (never one a store of this server is writing).
void remove_stale_temps(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (const dirent* e = readdir(d)) {
    if (!is_store_temp(e->d_name, base)) continue;
    const std::string stale = (slash == std::string::npos ? "" : dir) + e->d_name;
    if (stores_under_way().count(stale) != 0) continue;
    struct stat st;
    if (lstat(stale.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (unlink(stale.c_str()) == 0)
      debug_log('D', 1, "dbstore: removed \"%s\", left by an interrupted store", stale.c_str());
  }
  closedir(d);
}

// Opens path for mode 'w' (store) or 'r' (restore). 0, or -1 with errno.
int open_stream(DeviceStream* d, const std::string& path, char mode) {
  d->path = path;
  if (!path.empty() && path[0] == '|') {
    // Never waited on by the server thread: a command may take its time.
    if (device_command_start(&d->command, path.c_str() + 1, mode) != 0) return -1;
    d->pipe = true;
    return 0;
  }
  if (mode == 'r') {
    errno = EINVAL;  // restore sources are opened by open_source_file
    return -1;
  } else {
    // An earlier archive of that name stays until this one is whole.
    remove_stale_temps(path);
    d->temp = path + ".XXXXXX";
    const int fd = mkstemp(d->temp.data());
    if (fd < 0) {
      d->temp.clear();
      return -1;
    }
    stores_under_way().insert(d->temp);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    d->file = fdopen(fd, "wb");
    if (d->file == nullptr) {
      const int e = errno;
      close(fd);
      unlink(d->temp.c_str());
      stores_under_way().erase(d->temp);
      d->temp.clear();
      errno = e;
    }
  }
  if (d->file == nullptr) return -1;
  Archive_InitFileStream(&d->file_stream, d->file);
  return 0;
}

// Opens a restore source that is a file: file below the device directory
// dir (none: dir is the device's file). A name sent by a client is resolved
// beneath the directory, so a link planted inside cannot lead out of it;
// either way only a regular file is read, opened without blocking, so that
// a FIFO never stalls the server thread. 0, or -1 with errno.
int open_source_file(DeviceStream* d, const char* dir, const char* file) {
  int fd = -1;
  if (file != nullptr) {
    uint64_t size = 0;
    if (platform::share_open_read(dir, file, &fd, &size) != 0) return -1;
  } else {
    fd = open(dir, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      const int e = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
      close(fd);
      errno = e;
      return -1;
    }
  }
  d->path = file != nullptr ? std::string(dir) + "/" + file : dir;
  d->file = fdopen(fd, "rb");
  if (d->file == nullptr) {
    const int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  Archive_InitFileStream(&d->file_stream, d->file);
  return 0;
}

// Closes the stream; a store that succeeded (ok) makes its file the
// target. 0, or -1 when the archive did not reach its place whole.
int close_stream(DeviceStream* d, bool ok) {
  if (d->pipe) {
    d->pipe = false;
    return device_command_finish(&d->command) == 0 && ok ? 0 : -1;
  }
  if (d->file == nullptr) return ok ? 0 : -1;
  int rc = 0;
  if (!d->temp.empty()) {
    if (ok && (fflush(d->file) != 0 || fsync(fileno(d->file)) != 0)) rc = -1;
    if (fclose(d->file) != 0) rc = -1;
    if (ok && rc == 0 && rename(d->temp.c_str(), d->path.c_str()) != 0) rc = -1;
    if (!ok || rc != 0) unlink(d->temp.c_str());
    stores_under_way().erase(d->temp);
  } else {
    fclose(d->file);
  }
  d->file = nullptr;
  return ok && rc == 0 ? 0 : -1;
}

// The path a device and a file part name; false when the device is unknown
// or the file part unsafe.
bool build_path(const std::string& device, const char* file, bool single, std::string* out) {
  const char* path = device_path(device);
  if (path == nullptr) return false;
  if (file == nullptr) {
    *out = path;
    return true;
  }
  if (!mgmt_file_part_ok(file, single)) return false;
  *out = std::string(path) + "/" + file;
  return true;
}

// --- dbstore -----------------------------------------------------------------------------------------

int mgmt_cmd_dbstore(ClientSession* session, int, const Words& argv) {
  const char* db_name = argv[0];
  const char* target = argv[1];
  if (devices() == nullptr) return reply_failed(session, "Sorry - No server devices configured");
  const char* slash = strrchr(target, '/');
  const std::string device = slash ? std::string(target, slash) : std::string(target);
  std::string path;
  if (!build_path(device, slash ? slash + 1 : nullptr, true, &path))
    return reply_failed(session, "%s: Bad target name", device.c_str());
  idb_session* s = db_of(session);
  const int32_t dbid = idb__open_database(s, db_name, 13);
  if (dbid < 0) return reply_failed(session, "Unable to open database \"%s\"", db_name);
  DeviceStream d;
  if (open_stream(&d, path, 'w') != 0) {
    const int e = errno;
    idb__close_database(s, idb__get_db_ctx(s, dbid));
    return reply_failed(session, "Unable to open \"%s\" (%s)", path.c_str(), strerror(e));
  }
  char when[128];
  const time_t now = time(nullptr);
  struct tm tm_now;
  localtime_r(&now, &tm_now);
  strftime(when, sizeof when, "%c", &tm_now);
  const char* user = s->user_name != nullptr ? s->user_name : "<unknown>";
  int32_t status[IDB_STATUS_WORDS] = {};
  int rc = Node_StoreMagic(d.stream());
  if (rc == 0)
    rc = Node_StoreInfo(d.stream(), "Database archive from %s@%s\nCreated: %s", user,
                        session->host != nullptr ? session->host : "", when);
  if (rc == 0) rc = idb__store(s, dbid, d.stream(), status, 0, nullptr);
  idb__close_database(s, idb__get_db_ctx(s, dbid));
  if (close_stream(&d, rc == 0) != 0)
    return reply_failed(session, "Failed to store database \"%s\"to \"%s\".", db_name, target);
  return reply_success(session, "Database \"%s\" has been stored to \"%s\".\n", db_name, target);
}

// --- dbrestore ---------------------------------------------------------------------------------------

int mgmt_cmd_dbrestore(ClientSession* session, int argc, const Words& argv) {
  const Command& self = *find_command("dbrestore");
  int at = 0;
  bool info = false;
  if (argv[0][0] == '/') {
    if (!same_word(argv[0], "/info")) return reply_usage(session, self);
    info = true;
    ++at;
  }
  if (at >= argc) return reply_usage(session, self);
  const char* source = argv[at++];
  std::string new_name;
  if (at < argc) {
    const char* n = argv[at];
    if (strlen(n) > kMaxDbName) return reply_failed(session, "Database name too long");
    bool bad = n[0] == '/' || n[0] == '\0';
    for (const char* p = n; *p != '\0'; ++p) bad = bad || isspace(static_cast<unsigned char>(*p));
    if (bad) return reply_failed(session, "%s: Bad database name", n);
    for (const char* p = n; *p != '\0'; ++p)
      new_name += static_cast<char>(tolower(static_cast<unsigned char>(*p)));
  }
  if (devices() == nullptr) return reply_failed(session, "Sorry - No server devices configured");
  const char* slash = strchr(source, '/');
  const std::string device = slash ? std::string(source, slash) : std::string(source);
  std::string path;
  if (!build_path(device, slash ? slash + 1 : nullptr, false, &path))
    return reply_failed(session, "%s: Bad source name", device.c_str());
  if (!info && !is_dba(session)) return reply_failed(session, "%s", kNoDba);
  DeviceStream d;
  const char* dir = device_path(device);
  const int opened = dir[0] == '|' ? open_stream(&d, path, 'r')
                                   : open_source_file(&d, dir, slash ? slash + 1 : nullptr);
  if (opened != 0)
    return reply_failed(session, "Unable to open \"%s\" (%s)", path.c_str(), strerror(errno));
  if (info) {
    std::string text;
    const int rc = Node_ArchiveInfo(d.stream(), &text);
    close_stream(&d, true);
    if (rc != 0) return reply_failed(session, "Failed to obtain info from \"%s\".", source);
    return reply_success(session, "%s\n", text.c_str());
  }
  int32_t status[IDB_STATUS_WORDS] = {};
  std::string name = new_name;
  const int rc = idb__restore(db_of(session), d.stream(), status, &name);
  close_stream(&d, true);
  switch (rc) {
    case 0:
      return reply_success(session, "Database \"%s\" has been restored from \"%s\".\n",
                           name.c_str(), source);
    case 1:
      return reply_failed(session, "\"%s\" does not seem to be a valid archive.", source);
    case 2:
      return reply_failed(session, "Database \"%s\" already exists.", name.c_str());
    default:
      return reply_failed(session, "Failed to restore database from \"%s\".", source);
  }
}

// --- shutdown ----------------------------------------------------------------------------------------

std::atomic<int> g_shutdown_timer{-1};

void wake_shutdown_task() {
  Task* t = tc_shutdown.load();
  if (t != nullptr)
    debug_log('T', 2, "Waking up thread %d (%s)", thread_id(t), thread_get_name(t));
  shutdown_callback();
}

// The one-shot timer, on the timer thread: shutdown_callback only posts.
void shutdown_timer_fired(void*) { shutdown_callback(); }

int mgmt_cmd_shutdown(ClientSession* session, int argc, const Words& argv) {
  if (!is_dba(session)) return reply_failed(session, "%s", kNoDba);
  const Command& self = *find_command("shutdown");
  long seconds = 0;
  if (argc == 1) {
    const char* w = argv[0];
    if (same_word(w, "CANCEL")) {
      const int id = g_shutdown_timer.load();
      if (id < 0) return reply_failed(session, "No pending shutdown request");
      if (vtimer_cancel(id) != 0) return reply_failed(session, "Failed to cancel shutdown request");
      g_shutdown_timer = -1;
      debug_log('D', 1, "*** NOTE: SHUTDOWN CANCELLED ***");
      return reply_success(session, "Shutdown request has been cancelled\n");
    }
    if (*w == '\0') return reply_usage(session, self);
    for (const char* p = w; *p != '\0'; ++p) {
      if (!isdigit(static_cast<unsigned char>(*p))) return reply_usage(session, self);
      // A delay the timers cannot hold would wrap to a shutdown at once.
      seconds = seconds * 10 + (*p - '0');
      if (seconds > INT_MAX / 1000) return reply_usage(session, self);
    }
  }
  if (g_shutdown_timer.load() >= 0) return reply_failed(session, "Shutdown request is already pending");
  char delay[64];
  if (seconds == 0)
    snprintf(delay, sizeof delay, "now");
  else
    snprintf(delay, sizeof delay, "in %ld second%s", seconds, seconds >= 2 ? "s" : "");
  const int rc = reply_success(session, "Shutting down %s.\n", delay);
  if (seconds == 0) {
    wake_shutdown_task();
  } else {
    const int id = vtimer_add(static_cast<int>(seconds * 1000), 0, nullptr, shutdown_timer_fired,
                              nullptr);
    if (id < 0) {
      debug_log('D', 0, "mgmt_cmd_shutdown(): Virtual timer operation failed");
      return reply_failed(session, "mgmt_cmd_shutdown(): Virtual timer operation failed");
    }
    g_shutdown_timer = id;
  }
  debug_log('D', 1, "*** NOTE: SHUTDOWN REQUESTED *** Shutting down %s.", delay);
  return rc;
}

// --- cancelthread and killthread -----------------------------------------------------------------------

// The worker task tid of another connection, or none.
Task* other_worker(ClientSession* session, const char* word, const char** refusal) {
  char* end = nullptr;
  errno = 0;
  const long tid = strtol(word, &end, 10);
  if (*word == '\0' || *end != '\0' || errno != 0 || tid <= 0 || tid > INT_MAX) {
    *refusal = "Bad thread id argument";
    return nullptr;
  }
  for (int i = 0; tc_worker != nullptr && i < max_workers; ++i) {
    Task* t = tc_worker[i];
    if (t == nullptr || thread_id(t) != tid) continue;
    ClientSession* other = session_of(t);
    if (other == nullptr || other == session) continue;
    return t;
  }
  *refusal = "Invalid thread id argument";
  return nullptr;
}

// Waits the engine can abandon: for a lock, for another session's
// transaction (both sleep naming the task they wait for) and for the
// client to take its reply. A page or I/O wait is never among them.
bool abandonable_wait(const Task* t) {
  if (thread_wchan(t) == nullptr) return false;
  return thread_state(t) == TS_INTERUPTABLE || session_waits_for_peer(t);
}

int mgmt_cmd_cancel(ClientSession* session, int, const Words& argv) {
  if (!is_dba(session)) return reply_failed(session, "%s", kNoDba);
  const char* refusal = nullptr;
  Task* t = other_worker(session, argv[0], &refusal);
  if (t == nullptr) return reply_failed(session, "%s", refusal);
  if (!abandonable_wait(t) || thread_timeout(t, -1) != 0)
    return reply_failed(session, "Invalid thread status for this operation");
  debug_log('D', 1, "NOTE: Cancel thread %d", thread_id(t));
  return reply_success(session, "Thread %d has been cancelled.\n", thread_id(t));
}

int mgmt_cmd_kill(ClientSession* session, int, const Words& argv) {
  if (!is_dba(session)) return reply_failed(session, "%s", kNoDba);
  const char* refusal = nullptr;
  Task* t = other_worker(session, argv[0], &refusal);
  if (t == nullptr) return reply_failed(session, "%s", refusal);
  const int tid = thread_id(t);
  // The connection closes; a wait that may be cut ends now, any other runs
  // to its end and the worker leaves after it.
  close_connection(t);
  debug_log('D', 1, "NOTE: Kill thread %d", tid);
  return reply_success(session, "Thread %d has been notified.\n", tid);
}

// --- test, logfile, logflags ---------------------------------------------------------------------------

int mgmt_cmd_test(ClientSession* session, int, const Words& argv) {
  if (!is_dba(session)) return reply_failed(session, "%s", kNoDba);
  if (!same_word(argv[0], "panic")) return reply_usage(session, *find_command("test"));
  debug_log('P', 0, "** Initiating server panic **");
  panic_assert_failed("Voluntary server panic", __FILE__, __LINE__);
}

int mgmt_cmd_logfile(ClientSession* session, int, const Words& argv) {
  if (!is_dba(session)) return reply_failed(session, "%s", kNoDba);
  // The server may run as root and the name comes from the wire: no link is
  // followed, a new file is the server's alone, and only a regular file is
  // taken (a FIFO or a device would stall or misuse the log). O_NONBLOCK
  // keeps the open of a FIFO from waiting for a reader.
  const int fd = open(argv[0], O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                      0600);
  if (fd < 0) return reply_failed(session, "Unable to open \"%s\" (%s)", argv[0], strerror(errno));
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return reply_failed(session, "Unable to open \"%s\" (%s)", argv[0], "not a regular file");
  }
  fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
  FILE* f = fdopen(fd, "a");
  if (f == nullptr) {
    const int err = errno;
    close(fd);
    return reply_failed(session, "Unable to open \"%s\" (%s)", argv[0], strerror(err));
  }
  debug_set_stream(f);
  return reply_success(session, "Log file has been set to \"%s\".\n", argv[0]);
}

int mgmt_cmd_logflags(ClientSession* session, int, const Words& argv) {
  if (!is_dba(session)) return reply_failed(session, "%s", kNoDba);
  debug_set_flags(argv[0]);
  return reply_success(session, "Log flags have been set to \"%s\".\n", argv[0]);
}

// --- list --------------------------------------------------------------------------------------------

const char* const kListWords[] = {"session", "db", "lock", "thread"};

std::string list_help() {
  std::string out = "list arguments:\n ";
  for (const char* w : kListWords) append(&out, "%-16.16s%s", w, "");
  out += "\noptional: NOTITLE - suppress list title\n";
  return out;
}

// Lists carry clients' texts (host and user names, platforms, database
// names) to the administrator's console: each such text is escaped as the
// log escapes peer texts (shown), so that none can make a line of its own,
// and every line once more (escaped_lines), so that nothing reaches the
// terminal as a control sequence.
std::string shown(const char* text) { return LogText(text).c_str(); }

std::string escaped_lines(const std::string& text) {
  std::string out;
  std::vector<char> buf;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    const bool newline = end != std::string::npos;
    if (!newline) end = text.size();
    const std::string line = text.substr(at, end - at);
    buf.resize(4 * line.size() + 8);
    out += debug_escape(line.c_str(), buf.data(), buf.size());
    if (newline) out += '\n';
    at = end + 1;
  }
  return out;
}

// Another connection's address, OS user and database user are the dba's to
// see; anyone else is shown their own session only.
std::string mgmt_list_session(bool title, const ClientSession* viewer) {
  std::string out;
  if (title)
    out += "Session    TID Host / IP ADDR       Platf User / Login\n"
           "---------- --- -------------------- ----- --------------------\n";
  for (int i = 0; tc_worker != nullptr && i < max_workers; ++i) {
    Task* t = tc_worker[i];
    ClientSession* s = t != nullptr ? session_of(t) : nullptr;
    if (s == nullptr || s->magic != SESSION_MAGIC) continue;
    if (viewer != nullptr && s != viewer) continue;
    char addr[16], where[40];
    snprintf(where, sizeof where, "%s:%d", format_ipv4(s->peer_addr, addr), s->port);
    append(&out, "%-10p %3d %-20.20s %-5.5s %s\n%14s %-20.20s %5s %s\n",
           static_cast<void*>(s->db_session), thread_id(t), shown(s->host).c_str(),
           shown(s->platform).c_str(), shown(s->os_user).c_str(), "", where, "",
           shown(idb_session_user_name(s->db_session)).c_str());
  }
  return out;
}

std::string mgmt_list_threads(bool title) {
  std::string out;
  if (title)
    out += "Session    TID ST WCHAN      Blocked  Sched    Name\n"
           "---------- --- -- ---------- -------- -------- --------------------\n";
  int cursor = 0;
  while (const TaskInfo* info = thread_info_next(&cursor)) {
    Task* t = thread_by_id(info->id);
    ClientSession* s = t != nullptr ? session_of(t) : nullptr;
    if (s != nullptr && s->magic == SESSION_MAGIC)
      append(&out, "%-10p %3d %c  %-10.10s %8d %8d %-20.20s\n", static_cast<void*>(s->db_session),
             info->id, info->state[0], info->wchan, static_cast<int>(info->blocked_seconds),
             static_cast<int>(info->runs), info->name);
    else
      append(&out, "%-10s %3d %c  %-10.10s %8d %8d %-20.20s\n", "internal", info->id,
             info->state[0], info->wchan, static_cast<int>(info->blocked_seconds),
             static_cast<int>(info->runs), info->name);
  }
  return out;
}

std::string mgmt_list_db(bool title) {
  std::string out;
  if (title)
    out += "Database         Ref  WrShrd WrExcl RdShrd RdExcl\n"
           "---------------- ---- ------ ------ ------ ------\n";
  for (const vglobal* v = idb__get_vroot_list(); v != nullptr; v = v->next)
    append(&out, "%-16.16s %4d %6d %6d %6d %6d\n", v->name ? shown(v->name).c_str() : "?", v->ref_cnt,
           v->share[IDB_SHARE_WRITE], v->share[IDB_SHARE_EXCL], v->share[IDB_SHARE_READ],
           v->share[IDB_SHARE_READ_EXCL]);
  return out;
}

const char* op_name(uint32_t op) {
  switch (op) {
    case 0: return "'='";
    case 1: return "'&lt;='";
    case 2: return "'&gt;='";
    case 3: return "'EQ'";
    case 4: return "'LE'";
    case 5: return "'GE'";
    default: return "?";
  }
}

// A lock descriptor's entries after the lock's line; a malformed entry
// ends the text.
void append_descriptor(std::string* out, const uint32_t* w) {
  if (w == nullptr) return;
  uint32_t pos = 1;
  idb_descr_entry e;
  bool first = true;
  while (idb__descr_entry_next(w, &pos, &e) == 1) {
    *out += first ? " " : "; ";
    first = false;
    *out += "set=";
    if (e.nsets == 0 && e.item == 0) {
      *out += "@ (effective base lock)";
      continue;
    }
    // Every set with a named item: each set that has the item.
    if (e.nsets == 0) *out += "@ ";
    for (uint32_t i = 0; i < e.nsets; ++i) append(out, "%d ", static_cast<int>(e.sets[i]) + 1);
    *out += "item=";
    if (e.item == 0) {
      *out += "@ (effective set lock)";
      continue;
    }
    append(out, "%d op=%s val=%c (%d) ", static_cast<int>(e.item), op_name(e.op), e.type,
           static_cast<int>(e.vlen));
    const auto* bytes = reinterpret_cast<const unsigned char*>(e.value);
    if (e.type == 'B' && e.vlen <= e.value_words * 4u) {
      append(out, "%d:", static_cast<int>(e.vlen));
      const uint32_t shown = e.vlen < 32 ? e.vlen : 32;
      for (uint32_t i = 0; i < shown; ++i) append(out, "%02x", bytes[i]);
      if (shown < e.vlen) *out += "...";
    } else if ((e.type == 'D' || e.type == 'I') && e.value_words >= 1) {
      append(out, "%d", static_cast<int32_t>(e.value[0]));
    } else if ((e.type == 'L' || e.type == 'S') && e.value_words >= 2) {
      double d;
      memcpy(&d, e.value, sizeof d);
      append(out, "%1.12g", d);
    } else if (e.type == 'X' && e.vlen <= e.value_words * 4u) {
      *out += "\"";
      for (uint32_t i = 0; i < e.vlen; ++i)
        *out += bytes[i] >= 0x20 && bytes[i] != 0x7f ? static_cast<char>(bytes[i]) : '.';
      *out += "\"";
    } else {
      *out += "?";
    }
  }
  *out += "\n";
}

std::string mgmt_list_lock(bool title) {
  std::string out;
  if (title)
    out += "Session    TID Database         DBID Status  Mode Qualifier\n"
           "---------- --- ---------------- ---- ------- ---- ---------------\n";
  for (const lock_entry* e = idb__get_lock_list(); e != nullptr; e = e->next) {
    char line[256];
    const int n = idb__format_lock_line(e, line, sizeof line);
    if (n <= 0) continue;
    std::string l(line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
    if (!l.empty() && l.back() == '\n') l.pop_back();
    l = shown(l.c_str());  // the database's name
    if (e->descr != nullptr)
      append_descriptor(&l, e->descr);
    else
      l += '\n';
    out += l;
  }
  return out;
}

int mgmt_cmd_list(ClientSession* session, int argc, const Words& argv) {
  if (argc == 0 || same_word(argv[0], "help")) return reply_text(session, list_help());
  int which = -1;
  for (int i = 0; i < 4; ++i)
    if (same_word(argv[0], kListWords[i])) which = i;
  if (which < 0) return reply_failed(session, "Unrecognized list argument.");
  if (argc == 2 && !same_word(argv[1], "NOTITLE"))
    return reply_success(session, "usage: list %s [NOTITLE]\n", kListWords[which]);
  const bool title = argc < 2;
  switch (which) {
    case 0:
      return reply_text(session,
                        escaped_lines(mgmt_list_session(title, is_dba(session) ? nullptr : session)));
    case 1: return reply_text(session, escaped_lines(mgmt_list_db(title)));
    case 2: return reply_text(session, escaped_lines(mgmt_list_lock(title)));
    default: return reply_text(session, escaped_lines(mgmt_list_threads(title)));
  }
}

}  // namespace

// --- Entry points ----------------------------------------------------------------------------------

int reply_success(ClientSession* session, const char* format, ...) {
  char text[kReplyTextMax + 1];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  debug_log('P', 2, "reply_success: %s", LogText(text).c_str());
  reply_success(session);
  Buffer_Put_str(&session->buffer, text);
  Buffer_Put_u16(&session->buffer, 0);
  return built(session);
}

bool mgmt_file_part_ok(const char* file, bool single_component) {
  const char* p = file;
  for (;;) {
    const char* slash = strchr(p, '/');
    const size_t n = slash ? static_cast<size_t>(slash - p) : strlen(p);
    if (!component_ok(p, n)) return false;
    if (slash == nullptr) return true;
    if (single_component) return false;
    p = slash + 1;
  }
}

void mgmt_cancel_shutdown_timer() {
  const int id = g_shutdown_timer.exchange(-1);
  if (id >= 0) vtimer_cancel(id);
}

int mgmt_req_command(ClientSession* session) {
  Buffer* b = &session->buffer;
  Buffer_SetContext(b, "MGMT COMMAND");
  uint16_t argc = 0;
  if (Buffer_Get_u16(b, &argc) != 0) return -1;
  debug_log('P', 2, " argc = %d", argc);
  if (argc < 1) return reply_failed(session, "Arguments missing.");
  Words argv;
  argv.reserve(argc);
  for (int i = 0; i < argc; ++i) {
    const char* w = nullptr;
    if (Buffer_Get_str(b, &w) != 0) return reply_failed(session, "Number of arguments inconsistent.");
    if (debug_enabled('P', 2)) debug_log('P', 2, " argv[%d] = \"%s\"", i, LogText(w).c_str());
    argv.push_back(w);
  }
  if (same_word(argv[0], "help")) {
    if (argc >= 2) {
      const Command* c = find_command(argv[1]);
      if (c != nullptr) return reply_usage(session, *c);
    }
    return reply_text(session, help_text());
  }
  const Command* c = find_command(argv[0]);
  if (c == nullptr) return reply_failed(session, "Unrecognized command.");
  const int n = argc - 1;
  if (c->least != 0 && n < c->least) return reply_usage(session, *c);
  if (c->most != 0 && n > c->most) return reply_usage(session, *c);
  const Words rest(argv.begin() + 1, argv.end());
  return c->handler(session, n, rest);
}

int mgmt_request(ClientSession* session) {
  uint16_t type = 0;
  if (Buffer_Get_u16(&session->buffer, &type) != 0) return -1;
  debug_log('P', 2, "Processing MGMT request type %d (%s)", type,
            type == MGMT_COMMAND ? "COMMAND" : "unknown");
  ZENT_ASSERT(session->db_session != nullptr && "session->db_session");
  if (session->db_session->uid == 0) return reply_failed(session, "client failure: no logon");
  if (type == MGMT_COMMAND) return mgmt_req_command(session);
  return reply_failed(session, "Unsupported MGMT request %d", type);
}
