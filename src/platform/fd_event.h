// fd_event.h - a manual-reset event on an eventfd, so that it can be waited
// on together with other descriptors (poll). Set and reset from any thread.
#pragma once

namespace platform {

class FdEvent {
 public:
  FdEvent();
  ~FdEvent();
  FdEvent(const FdEvent&) = delete;
  FdEvent& operator=(const FdEvent&) = delete;

  // False when the descriptor could not be made (errno says why).
  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Stays set until reset.
  void set();
  void reset();
  bool is_set() const;
  // 1 when set within milliseconds (negative: no limit), 0 on time-out, -1
  // with errno when the wait failed.
  int wait_for(int milliseconds) const;

 private:
  int fd_;
};

}  // namespace platform
