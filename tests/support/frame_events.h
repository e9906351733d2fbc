// frame_events.h - the server frame's hand-off state for tests that run the
// select thread, the idle task or the session layer without the whole
// server: the sync semaphore, the tcp and acknowledge events, the hand-off
// counters and the shutdown flag. Header-only; the test links zent_server.
#pragma once
#include <memory>

#include "server/client_session.h"
#include "server/server_main.h"
#include "server/server_tasks.h"

namespace testsupport {

// Creates the state as tmain_init does; the destructor stops the select
// thread and drops the state again.
class FrameEvents {
 public:
  FrameEvents() {
    sync_sem = std::make_unique<platform::OsSemaphore>(0, 0x7fffffff);
    tcp_event = std::make_unique<platform::Event>(true, false);
    tcp_ack_event = std::make_unique<platform::Event>(false, true);
    client_poll_cnt = 0;
    client_pending_cnt = 0;
    server_shutdown = 0;
  }
  ~FrameEvents() {
    bg_tcp_thread_stop();
    master_set_clear();
    sync_sem.reset();
    tcp_event.reset();
    tcp_ack_event.reset();
  }
  FrameEvents(const FrameEvents&) = delete;
  FrameEvents& operator=(const FrameEvents&) = delete;
};

}  // namespace testsupport
