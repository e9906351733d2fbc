// panic.h - assertions on internal consistency and the program's panic hook.
//
// Every program that links the engine installs its own handler: the server
// cleans up and exits or aborts as its Panic setting says; a utility prints
// and aborts. Without an installed handler the default prints and aborts.
#pragma once

using PanicAssertHandler = void (*)(const char* expression, const char* file, int line);

void panic_set_handler(PanicAssertHandler handler);

// Never returns.
[[noreturn]] void panic_assert_failed(const char* expression, const char* file, int line);

#define ZENT_ASSERT(expr) \
  ((expr) ? static_cast<void>(0) : panic_assert_failed(#expr, __FILE__, __LINE__))
