// zentdb6_frame.cpp - zentdb6's values for the shared service frame.
#include "server/zentdb6_frame.h"

#include "server/server_main.h"

namespace {

ServiceServer g_server = {server_main, server_stop_request, win32_server_atexit};

}  // namespace

void service_frame_set_server(const ServiceServer& server) { g_server = server; }

int service_frame_main(int argc, char** argv) {
  ServiceProgram program{};
  program.default_name = kDefaultServiceName;
  program.letter = 'D';
  program.main = g_server.main;
  program.stop_request = g_server.stop_request;
  program.atexit = g_server.atexit;
  program.stop_loop = true;
  program.shutdown_text = kShutdownTimeoutText;
  return service_frame_run_program(program, argc, argv);
}
