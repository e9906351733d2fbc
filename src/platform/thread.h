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

}  // namespace platform
