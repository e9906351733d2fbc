// child_table.cpp - the parent's child table and the requests that change
// it (see child_table.h).
#include "daemon/child_table.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <list>
#include <mutex>

#include "base/debug_log.h"
#include "base/failed_logons.h"
#include "daemon/zentsd_frame.h"
#include "platform/clock.h"

namespace zentsd {

namespace {

std::mutex g_lock;
std::list<ChildEntry> g_children;  // newest first

// Failed logons per client address: the IPC thread's, and with -f the
// listening thread's.
std::mutex g_logons_lock;
FailedLogons g_logons;

// A logon's outcome: 0 after a success; after a failure how long the
// handler holds the reply back (ms).
int logon_outcome(pid_t key, const uint8_t payload[kIpcPayloadSize]) {
  IpcLogonInfo info;
  ipc_decode_logon(payload, &info);
  std::lock_guard<std::mutex> guard(g_logons_lock);
  if (info.failed == 0) {
    g_logons.succeeded(info.peer_addr);
    return 0;
  }
  int failures = 0;
  const int wait_ms = g_logons.failed(info.peer_addr, platform::monotonic_ms(), &failures);
  const uint32_t a = info.peer_addr;
  debug_log('P', 1, "Logon of user \"%s\" from %u.%u.%u.%u failed (%d in a row), reply delayed %d ms (handler %d)",
            LogText(info.user_id).c_str(), a >> 24, (a >> 16) & 0xff, (a >> 8) & 0xff, a & 0xff, failures,
            wait_ms, static_cast<int>(key));
  return wait_ms;
}

std::list<ChildEntry>::iterator find_key(pid_t key) {
  for (auto it = g_children.begin(); it != g_children.end(); ++it)
    if (it->key == key) return it;
  return g_children.end();
}

// Watches pid instead of the handler key. The entry's facts change first,
// so that the end of the new process (the wait list may report it as soon
// as the replace is done) finds its entry; when the replace fails the
// handler's own descriptor had left the list already: the handler ended,
// and its entry goes.
int replace_process(pid_t key, pid_t pid) {
  const int handle = process_handle_open(pid);
  if (handle < 0) {
    debug_syserr('S', 0, errno, "Inter-process-communication failed: unable to watch the new process");
    return -1;
  }
  int old_handle = -1;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = find_key(key);
    if (it != g_children.end()) {
      old_handle = it->handle;
      it->handle = handle;
      it->pid = pid;
      it->replaced = true;
      it->start = time(nullptr);
    }
  }
  if (old_handle < 0 && key == getpid()) {
    // Serving in the listening process (-f): a process of its own.
    ChildEntry e;
    e.handle = handle;
    e.pid = pid;
    e.key = key;
    e.replaced = true;
    e.start = time(nullptr);
    child_table_add(e);
    if (win32_add_child(handle, child_table_removed) >= 0) return 0;
    child_table_drop(key);
    close(handle);
    return -1;
  }
  if (old_handle < 0) {
    debug_log('S', 0, "Inter-process-communication failed: child process not found (pid=%d)",
              static_cast<int>(key));
    close(handle);
    return -1;
  }
  if (win32_replace_child(old_handle, handle) >= 0) return 0;
  child_table_drop(key);
  close(handle);
  return -1;
}

}  // namespace

int process_handle_open(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

void child_table_add(const ChildEntry& entry) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_children.push_front(entry);
}

bool child_table_drop(pid_t key) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = find_key(key);
  if (it == g_children.end()) return false;
  g_children.erase(it);
  return true;
}

void child_table_removed(int handle) {
  std::lock_guard<std::mutex> guard(g_lock);
  for (auto it = g_children.begin(); it != g_children.end(); ++it) {
    if (it->handle != handle) continue;
    debug_log('S', 3, "Removed child process %d (handler %d) from the child table",
              static_cast<int>(it->pid), static_cast<int>(it->key));
    g_children.erase(it);
    return;
  }
}

int child_table_waiting() {
  std::lock_guard<std::mutex> guard(g_lock);
  int n = 0;
  for (const ChildEntry& e : g_children)
    if (e.user_id[0] == '\0' && !e.replaced) ++n;
  return n;
}

void child_table_forget_logons() {
  std::lock_guard<std::mutex> guard(g_logons_lock);
  g_logons.reset();
}

int child_table_count() {
  std::lock_guard<std::mutex> guard(g_lock);
  return static_cast<int>(g_children.size());
}

std::vector<ChildEntry> child_table_snapshot() {
  std::lock_guard<std::mutex> guard(g_lock);
  return std::vector<ChildEntry>(g_children.begin(), g_children.end());
}

void child_table_clear() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_children.clear();
}

int child_table_request(uint32_t type, pid_t key, const uint8_t payload[kIpcPayloadSize]) {
  if (type == IPC_NEWCHILD) return replace_process(key, ipc_decode_newchild(payload));
  if (type == IPC_LOGON) return logon_outcome(key, payload);
  if (type != IPC_CHILD && type != IPC_USER) {
    debug_log('S', 0, "Inter-process-communication failed: unknown request type %d", static_cast<int>(type));
    return -1;
  }
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = find_key(key);
  if (it == g_children.end()) {
    debug_log('S', 0, "Inter-process-communication failed: child process not found (pid=%d)",
              static_cast<int>(key));
    return -1;
  }
  if (type == IPC_CHILD) {
    IpcChildInfo info;
    ipc_decode_child(payload, &info);
    it->peer_addr = info.peer_addr;
    memcpy(it->peer_name, info.host, sizeof it->peer_name);
    memcpy(it->platform, info.platform, sizeof it->platform);
    it->registered = true;
    if (debug_enabled('S', 3))
      debug_log('S', 3, "Child process %d registered: peer %s, platform %s", static_cast<int>(key),
                LogText(info.host).c_str(), LogText(info.platform).c_str());
  } else {
    IpcUserInfo info;
    ipc_decode_user(payload, &info);
    memcpy(it->user_id, info.user_id, sizeof it->user_id);
    memcpy(it->account, info.account, sizeof it->account);
    if (debug_enabled('S', 3))
      debug_log('S', 3, "Child process %d logged on: user %s, account %s", static_cast<int>(key),
                LogText(info.user_id).c_str(), LogText(info.account).c_str());
  }
  it->start = time(nullptr);
  return 0;
}

}  // namespace zentsd
