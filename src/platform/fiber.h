// fiber.h - fibers: execution contexts that one thread switches between by
// hand, the ground the task kernel stands on.
//
// Any fiber may switch to any other fiber of the same thread. A thread first
// becomes a fiber itself (fiber_convert_thread); new fibers get a stack of
// their own from mmap with an inaccessible guard page below it, so an
// overflow faults instead of corrupting a neighbour. A fiber is never
// deleted by itself: another fiber deletes it, and deleting a suspended
// fiber frees its stack without unwinding it (no destructors run).
// A switch makes no system call (Boost.Context's fcontext switch): a few
// nanoseconds of register saving, so the kernel may switch freely.
// With ZENT_ASAN defined every switch tells AddressSanitizer about the
// stack change; with ZENT_TSAN each fiber is a ThreadSanitizer fiber and
// every switch is announced to it.
#pragma once
#include <cstddef>

namespace platform {

struct Fiber;

// Default stack size of a new fiber: large enough for the engine's deepest
// call chains under the sanitizers; only touched pages use memory.
#if defined(ZENT_ASAN) || defined(ZENT_TSAN)
inline constexpr size_t kFiberDefaultStack = 1024 * 1024;
#else
inline constexpr size_t kFiberDefaultStack = 256 * 1024;
#endif

// Makes the calling thread a fiber (the main fiber) and returns it; a
// second call returns the same fiber.
Fiber* fiber_convert_thread();
// The fiber running on the calling thread, or none before conversion.
Fiber* fiber_current();

// A new suspended fiber that runs proc(arg) when first switched to. proc
// must never return (it switches away for good instead); stack_size 0 means
// kFiberDefaultStack. None when memory or mappings run out (errno set).
Fiber* fiber_create(size_t stack_size, void (*proc)(void* arg), void* arg);

// Suspends the running fiber and resumes to. When the running fiber will
// never be resumed again (it is ending), pass finishing = true so that the
// sanitizer releases its bookkeeping for it.
void fiber_switch(Fiber* to, bool finishing = false);

// Frees a suspended fiber's stack; never the running fiber, never a main
// fiber. None is ignored.
void fiber_delete(Fiber* fiber);

// Usable stack bytes of a created fiber (0 for a main fiber).
size_t fiber_stack_size(const Fiber* fiber);

}  // namespace platform
