// signal_thread.h - stop signals handled in ordinary thread context.
//
// signal_block() is the first statement of main in every program (the
// server, the utilities, the session daemon), before any thread starts, so
// that every thread inherits the blocked mask, no signal handler ever runs
// asynchronously, and a stop signal that comes in the first milliseconds
// waits for its taker instead of ending the process unannounced. One thread
// then takes the signals (the service frame reads them from a signal
// descriptor) and calls whichever handler the server has installed at that
// moment. Children started by fork and exec inherit the mask and the
// ignored signals; a program that starts others restores both for them.
#pragma once

namespace platform {

using SignalHandler = void (*)(int signo);

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread (and so in
// threads it starts later), and ignores SIGPIPE and SIGXFSZ, so that a write
// to a closed socket or past the file-size limit fails with EPIPE or EFBIG.
void signal_block();

// Installs the handler the signal-taking thread calls; none ignores the
// signals.
void signal_set_handler(SignalHandler handler);
SignalHandler signal_get_handler();

}  // namespace platform
