// wait_list.cpp - poll over the frame's descriptors plus the change event.
#include "server/wait_list.h"

#include <poll.h>

#include <cerrno>

#include "base/debug_log.h"
#include "base/panic.h"
#include "platform/syserr.h"

namespace {

void remove_at_locked(WaitList* list, unsigned index) {
  const int handle = list->handles[index];
  for (unsigned k = index; k + 1 < list->count; ++k) list->handles[k] = list->handles[k + 1];
  --list->count;
  debug_log('D', 3, "Removed handle %u from wait list at index %u, %u entries total",
            static_cast<unsigned>(handle), index, list->count);
}

}  // namespace

bool wait_list_init(WaitList* list, const char* owner) {
  std::lock_guard<std::mutex> guard(list->lock);
  list->count = 0;
  list->owner = owner;
  return list->change.valid();
}

int wait_list_add(WaitList* list, int handle) {
  std::lock_guard<std::mutex> guard(list->lock);
  if (list->count >= kWaitListMax) {
    debug_log('D', 0, "Exceeded maximum number of entries (%u) in wait list", kWaitListMax);
    return -1;
  }
  list->handles[list->count++] = handle;
  debug_log('D', 3, "Added handle %u to wait list at index %u, %u entries total",
            static_cast<unsigned>(handle), list->count - 1, list->count);
  list->change.set();
  return 0;
}

int wait_list_remove(WaitList* list, int handle) {
  std::lock_guard<std::mutex> guard(list->lock);
  for (unsigned k = 0; k < list->count; ++k) {
    if (list->handles[k] == handle) {
      remove_at_locked(list, k);
      list->change.set();
      return 0;
    }
  }
  return -1;
}

int wait_list_wait(WaitList* list, int* fired) {
  pollfd fds[kWaitListMax + 1];
  for (;;) {
    unsigned n;
    {
      std::lock_guard<std::mutex> guard(list->lock);
      list->change.reset();
      n = list->count;
      for (unsigned k = 0; k < n; ++k) fds[k] = {list->handles[k], POLLIN, 0};
    }
    fds[n] = {list->change.fd(), POLLIN, 0};
    if (poll(fds, n + 1, -1) < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      char text[256];
      platform::sys_error_text(err, text, sizeof text);
      debug_log('D', 0, "%s fatal error: WaitForMultipleObjects() failed, %d: %s", list->owner, err,
                text);
      ZENT_ASSERT(!"wait list: WaitForMultipleObjects() failed");
    }
    for (unsigned k = 0; k < n; ++k) {
      if (fds[k].revents == 0) continue;
      std::lock_guard<std::mutex> guard(list->lock);
      // The list may have changed since the snapshot; report the entry
      // where it stands now.
      for (unsigned i = 0; i < list->count; ++i) {
        if (list->handles[i] == fds[k].fd) {
          *fired = fds[k].fd;
          remove_at_locked(list, i);
          return static_cast<int>(i);
        }
      }
    }
    // Woken by a change (or by an entry removed meanwhile): wait again.
  }
}

void wait_list_cleanup(WaitList* list) {
  std::lock_guard<std::mutex> guard(list->lock);
  debug_log('D', 3, "Cleaned-up wait list with %u entries", list->count);
  list->count = 0;
}
