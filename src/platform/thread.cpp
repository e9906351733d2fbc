// thread.cpp - operating-system threads.
#include "platform/thread.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace platform {
namespace {
std::atomic<ThreadStartHook> g_start_hook{nullptr};
}  // namespace

void set_thread_start_hook(ThreadStartHook hook) { g_start_hook.store(hook); }

int start_thread(std::thread& out, const char* name, std::function<void()> body) {
  if (ThreadStartHook hook = g_start_hook.load())
    if (int err = hook(name)) return err;
  try {
    char short_name[16];
    std::strncpy(short_name, name, sizeof short_name - 1);
    short_name[sizeof short_name - 1] = '\0';
    out = std::thread([body = std::move(body), n = std::string(short_name)]() {
      pthread_setname_np(pthread_self(), n.c_str());
      body();
    });
    return 0;
  } catch (const std::system_error& e) {
    return e.code().value() ? e.code().value() : EAGAIN;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

void join_thread(std::thread& t) {
  if (t.joinable() && t.get_id() != std::this_thread::get_id()) t.join();
}

}  // namespace platform
