// wait_list.cpp - poll over the frame's descriptors plus the change event;
// the hand-over between the waiter and a changing thread is described in
// wait_list.h.
#include "server/wait_list.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "base/debug_log.h"
#include "base/panic.h"
#include "platform/syserr.h"

namespace {

// Takes the list from the waiter: the change event wakes a waiter in poll,
// and the caller continues once it has left. Returns holding the lock, or
// with the lock released and false when the list is closed.
bool begin_change(WaitList* list, std::unique_lock<std::mutex>& guard) {
  guard.lock();
  if (list->closed) {
    guard.unlock();
    return false;
  }
  ++list->pending;
  list->change.set();
  list->changed.wait(guard, [list] { return !list->polling; });
  return true;
}

void end_change(WaitList* list) {
  --list->pending;
  list->changed.notify_all();
}

// Removes entry index; the caller holds the lock.
WaitListEntry remove_at_locked(WaitList* list, unsigned index) {
  const WaitListEntry e = list->entries[index];
  for (unsigned k = index; k + 1 < list->count; ++k) list->entries[k] = list->entries[k + 1];
  --list->count;
  if (index < list->mark) --list->mark;  // a frame entry: the children stay counted
  debug_log(list->letter, 3, "Removed handle %u from wait list at index %u, %u entries total",
            static_cast<unsigned>(e.handle), index, list->count);
  return e;
}

// What a removal leaves to do outside the lock.
void finish_removal(const WaitListEntry& e, bool with_callback) {
  if (with_callback && e.callback != nullptr) e.callback(e.handle);
  if (e.flags & WAIT_OWNED) close(e.handle);
}

}  // namespace

bool wait_list_init(WaitList* list, const char* owner, int letter) {
  std::lock_guard<std::mutex> guard(list->lock);
  list->count = 0;
  list->mark = 0;
  list->pending = 0;
  list->polling = false;
  list->owner = owner;
  list->letter = letter;
  list->closed = !list->change.valid();
  return !list->closed;
}

int wait_list_add(WaitList* list, int handle) {
  return wait_list_add_entry(list, handle, 0, nullptr) >= 0 ? 0 : -1;
}

int wait_list_add_entry(WaitList* list, int handle, unsigned flags, WaitListCallback callback) {
  ZENT_ASSERT(handle >= 0 && "hWait");
  std::unique_lock<std::mutex> guard(list->lock, std::defer_lock);
  if (!begin_change(list, guard)) return -1;
  int index = -1;
  if (list->count >= kWaitListMax) {
    debug_log(list->letter, 0, "Exceeded maximum number of entries (%u) in wait list", kWaitListMax);
  } else {
    index = static_cast<int>(list->count);
    list->entries[list->count++] = WaitListEntry{handle, flags, callback};
    debug_log(list->letter, 3, "Added handle %u to wait list at index %u, %u entries total",
              static_cast<unsigned>(handle), static_cast<unsigned>(index), list->count);
  }
  end_change(list);
  return index;
}

int wait_list_replace(WaitList* list, int old_handle, int new_handle) {
  ZENT_ASSERT(old_handle >= 0 && "hOldWait");
  ZENT_ASSERT(new_handle >= 0 && "hNewWait");
  std::unique_lock<std::mutex> guard(list->lock, std::defer_lock);
  if (!begin_change(list, guard)) return -1;
  int index = -1;
  WaitListEntry old{};
  for (unsigned k = 0; k < list->count; ++k) {
    if (list->entries[k].handle != old_handle) continue;
    old = list->entries[k];
    list->entries[k].handle = new_handle;
    index = static_cast<int>(k);
    debug_log(list->letter, 3, "Replaced handle %u in wait list at index %u with handle %u, %u entries total",
              static_cast<unsigned>(old_handle), k, static_cast<unsigned>(new_handle), list->count);
    break;
  }
  end_change(list);
  guard.unlock();
  if (index >= 0) finish_removal(old, false);
  return index;
}

int wait_list_remove(WaitList* list, int handle) {
  std::unique_lock<std::mutex> guard(list->lock, std::defer_lock);
  if (!begin_change(list, guard)) return -1;
  WaitListEntry gone{};
  int r = -1;
  for (unsigned k = 0; k < list->count; ++k) {
    if (list->entries[k].handle == handle) {
      gone = remove_at_locked(list, k);
      r = 0;
      break;
    }
  }
  end_change(list);
  guard.unlock();
  if (r == 0) finish_removal(gone, false);
  return r;
}

void wait_list_mark(WaitList* list) {
  std::lock_guard<std::mutex> guard(list->lock);
  list->mark = list->count;
}

// Counting needs no hand-over: the waiter never changes the count while it
// sleeps, and the lock is free then.
unsigned wait_list_extra_count(WaitList* list) {
  std::lock_guard<std::mutex> guard(list->lock);
  if (list->closed || list->count < list->mark) return 0;
  return list->count - list->mark;
}

int wait_list_has_room(WaitList* list, unsigned n) {
  std::lock_guard<std::mutex> guard(list->lock);
  if (list->closed) return 0;
  return list->count + n <= kWaitListMax ? 1 : 0;
}

int wait_list_wait(WaitList* list, int* fired) {
  pollfd fds[kWaitListMax + 1];
  for (;;) {
    std::unique_lock<std::mutex> guard(list->lock);
    list->changed.wait(guard, [list] { return list->pending == 0; });
    list->change.reset();
    const unsigned n = list->count;
    for (unsigned k = 0; k < n; ++k) fds[k] = {list->entries[k].handle, POLLIN, 0};
    fds[n] = {list->change.fd(), POLLIN, 0};
    list->polling = true;
    guard.unlock();
    int r;
    do {
      r = poll(fds, n + 1, -1);
    } while (r < 0 && errno == EINTR);
    const int err = errno;
    guard.lock();
    list->polling = false;
    list->changed.notify_all();
    if (r < 0) {
      char text[256];
      platform::sys_error_text(err, text, sizeof text);
      debug_log(list->letter, 0, "%s fatal error: WaitForMultipleObjects() failed, %d: %s", list->owner,
                err, text);
      ZENT_ASSERT(!"wait list: WaitForMultipleObjects() failed");
    }
    // Nothing changed while polling, so the copy is the list.
    for (unsigned k = 0; k < n; ++k) {
      if (fds[k].revents == 0) continue;
      *fired = fds[k].fd;
      if (list->entries[k].flags & WAIT_KEEP) return static_cast<int>(k);
      const WaitListEntry e = remove_at_locked(list, k);
      guard.unlock();
      finish_removal(e, true);
      return static_cast<int>(k);
    }
    // Woken by a change: wait again on the changed list.
  }
}

void wait_list_cleanup(WaitList* list) {
  WaitListEntry entries[kWaitListMax];
  unsigned n;
  {
    std::lock_guard<std::mutex> guard(list->lock);
    n = list->count;
    for (unsigned k = 0; k < n; ++k) entries[k] = list->entries[k];
    list->count = 0;
    list->mark = 0;
    list->closed = true;
    debug_log(list->letter, 3, "Cleaned-up wait list with %u entries", n);
  }
  for (unsigned k = 0; k < n; ++k) finish_removal(entries[k], true);
}
