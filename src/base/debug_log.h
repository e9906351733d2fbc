// debug_log.h - the process-wide log: 26 categories A..Z, each with a level.
//
// A message of level L in category C is written when C is A..Z and C's level
// is at least L. Output goes to one stream (standard error or a log file) or,
// when no stream is set, to the system log under the service's name. Every
// call may come from any thread: writers are serialised, so lines never
// interleave. See README.md in this directory for the flag-string grammar.
#pragma once
#include <cstdint>
#include <cstdio>

// Which build of the facility the program is: the server, or the session
// daemon with its longer messages and one-call stream set-up.
enum class DebugVariant { Server, Daemon };

// Per-letter levels; index 0 is A. Set only through debug_set_flags, which
// may run while other threads log.
extern int8_t DebugFlags[26];

void debug_set_variant(DebugVariant variant);

// debug_set_stream, then debug_set_flags.
void debug_init(const char* flags, FILE* stream);
// Daemon form: stream and flags in one call; the previous stream is closed
// unless it is standard error or the new stream itself.
void debug_daemon_init(const char* flags, FILE* stream);

// Closes the current stream unless it is none, stdout or stderr, then makes
// stream current. None selects the system log.
void debug_set_stream(FILE* stream);
FILE* debug_get_stream();
// Parses flags into DebugFlags; writes the file header when flags is not
// empty and the stream is a file.
void debug_set_flags(const char* flags);

// 1 when letter is A..Z and its level is at least level.
int debug_enabled(int letter, int level);
// Formats and writes one message when enabled; 0 when it was not.
int debug_log(int letter, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Writes one finished message.
void debug_output(int letter, int level, const char* text);
// "label: system text (errno code)".
void debug_syserr(int letter, int level, int code, const char* label);
// Hex dump to the stream only; callers test debug_enabled first.
void debug_dump(const char* label, const void* data, int length);
// Dump lines of data[start..end) to the stream, 16 bytes a line.
void debug_hexdump(const void* data, int end, int start);

// The service name used as the system log's source.
void debug_set_source(const char* name);
// Category text for the system log: the module name or the bare letter.
const char* debug_category_name(int letter);
