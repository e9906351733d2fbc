// zentdb6.cpp - process entry of the database server.
//
// Signals are blocked before any thread starts and taken by the signal
// thread, so no handler ever runs in signal context.
#include "base/panic.h"
#include "platform/signal_thread.h"
#include "server/server_main.h"

int main(int argc, char** argv) {
  platform::signal_block();
  panic_set_handler(server_assert);
  platform::signal_thread_start();
  const int status = server_main(argc, argv, 1);
  platform::signal_thread_stop();
  return status;
}
