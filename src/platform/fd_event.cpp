// fd_event.cpp - eventfd-backed manual-reset event.
#include "platform/fd_event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform {

FdEvent::FdEvent() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

FdEvent::~FdEvent() {
  if (fd_ >= 0) close(fd_);
}

void FdEvent::set() {
  const uint64_t one = 1;
  // The counter only needs to be non-zero; a full counter already is.
  while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void FdEvent::reset() {
  uint64_t value;
  while (read(fd_, &value, sizeof value) < 0 && errno == EINTR) {
  }
}

bool FdEvent::is_set() const { return wait_for(0) == 1; }

int FdEvent::wait_for(int milliseconds) const {
  pollfd p = {fd_, POLLIN, 0};
  for (;;) {
    const int r = poll(&p, 1, milliseconds);
    if (r >= 0) return r > 0 ? 1 : 0;
    if (errno != EINTR) return -1;
  }
}

}  // namespace platform
