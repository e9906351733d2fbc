// task_runner.h - runs tasks under the task kernel on the calling thread,
// with an idle task that sleeps the thread until an I/O thread's notifier
// says a completion was posted: the server's arrangement in miniature.
#pragma once
#include <atomic>
#include <chrono>
#include <vector>

#include "base/task_kernel.h"
#include "platform/os_semaphore.h"
#include "storage/tio.h"

namespace storage_test {

class TaskRunner {
 public:
  using Body = void (*)();

  // Installs the notifier; the I/O threads may be set up before or after.
  TaskRunner() {
    sem() = new platform::OsSemaphore(0, 0x7fffffff);
    tio_set_notify(+[](const char*) { sem()->release(); });
  }
  ~TaskRunner() {
    tio_set_notify(nullptr);
    delete sem();
    sem() = nullptr;
  }

  // Runs every body as a task of priority 10 (after them, at 20, the
  // optional late body) until all have returned. False when the run stalled
  // for timeout_ms without any completion.
  bool run(const std::vector<Body>& bodies, Body late = nullptr, int timeout_ms = 20000) {
    if (thread_init(static_cast<int>(bodies.size()) + 4) != 0) return false;
    live() = static_cast<int>(bodies.size()) + (late ? 1 : 0);
    stalled() = false;
    timeout() = timeout_ms;
    for (Body b : bodies) add(b, 10);
    if (late) add(late, 20);
    if (thread_create(idle, 99) == nullptr) return false;
    if (thread_run() != 0) return false;
    return !stalled();
  }

 private:
  static platform::OsSemaphore*& sem() {
    static platform::OsSemaphore* s = nullptr;
    return s;
  }
  static std::atomic<int>& live() {
    static std::atomic<int> n{0};
    return n;
  }
  static bool& stalled() {
    static bool s = false;
    return s;
  }
  static int& timeout() {
    static int t = 0;
    return t;
  }
  static std::vector<Body>& by_id() {
    static std::vector<Body> v;
    return v;
  }

  static void add(Body b, int priority) {
    Task* t = thread_create(task_main, priority);
    if (t == nullptr) return;
    if (by_id().size() <= static_cast<size_t>(thread_id(t))) by_id().resize(thread_id(t) + 1);
    by_id()[thread_id(t)] = b;
  }

  static void task_main() {
    by_id()[thread_id(thread_self())]();
    --live();
  }

  // Lets every runnable task go, then sleeps the thread until a notifier
  // call; ends the run when the last task has returned.
  static void idle() {
    for (;;) {
      thread_yield();
      if (live() == 0) break;
      if (!sem()->wait_for(static_cast<uint64_t>(timeout()))) {
        stalled() = true;
        break;
      }
    }
    thread_stop();
  }
};

}  // namespace storage_test
