// zentdb6.cpp - process entry of the database server.
//
// Signals are blocked before any thread starts; the service frame takes them
// from a signal descriptor on the main thread, so no handler ever runs in
// signal context.
#include "base/panic.h"
#include "platform/signal_thread.h"
#include "server/server_main.h"
#include "server/zentdb6_frame.h"

int main(int argc, char** argv) {
  platform::signal_block();
  panic_set_handler(server_assert);
  return service_frame_main(argc, argv);
}
