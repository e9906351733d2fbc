// panic.cpp - assertion path shared by every program.
#include "base/panic.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {
std::atomic<PanicAssertHandler> g_handler{nullptr};
}

void panic_set_handler(PanicAssertHandler handler) { g_handler.store(handler); }

void panic_assert_failed(const char* expression, const char* file, int line) {
  if (PanicAssertHandler h = g_handler.load()) h(expression, file, line);
  // A handler must not return; should one do so, stop here all the same.
  fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expression, file, line);
  abort();
}
