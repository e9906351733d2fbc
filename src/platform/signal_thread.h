// signal_thread.h - SIGINT and SIGTERM handled in ordinary thread context.
//
// signal_block() runs on the main thread before any other thread starts, so
// that every thread inherits the blocked mask and no signal handler ever
// runs asynchronously. One thread then takes the two signals (the service
// frame reads them from a signal descriptor) and calls whichever handler the
// server has installed at that moment.
#pragma once

namespace platform {

using SignalHandler = void (*)(int signo);

// Blocks SIGINT and SIGTERM in the calling thread (and so in threads it
// starts later), and ignores SIGPIPE.
void signal_block();

// Installs the handler the signal-taking thread calls; none ignores the
// signals.
void signal_set_handler(SignalHandler handler);
SignalHandler signal_get_handler();

}  // namespace platform
