// fiber.cpp - fibers on ucontext with mmap stacks and a guard page.
//
// swapcontext also saves and restores the signal mask; the server keeps the
// same mask on every fiber of its thread, so that is harmless.
#include "platform/fiber.h"

#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>

#ifdef ZENT_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace platform {

struct Fiber {
  ucontext_t context;
  void* mapping = nullptr;  // guard page + stack; none for a main fiber
  size_t mapping_size = 0;
  void* stack = nullptr;  // lowest usable byte
  size_t stack_size = 0;
  void (*proc)(void*) = nullptr;
  void* arg = nullptr;
  // Stack bounds as the sanitizer knows them; a main fiber's are learnt at
  // the first switch away from it.
  const void* san_bottom = nullptr;
  size_t san_size = 0;
};

namespace {

thread_local Fiber t_main;
thread_local bool t_converted = false;
thread_local Fiber* t_current = nullptr;
// The fiber that switched to the one now starting or resuming.
thread_local Fiber* t_from = nullptr;

size_t page_size() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

// Runs on the fiber that has just gained control.
void finish_switch([[maybe_unused]] void* fake_stack) {
#ifdef ZENT_ASAN
  const void* bottom = nullptr;
  size_t size = 0;
  __sanitizer_finish_switch_fiber(fake_stack, &bottom, &size);
  if (t_from != nullptr) {
    t_from->san_bottom = bottom;
    t_from->san_size = size;
  }
#endif
}

void fiber_entry(unsigned high, unsigned low) {
  auto* self = reinterpret_cast<Fiber*>((static_cast<uintptr_t>(high) << 32) | low);
  finish_switch(nullptr);
  self->proc(self->arg);
  // A fiber procedure that returns has nowhere to go.
  abort();
}

}  // namespace

Fiber* fiber_convert_thread() {
  if (!t_converted) {
    t_converted = true;
    t_current = &t_main;
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

  getcontext(&fiber->context);
  fiber->context.uc_stack.ss_sp = fiber->stack;
  fiber->context.uc_stack.ss_size = stack_size;
  fiber->context.uc_link = nullptr;
  const auto bits = reinterpret_cast<uintptr_t>(fiber);
  makecontext(&fiber->context, reinterpret_cast<void (*)()>(fiber_entry), 2,
              static_cast<unsigned>(bits >> 32), static_cast<unsigned>(bits & 0xffffffffu));
  return fiber;
}

void fiber_switch(Fiber* to, [[maybe_unused]] bool finishing) {
  Fiber* from = t_current;
  if (to == from) return;
  t_from = from;
  t_current = to;
#ifdef ZENT_ASAN
  void* fake_stack = nullptr;
  __sanitizer_start_switch_fiber(finishing ? nullptr : &fake_stack, to->san_bottom, to->san_size);
  swapcontext(&from->context, &to->context);
  finish_switch(fake_stack);
#else
  swapcontext(&from->context, &to->context);
#endif
}

void fiber_delete(Fiber* fiber) {
  if (fiber == nullptr || fiber == t_current || fiber->mapping == nullptr) return;
#ifdef ZENT_ASAN
  // Frames abandoned on the stack leave poisoned shadow behind; a later
  // mapping at the same address must not inherit it.
  __asan_unpoison_memory_region(fiber->stack, fiber->stack_size);
#endif
  munmap(fiber->mapping, fiber->mapping_size);
  delete fiber;
}

size_t fiber_stack_size(const Fiber* fiber) { return fiber ? fiber->stack_size : 0; }

}  // namespace platform
