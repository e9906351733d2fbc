// fiber.cpp - fibers on Boost.Context's fcontext switch, with mmap stacks and
// a guard page.
//
// The switch (jump_fcontext) saves the callee-saved registers and the
// floating-point control words on the stack it leaves and makes no system
// call; ucontext's swapcontext also saved and restored the signal mask,
// one system call per switch. Only fcontext's three primitives are used,
// not its fiber classes: those unwind a suspended fiber when it is
// destroyed, and ours must be freed without unwinding.
//
// A switch passes the fiber it leaves; the fiber that gains control stores
// the context the other stopped at into that fiber's record. So a context
// is only ever resumed once, and each record holds the place its fiber
// will resume at.
//
// Sanitizers: with ZENT_ASAN every switch is announced to AddressSanitizer
// (start before, finish after, so it knows which stack is in use); with
// ZENT_TSAN every fiber has a ThreadSanitizer context of its own and the
// switch to it is announced right before the jump, so the sanitizer sees
// the order of the fibers' accesses on this thread.
#include "platform/fiber.h"

#include <sys/mman.h>
#include <unistd.h>

#include <boost/context/detail/fcontext.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>

#ifdef ZENT_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#ifdef ZENT_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace platform {

namespace fctx = boost::context::detail;

struct Fiber {
  // Where the fiber resumes; set when it switches away (for a new fiber,
  // at its creation).
  fctx::fcontext_t context = nullptr;
  void* mapping = nullptr;  // guard page + stack; none for a main fiber
  size_t mapping_size = 0;
  void* stack = nullptr;  // lowest usable byte
  size_t stack_size = 0;
  void (*proc)(void*) = nullptr;
  void* arg = nullptr;
  // Stack bounds as AddressSanitizer knows them; a main fiber's are learnt
  // at the first switch away from it.
  const void* san_bottom = nullptr;
  size_t san_size = 0;
  // ThreadSanitizer's context of the fiber.
  void* tsan_fiber = nullptr;
};

namespace {

thread_local Fiber t_main;
thread_local bool t_converted = false;
thread_local Fiber* t_current = nullptr;

size_t page_size() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

// Runs on the fiber that has just gained control: the fiber that left
// records where it stopped.
void arrived(fctx::transfer_t from, [[maybe_unused]] void* fake_stack) {
  auto* left = static_cast<Fiber*>(from.data);
  left->context = from.fctx;
#ifdef ZENT_ASAN
  const void* bottom = nullptr;
  size_t size = 0;
  __sanitizer_finish_switch_fiber(fake_stack, &bottom, &size);
  left->san_bottom = bottom;
  left->san_size = size;
#endif
}

void fiber_entry(fctx::transfer_t from) {
  arrived(from, nullptr);
  Fiber* self = t_current;
  self->proc(self->arg);
  // A fiber procedure that returns has nowhere to go.
  abort();
}

}  // namespace

Fiber* fiber_convert_thread() {
  if (!t_converted) {
    t_converted = true;
    t_current = &t_main;
#ifdef ZENT_TSAN
    t_main.tsan_fiber = __tsan_get_current_fiber();
#endif
  }
  return &t_main;
}

Fiber* fiber_current() { return t_current; }

Fiber* fiber_create(size_t stack_size, void (*proc)(void*), void* arg) {
  const size_t page = page_size();
  if (stack_size == 0) stack_size = kFiberDefaultStack;
  stack_size = (stack_size + page - 1) / page * page;

  auto* fiber = new (std::nothrow) Fiber;
  if (fiber == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  const size_t mapping_size = stack_size + page;
  void* mapping = mmap(nullptr, mapping_size, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
  if (mapping == MAP_FAILED) {
    const int err = errno;
    delete fiber;
    errno = err;
    return nullptr;
  }
  // Stacks grow down: the guard page sits below the lowest usable byte.
  if (mprotect(mapping, page, PROT_NONE) != 0) {
    const int err = errno;
    munmap(mapping, mapping_size);
    delete fiber;
    errno = err;
    return nullptr;
  }
  fiber->mapping = mapping;
  fiber->mapping_size = mapping_size;
  fiber->stack = static_cast<char*>(mapping) + page;
  fiber->stack_size = stack_size;
  fiber->proc = proc;
  fiber->arg = arg;
  fiber->san_bottom = fiber->stack;
  fiber->san_size = stack_size;
  fiber->context =
      fctx::make_fcontext(static_cast<char*>(fiber->stack) + stack_size, stack_size, fiber_entry);
#ifdef ZENT_TSAN
  fiber->tsan_fiber = __tsan_create_fiber(0);
#endif
  return fiber;
}

void fiber_switch(Fiber* to, [[maybe_unused]] bool finishing) {
  Fiber* from = t_current;
  if (to == from) return;
  t_current = to;
  fctx::fcontext_t target = to->context;
  to->context = nullptr;  // resumed now; it records a new place when it leaves
  void* fake_stack = nullptr;
#ifdef ZENT_ASAN
  __sanitizer_start_switch_fiber(finishing ? nullptr : &fake_stack, to->san_bottom, to->san_size);
#endif
#ifdef ZENT_TSAN
  __tsan_switch_to_fiber(to->tsan_fiber, 0);
#endif
  const fctx::transfer_t back = fctx::jump_fcontext(target, from);
  arrived(back, fake_stack);
}

void fiber_delete(Fiber* fiber) {
  if (fiber == nullptr || fiber == t_current || fiber->mapping == nullptr) return;
#ifdef ZENT_ASAN
  // Frames abandoned on the stack leave poisoned shadow behind; a later
  // mapping at the same address must not inherit it.
  __asan_unpoison_memory_region(fiber->stack, fiber->stack_size);
#endif
#ifdef ZENT_TSAN
  __tsan_destroy_fiber(fiber->tsan_fiber);
#endif
  munmap(fiber->mapping, fiber->mapping_size);
  delete fiber;
}

size_t fiber_stack_size(const Fiber* fiber) { return fiber ? fiber->stack_size : 0; }

}  // namespace platform
