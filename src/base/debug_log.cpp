// debug_log.cpp - log facility: levels, flag strings, stream and system-log
// targets, hex dumps.
#include "base/debug_log.h"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/event_log.h"
#include "platform/syserr.h"

int8_t DebugFlags[26];

namespace {

constexpr int kServerTextMax = 1024;
constexpr int kDaemonTextMax = 8192;

// Recursive: debug_dump writes its lines through the same lock.
std::recursive_mutex g_mutex;
FILE* g_stream = nullptr;
DebugVariant g_variant = DebugVariant::Server;
char g_text[kDaemonTextMax];
char g_line_buffer[512];
// Room for a whole message with every byte escaped (at most 4 bytes each).
char g_escaped[4 * kDaemonTextMax + 4];

const char* const kServerCategories[26] = {
    "Config", "Btree", "Cache", "Server", "E", "FixRec", "G", "H", "Image",
    "J", "K", "Transaction", "M", "VolNode", "SysObject", "Protocol", "Q", "R",
    "System", "Thread", "U", "Volume", "W", "Network", "Y", "Z"};
const char* const kDaemonCategories[26] = {
    "A", "B", "Config", "DirUtil", "Execute", "F", "G", "H", "I", "J", "K", "L", "M",
    "Network", "O", "Protocol", "Q", "R", "Server", "T", "U", "V", "W", "X", "Y", "Z"};

bool is_file_stream(FILE* f) { return f != nullptr && f != stderr && f != stdout; }

// Levels are read without the lock by every thread that logs, also while
// another thread sets new flags; single-byte relaxed access keeps that
// defined and as cheap as a plain compare.
int8_t level_of(int index) {
  return std::atomic_ref<int8_t>(DebugFlags[index]).load(std::memory_order_relaxed);
}
void set_level(int index, int8_t level) {
  std::atomic_ref<int8_t>(DebugFlags[index]).store(level, std::memory_order_relaxed);
}

int text_max() { return g_variant == DebugVariant::Daemon ? kDaemonTextMax : kServerTextMax; }

void write_header(const char* flags) {
  char when[41];
  time_t now = time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  if (strftime(when, sizeof when, "%c", &tmv) == 0) when[0] = '\0';
  if (g_variant == DebugVariant::Daemon) setvbuf(g_stream, g_line_buffer, _IOLBF, sizeof g_line_buffer);
  fprintf(g_stream, "\n** %s", when);
  fprintf(g_stream, "   Flags = [%s]\n\n", flags);
  fflush(g_stream);
}

// True when debug_escape would change text: a control character or a C1
// byte. Messages are checked whole, so that a peer's text that a caller
// forgot to pass through LogText still cannot start a line of its own.
bool needs_escape(const char* text) {
  for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p)
    if (*p < 0x20 || (*p >= 0x7f && *p <= 0x9f)) return true;
  return false;
}

void output_locked(int letter, int level, const char* text) {
  bool newline = false;
  if (text[0] == '\n') {
    newline = true;
    ++text;
  }
  if (needs_escape(text)) text = debug_escape(text, g_escaped, sizeof g_escaped);
  const int pid = static_cast<int>(getpid());
  if (g_stream != nullptr) {
    if (newline) fputc('\n', g_stream);
    fprintf(g_stream, "(%5d) %c%d: %s\n", pid, letter, level, text);
    fflush(g_stream);
    return;
  }
  platform::event_log_report(level, letter - 64, pid, text);
}

}  // namespace

void debug_set_variant(DebugVariant variant) {
  std::lock_guard<std::recursive_mutex> lock(g_mutex);
  g_variant = variant;
}

void debug_set_stream(FILE* stream) {
  std::lock_guard<std::recursive_mutex> lock(g_mutex);
  if (stream == g_stream) return;
  if (is_file_stream(g_stream)) fclose(g_stream);
  g_stream = stream;
}

FILE* debug_get_stream() {
  std::lock_guard<std::recursive_mutex> lock(g_mutex);
  return g_stream;
}

