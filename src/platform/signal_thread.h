// signal_thread.h - SIGINT and SIGTERM handled in ordinary thread context.
//
// signal_block() must run on the main thread before any other thread starts,
// so that every thread inherits the blocked mask. The signal thread then takes
// the two signals with sigwait and calls whichever handler is installed at
// that moment; nothing ever runs inside an asynchronous signal handler.
#pragma once

namespace platform {

using SignalHandler = void (*)(int signo);

// Blocks SIGINT and SIGTERM in the calling thread (and so in threads it
// starts later), and ignores SIGPIPE.
void signal_block();

// Installs the handler the signal thread calls; none ignores the signals.
void signal_set_handler(SignalHandler handler);
SignalHandler signal_get_handler();

// Starts the signal thread; 0 or an errno value. Idempotent.
int signal_thread_start();
// Stops and joins it (from any thread but the signal thread itself, where it
// only asks the thread to stop).
void signal_thread_stop();

}  // namespace platform
