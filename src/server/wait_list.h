// wait_list.h - the service frame's wait list: up to 128 descriptors that
// one thread waits on at once, while other threads add and remove entries.
//
// A waiter woken by a change of the list waits again on the new list. The
// descriptor that fired is taken out of the list, so a level-triggered
// descriptor (a set event) fires once per add. A lock guards the array.
#pragma once
#include <mutex>

#include "platform/fd_event.h"

inline constexpr unsigned kWaitListMax = 128;

struct WaitList {
  std::mutex lock;
  platform::FdEvent change;  // set whenever the array changes
  int handles[kWaitListMax];
  unsigned count = 0;
  const char* owner = "";    // names the frame in the fatal error line
};

// False when the change event could not be made.
bool wait_list_init(WaitList* list, const char* owner);
// 0, or -1 when the list is full ("Exceeded maximum number of entries").
int wait_list_add(WaitList* list, int handle);
// 0, or -1 when handle is not in the list.
int wait_list_remove(WaitList* list, int handle);
// Waits until one entry is readable; removes it and returns the index it
// had, with its descriptor in *fired. A failed wait is fatal (assertion).
int wait_list_wait(WaitList* list, int* fired);
void wait_list_cleanup(WaitList* list);