void debug_set_flags(const char* flags) {
  std::lock_guard<std::recursive_mutex> lock(g_mutex);
  int8_t levels[26] = {};
  for (const char* p = flags ? flags : ""; *p != '\0';) {
    const char c = *p++;
    int value = 1;
    if (std::isdigit(static_cast<unsigned char>(*p))) {
      // Levels above 127 would wrap negative and silence even errors.
      value = 0;
      while (std::isdigit(static_cast<unsigned char>(*p))) {
        if (value <= 127) value = value * 10 + (*p - '0');
        ++p;
      }
      if (value > 127) value = 127;
    }
    if (c >= 'A' && c <= 'Z')
      levels[c - 'A'] = static_cast<int8_t>(value);
    else if (c == '*')
      std::memset(levels, value, sizeof levels);
  }
  for (int i = 0; i < 26; ++i) set_level(i, levels[i]);
  if (flags != nullptr && flags[0] != '\0' && is_file_stream(g_stream)) write_header(flags);
}

void debug_init(const char* flags, FILE* stream) {
  std::lock_guard<std::recursive_mutex> lock(g_mutex);
  debug_set_stream(stream);
  debug_set_flags(flags);
}

void debug_daemon_init(const char* flags, FILE* stream) {
  std::lock_guard<std::recursive_mutex> lock(g_mutex);
  if (g_stream != stream && g_stream != nullptr && g_stream != stderr) fclose(g_stream);
  g_stream = stream;
  debug_set_flags(flags);
}

int debug_enabled(int letter, int level) {
  return letter >= 'A' && letter <= 'Z' && level_of(letter - 'A') >= level;
}

int debug_log(int letter, int level, const char* format, ...) {
  if (!debug_enabled(letter, level)) return 0;
  std::lock_guard<std::recursive_mutex> lock(g_mutex);
  va_list ap;
  va_start(ap, format);
  vsnprintf(g_text, static_cast<size_t>(text_max()), format, ap);
  va_end(ap);
  output_locked(letter, level, g_text);
  return 1;
}

void debug_output(int letter, int level, const char* text) {
  std::lock_guard<std::recursive_mutex> lock(g_mutex);
  output_locked(letter, level, text);
}

void debug_write_raw(const char* text, size_t n) {
  std::lock_guard<std::recursive_mutex> lock(g_mutex);
  if (g_stream == nullptr) return;
  fwrite(text, 1, n, g_stream);
  fflush(g_stream);
}

void debug_syserr(int letter, int level, int code, const char* label) {
  if (!debug_enabled(letter, level)) return;
  char system_text[1024];
  platform::sys_error_text(code, system_text, sizeof system_text);
  std::lock_guard<std::recursive_mutex> lock(g_mutex);
  snprintf(g_text, static_cast<size_t>(text_max()), "%s: %s (errno %d)", label, system_text, code);
  output_locked(letter, level, g_text);
}

void debug_hexdump(const void* data, int end, int start) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::lock_guard<std::recursive_mutex> lock(g_mutex);
  if (g_stream == nullptr) return;
  for (int o = start; o < end; o += 16) {
    fprintf(g_stream, "%03x:", o);
    for (int i = o; i < o + 16; ++i) {
      if (i < end)
        fprintf(g_stream, " %02x", bytes[i]);
      else
        fputs("   ", g_stream);
    }
    fputs(" |", g_stream);
    for (int i = o; i < o + 16; ++i) {
      if (i < end)
        fputc(bytes[i] >= 32 && bytes[i] <= 126 ? bytes[i] : '.', g_stream);
      else
        fputc(' ', g_stream);
    }
    fputs("|\n", g_stream);
  }
}

