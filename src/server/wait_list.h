// wait_list.h - the service frame's wait list: up to 128 descriptors that
// one thread waits on at once, while other threads add, replace, remove and
// count entries.
//
// Ownership: the list's lock guards every field. The waiting thread never
// holds it while it sleeps in poll; instead a thread that changes the list
// sets the change event and waits until the waiter has left its poll, so no
// descriptor is closed or replaced under a poll that still watches it. The
// waiter does not go back to poll while a change is pending, and then waits
// on the new list. Callbacks run and owned descriptors are closed outside
// the lock, so a callback may take any lock of its own (the daemon's child
// table) without an order to keep.
//
// Entries: the descriptor that fires is taken out of the list and its index
// returned, so a level-triggered descriptor (a set event) fires once per
// add; an entry added with WAIT_KEEP is reported and stays (the caller
// drains it, as with a signal descriptor). An entry added with WAIT_OWNED
// belongs to the list: it is closed exactly once, when it is removed,
// replaced or cleaned up. The removal callback of an entry is called with
// its descriptor whenever the list removes it (fired or cleaned up).
#pragma once
#include <condition_variable>
#include <mutex>

#include "platform/fd_event.h"

// Most entries one list holds: the limit of one multiple wait.
inline constexpr unsigned kWaitListMax = 128;

using WaitListCallback = void (*)(int handle);

enum : unsigned {
  WAIT_OWNED = 1,  // the list closes the descriptor
  WAIT_KEEP = 2,   // reported when readable, never removed by the wait
};

struct WaitListEntry {
  int handle = -1;
  unsigned flags = 0;
  WaitListCallback callback = nullptr;
};

struct WaitList {
  std::mutex lock;
  std::condition_variable changed;  // the waiter left poll, or a change is done
  platform::FdEvent change;         // set by a thread that wants the list
  WaitListEntry entries[kWaitListMax];
  unsigned count = 0;
  unsigned mark = 0;       // entries up to here are the frame's own
  unsigned pending = 0;    // changes waiting for the waiter to leave poll
  bool polling = false;    // the waiter sleeps in poll on a copy of entries
  bool closed = true;      // before init and after clean-up every change fails
  const char* owner = "";  // names the frame in the fatal error line
  int letter = 'D';        // log letter of the list's lines
};

// Empties the list and opens it for changes; false when the change event
// could not be made. letter: the program's log letter.
bool wait_list_init(WaitList* list, const char* owner, int letter = 'D');
// Adds a frame entry (not owned, no callback): 0, or -1 when the list is
// full ("Exceeded maximum number of entries") or cleaned up.
int wait_list_add(WaitList* list, int handle);
// Adds an entry with flags and a removal callback (may be none). The new
// entry's index, or -1 (full or cleaned up). A negative handle is a fatal
// assertion.
int wait_list_add_entry(WaitList* list, int handle, unsigned flags, WaitListCallback callback);
// Puts new_handle in the place of the first entry holding old_handle,
// which is closed when owned; flags and callback stay. The index, or -1
// (nothing changed; new_handle stays the caller's) when old_handle is not
// in the list.
int wait_list_replace(WaitList* list, int old_handle, int new_handle);
// Takes the entry out without its callback, closing it when owned. 0, or
// -1 when handle is not in the list.
int wait_list_remove(WaitList* list, int handle);
// The frame's own entries end here: the count at this moment.
void wait_list_mark(WaitList* list);
// Entries beyond the mark (the children); 0 after clean-up.
unsigned wait_list_extra_count(WaitList* list);
// 1 when n more entries fit, else 0 (also after clean-up).
int wait_list_has_room(WaitList* list, unsigned n);
// Waits until one entry is readable and returns the index it had, with its
// descriptor in *fired. Not a WAIT_KEEP entry: it is removed first, its
// callback called and, when owned, closed (*fired then names a closed
// descriptor). Never cut short: a failed poll is fatal (assertion).
int wait_list_wait(WaitList* list, int* fired);
// After the waiter has returned for good: every entry's callback in order,
// owned entries closed, the list closed for changes.
void wait_list_cleanup(WaitList* list);
