// signal_thread.cpp - the blocked signal mask and the installed handler.
#include "platform/signal_thread.h"

#include <signal.h>

#include <atomic>

namespace platform {
namespace {

std::atomic<SignalHandler> g_handler{nullptr};

}  // namespace

void signal_block() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // A write to a closed socket or past the file-size limit is an error the
  // caller handles (EPIPE, EFBIG), not the end of the process.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

void signal_set_handler(SignalHandler handler) { g_handler.store(handler); }
SignalHandler signal_get_handler() { return g_handler.load(); }

}  // namespace platform
