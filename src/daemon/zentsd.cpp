// zentsd.cpp - process entry of the session daemon.
//
// Signals are blocked before any thread starts; the service frame takes
// them from a signal descriptor on the main thread, so no handler ever runs
// in signal context.
#include "base/debug_log.h"
#include "base/ini_file.h"
#include "daemon/zentsd_frame.h"
#include "platform/signal_thread.h"
#include "server/tcp.h"

int main(int argc, char** argv) {
  platform::signal_block();
  debug_set_variant(DebugVariant::Daemon);
  tcp_set_log_letter('N');
  IniSetLogLetter('C');
  return zentsd_frame_main(argc, argv);
}
