// debug_log.h - the process-wide log: 26 categories A..Z, each with a level.
//
// A message of level L in category C is written when C is A..Z and C's level
// is at least L. Output goes to one stream (standard error or a log file) or,
// when no stream is set, to the system log under the service's name. Every
// call may come from any thread: writers are serialised, so lines never
// interleave. See README.md in this directory for the flag-string grammar.
#pragma once
#include <cstddef>
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
// Writes n bytes as they are (lines another process formatted) to the
// stream and flushes it; nothing when the target is the system log.
void debug_write_raw(const char* text, size_t n);
// "label: system text (errno code)".
void debug_syserr(int letter, int level, int code, const char* label);
// Hex dump to the stream only; callers test debug_enabled first.
void debug_dump(const char* label, const void* data, int length);
// Dump lines of data[start..end) to the stream, 16 bytes a line.
void debug_hexdump(const void* data, int end, int start);

// Texts that came from a peer (handshake strings, host names, user names)
// are logged only through debug_escape or LogText, wherever they are
// logged, so that such a text can never end its log line, forge the next
// one, or reach a terminal as a control sequence. Control characters are
// escaped: \n, \r and \t as such, every other C0 byte, DEL and the C1
// controls (bytes 0x80..0x9f that are no part of a UTF-8 sequence, and
// U+0080..U+009F in UTF-8) as \xNN. Other bytes pass unchanged, so Latin-1
// and UTF-8 names stay readable. A text that does not fit is cut between
// characters and ends in "...". None reads as "". Returns buf (size > 0).
const char* debug_escape(const char* text, char* buf, size_t size);

// debug_escape into storage of its own, for use as a log argument:
//   debug_log('P', 2, "startup: platform = %s", LogText(platform).c_str());
class LogText {
 public:
  explicit LogText(const char* text) { debug_escape(text, buf_, sizeof buf_); }
  LogText(const LogText&) = delete;
  LogText& operator=(const LogText&) = delete;
  const char* c_str() const { return buf_; }

 private:
  char buf_[512];
};

// The service name used as the system log's source.
void debug_set_source(const char* name);
// Category text for the system log: the module name or the bare letter.
const char* debug_category_name(int letter);