void debug_dump(const char* label, const void* data, int length) {
  std::lock_guard<std::recursive_mutex> lock(g_mutex);
  if (g_stream == nullptr) return;
  fprintf(g_stream, "(%5d) %s\n", static_cast<int>(getpid()), label);
  if (g_variant == DebugVariant::Daemon)
    fprintf(g_stream, "buffer contains %u bytes of data\n", static_cast<unsigned>(length));
  else
    fprintf(g_stream, "buffer contains %d bytes of data\n", length);
  if (length < 1024) {
    debug_hexdump(data, length, 0);
  } else {
    debug_hexdump(data, 256, 0);
    fputs("... skipped ...\n", g_stream);
    debug_hexdump(data, length, ((length - 256) / 16) * 16);
  }
  fflush(g_stream);
}

namespace {

// Length of the well-formed UTF-8 sequence at p (2 to 4), or 0.
int utf8_sequence(const unsigned char* p) {
  const unsigned char b = p[0];
  int n;
  unsigned char lo = 0x80, hi = 0xbf;  // bounds of the second byte
  if (b >= 0xc2 && b <= 0xdf) {
    n = 2;
  } else if (b >= 0xe0 && b <= 0xef) {
    n = 3;
    if (b == 0xe0) lo = 0xa0;  // no overlong forms
    if (b == 0xed) hi = 0x9f;  // no surrogates
  } else if (b >= 0xf0 && b <= 0xf4) {
    n = 4;
    if (b == 0xf0) lo = 0x90;
    if (b == 0xf4) hi = 0x8f;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (p[1] < lo || p[1] > hi) return 0;
  for (int i = 2; i < n; ++i)
    if (p[i] < 0x80 || p[i] > 0xbf) return 0;
  return n;
}

// The escaped form of the character at p into unit; its input length.
size_t escape_unit(const unsigned char* p, char* unit, size_t* unit_len) {
  const unsigned char b = p[0];
  const auto hex = [&](size_t at, unsigned char v) {
    snprintf(unit + at, 5, "\\x%02x", v);
  };
  if (b == '\n' || b == '\r' || b == '\t') {
    unit[0] = '\\';
    unit[1] = b == '\n' ? 'n' : b == '\r' ? 'r' : 't';
    *unit_len = 2;
    return 1;
  }
  if (b < 0x20 || b == 0x7f) {
    hex(0, b);
    *unit_len = 4;
    return 1;
  }
  if (b < 0x80) {
    unit[0] = static_cast<char>(b);
    *unit_len = 1;
    return 1;
  }
  const int n = utf8_sequence(p);
  if (n == 2 && b == 0xc2 && p[1] <= 0x9f) {  // U+0080..U+009F
    hex(0, b);
    hex(4, p[1]);
    *unit_len = 8;
    return 2;
  }
  if (n > 0) {
    memcpy(unit, p, static_cast<size_t>(n));
    *unit_len = static_cast<size_t>(n);
    return static_cast<size_t>(n);
  }
  if (b <= 0x9f) {
    hex(0, b);
    *unit_len = 4;
    return 1;
  }
  unit[0] = static_cast<char>(b);
  *unit_len = 1;
  return 1;
}

}  // namespace

const char* debug_escape(const char* text, char* buf, size_t size) {
  if (size == 0) return buf;
  buf[0] = '\0';
  if (text == nullptr) return buf;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  size_t used = 0;
  size_t cut = 0;  // the last place after which "..." still fits
  char unit[12];
  while (*p != '\0') {
    size_t unit_len = 0;
    const size_t in = escape_unit(p, unit, &unit_len);
    if (used + unit_len + 1 > size) {
      used = cut;
      if (used + 4 <= size) {
        memcpy(buf + used, "...", 3);
        used += 3;
      }
      break;
    }
    memcpy(buf + used, unit, unit_len);
    used += unit_len;
    if (used + 4 <= size) cut = used;
    p += in;
  }
  buf[used] = '\0';
  return buf;
}

void debug_set_source(const char* name) { platform::event_log_set_source(name); }

const char* debug_category_name(int letter) {
  if (letter < 'A' || letter > 'Z') return "?";
  return (g_variant == DebugVariant::Daemon ? kDaemonCategories : kServerCategories)[letter - 'A'];
}
