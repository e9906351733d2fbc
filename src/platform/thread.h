// thread.h - starting the server's few operating-system threads.
//
// A thread is a std::thread that ends when its own stop flag tells it to and
// is joined; nothing stops a thread by closing what it waits on.
#pragma once
#include <functional>
#include <thread>

namespace platform {

// Starts body on a new thread named name (at most 15 characters are kept).
// Returns 0, or the errno value when the thread could not be started.
int start_thread(std::thread& out, const char* name, std::function<void()> body);

// Joins t when it is joinable and is not the calling thread.
void join_thread(std::thread& t);

// For tests that stand in for a system with no thread to spare: the hook
// sees each start by name and returns an errno value to refuse it, or 0.
// None removes it.
using ThreadStartHook = int (*)(const char* name);
void set_thread_start_hook(ThreadStartHook hook);

}  // namespace platform
