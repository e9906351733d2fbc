// ini_file.cpp - INI line reader, section search with copy stream, the slot
// table and the handle and lookup calls built on them.
#include "base/ini_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <strings.h>
#include <sys/types.h>

#include "base/debug_log.h"

namespace {

// A line is kept in memory up to this size for parsing; anything beyond it is
// still consumed (and copied) but not looked at. No name or value the system
// stores comes near it.
constexpr size_t kMaxKeptLine = size_t{1} << 20;

int g_log_letter = 'A';

struct Slot {
  FILE* stream;
  int state;  // 0 after a successful step, 1 at the end, -1 after an error
};

std::mutex g_mutex;
Slot g_slots[kIniSlots];
bool g_ready = false;

bool is_ws(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// One line as read, without its line feed (a carriage return stays).
class Line {
 public:
  Line() = default;
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;
  ~Line() { free(data_); }

  const char* data() const { return data_ ? data_ : ""; }
  size_t size() const { return size_; }

  // Reads the next line; with copy every byte read is written to it as well.
  // 1 a line was read, 0 end of file, -1 read error, copy failure or no
  // memory.
  int read(FILE* stream, FILE* copy) {
    size_ = 0;
    bool any = false;
    for (;;) {
      const int c = getc_unlocked(stream);
      if (c == EOF) break;
      any = true;
      if (copy != nullptr && putc_unlocked(c, copy) == EOF) return -1;
      if (c == '\n') break;
      if (size_ < kMaxKeptLine && !append(static_cast<char>(c))) return -1;
    }
    if (ferror(stream)) return -1;
    if (copy != nullptr && ferror(copy)) return -1;
    return any ? 1 : 0;
  }

 private:
  bool append(char c) {
    if (size_ + 1 >= capacity_) {
      const size_t cap = capacity_ ? capacity_ * 2 : 256;
      char* p = static_cast<char*>(realloc(data_, cap));
      if (p == nullptr) {
        errno = ENOMEM;
        return false;
      }
      data_ = p;
      capacity_ = cap;
    }
    data_[size_++] = c;
    data_[size_] = '\0';
    return true;
  }

  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

enum class Kind { Other, Comment, Section, Item };

struct Parsed {
  Kind kind = Kind::Other;
  const char* name = nullptr;  // trimmed section or item name
  size_t name_len = 0;
  const char* rest = nullptr;  // an item's text after the '='
  size_t rest_len = 0;
};

void trim(const char*& b, const char*& e) {
  while (b < e && is_ws(*b)) ++b;
  while (e > b && is_ws(e[-1])) --e;
}

Parsed classify(const Line& line) {
  Parsed p;
  const char* s = line.data();
  const size_t n = line.size();
  if (n == 0) return p;
  if (s[0] == ';' || s[0] == '#') {
    p.kind = Kind::Comment;
    return p;
  }
  if (s[0] == '[') {
    const char* close = static_cast<const char*>(memchr(s, ']', n));
    if (close == nullptr) return p;  // neither section nor item
    const char* b = s + 1;
    const char* e = close;
    trim(b, e);
    p.kind = Kind::Section;
    p.name = b;
    p.name_len = static_cast<size_t>(e - b);
    return p;
  }
  const char* eq = static_cast<const char*>(memchr(s, '=', n));
  if (eq == nullptr) return p;
  const char* b = s;
  const char* e = eq;  // an '=' in the first column leaves an empty name
  trim(b, e);
  p.kind = Kind::Item;
  p.name = b;
  p.name_len = static_cast<size_t>(e - b);
  p.rest = eq + 1;
  p.rest_len = static_cast<size_t>(s + n - (eq + 1));
  return p;
}

bool name_equals(const Parsed& p, const char* wanted) {
  const size_t len = strlen(wanted);
  return p.name_len == len && strncasecmp(p.name, wanted, len) == 0;
}

// Copies at most size - 1 bytes (upper-cased when asked) and terminates;
// returns false when the text did not fit.
bool copy_cut(char* dest, int size, const char* text, size_t len, bool to_upper) {
  const size_t room = static_cast<size_t>(size) - 1;
  const size_t n = len < room ? len : room;
  for (size_t k = 0; k < n; ++k) dest[k] = to_upper ? upper(text[k]) : text[k];
  dest[n] = '\0';
  return n == len;
}

// The value of an item line by the value rules; cut to the buffer.
bool parse_value(const Parsed& p, char* value, int value_size) {
  const char* v = p.rest;
  const char* end = p.rest + p.rest_len;
  while (v < end && is_ws(*v)) ++v;
  char quote = 0;
  if (v < end && (*v == '"' || *v == '\'')) quote = *v++;
  const char* e = v;
  while (e < end && *e != '\r' && *e != '\n' && *e != ';' && *e != '#' && *e != quote) ++e;
  if (quote == 0)
    while (e > v && is_ws(e[-1])) --e;
  return copy_cut(value, value_size, v, static_cast<size_t>(e - v), false);
}

void log_cut(const char* what, const char* name, int size) {
  debug_log(g_log_letter, 1, "INI line too long: %s \"%s\" cut to %d characters", what, name,
            size - 1);
}

// Puts the stream back to where a line started.
bool seek_back(FILE* stream, off_t where) { return fseeko(stream, where, SEEK_SET) == 0; }

void init_locked() {
  for (auto& s : g_slots) {
    s.stream = nullptr;
    s.state = 0;
  }
  g_ready = true;
}

Slot* slot_locked(int slot) {
  if (!g_ready || slot < 0 || slot >= kIniSlots || g_slots[slot].stream == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  return &g_slots[slot];
}

}  // namespace

void IniSetLogLetter(int letter) { g_log_letter = letter; }

int IniSkipToSection(FILE* stream, const char* section, FILE* copy) {
  Line line;
  for (;;) {
    const int r = line.read(stream, copy);
    if (r <= 0) return r;
    const Parsed p = classify(line);
    if (p.kind == Kind::Section && name_equals(p, section)) return 1;
  }
}

int IniParseItem(FILE* stream, char* item, int item_size, char* value, int value_size) {
  if (item_size < 1 || value_size < 1) return -1;
  Line line;
  for (;;) {
    const off_t start = ftello(stream);
    const int r = line.read(stream, nullptr);
    if (r <= 0) return r;
    const Parsed p = classify(line);
    if (p.kind == Kind::Section) return seek_back(stream, start) ? 0 : -1;
    if (p.kind != Kind::Item) continue;
    const bool name_whole = copy_cut(item, item_size, p.name, p.name_len, true);
    if (!name_whole) log_cut("item", item, item_size);
    if (!parse_value(p, value, value_size)) log_cut("value of", item, value_size);
    return 1;
  }
}

int IniReadSectionName(FILE* stream, char* name, int size) {
  if (size < 1) return -1;
  Line line;
  for (;;) {
    const int r = line.read(stream, nullptr);
    if (r <= 0) return r;
    const Parsed p = classify(line);
    if (p.kind != Kind::Section) continue;
    if (!copy_cut(name, size, p.name, p.name_len, true)) log_cut("section", name, size);
    return 1;
  }
}

int IniFindEntry(FILE* stream, const char* entry, char* value, int size) {
  if (size < 1 || entry == nullptr) return 0;
  Line line;
  for (;;) {
    const off_t start = ftello(stream);
    if (line.read(stream, nullptr) <= 0) return 0;
    const Parsed p = classify(line);
    if (p.kind == Kind::Section) {
      seek_back(stream, start);
      return 0;
    }
    if (p.kind == Kind::Item && name_equals(p, entry)) {
      if (!parse_value(p, value, size)) log_cut("value of", entry, size);
      return 1;
    }
  }
}

int IniGetString(const char* section, const char* entry, const char* def, char* dest, int size,
                 const char* path) {
  if (dest == nullptr || size < 1) return 0;
  bool found = false;
  if (FILE* f = path ? fopen(path, "rbe") : nullptr) {
    const bool in_section =
        section == nullptr || section[0] == '\0' || IniSkipToSection(f, section, nullptr) == 1;
    found = in_section && IniFindEntry(f, entry, dest, size) == 1;
    fclose(f);
  }
  if (!found) {
    const char* d = def ? def : "";
    copy_cut(dest, size, d, strlen(d), false);
  }
  debug_log('C', 2, "IniGetString(): section=\"%s\", entry=\"%s\", str=\"%s\"",
            section ? section : "", entry ? entry : "", dest);
  return static_cast<int>(strlen(dest));
}

void IniInitFiles() {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (auto& s : g_slots)
    if (g_ready && s.stream != nullptr) fclose(s.stream);
  init_locked();
}

int IniOpenFile(const char* path, const char* section) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_ready) init_locked();
  Slot* free_slot = nullptr;
  int index = -1;
  for (int k = 0; k < kIniSlots; ++k) {
    if (g_slots[k].stream == nullptr) {
      free_slot = &g_slots[k];
      index = k;
      break;
    }
  }
  if (free_slot == nullptr) {
    errno = ENOSPC;
    return -1;
  }
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  FILE* f = fopen(path, "rbe");
  if (f == nullptr) return -1;
  free_slot->stream = f;
  free_slot->state = 0;
  if (section != nullptr && section[0] != '\0') {
    const int r = IniSkipToSection(f, section, nullptr);
    if (r < 0) {
      const int err = errno;
      fclose(f);
      free_slot->stream = nullptr;
      errno = err;
      return -1;
    }
    if (r == 0) free_slot->state = 1;
  }
  return index;
}

int IniCloseFile(int slot) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Slot* s = slot_locked(slot);
  if (s == nullptr) return -1;
  fclose(s->stream);
  s->stream = nullptr;
  s->state = 0;
  return 0;
}

int IniFindSection(int slot, const char* section) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Slot* s = slot_locked(slot);
  if (s == nullptr) return -1;
  rewind(s->stream);
  s->state = 0;
  if (section != nullptr && section[0] != '\0') {
    const int r = IniSkipToSection(s->stream, section, nullptr);
    s->state = r == 1 ? 0 : r == 0 ? 1 : -1;
  }
  return s->state;
}

int IniReadItem(int slot, char* item, int item_size, char* value, int value_size) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Slot* s = slot_locked(slot);
  if (s == nullptr) return -1;
  const int r = IniParseItem(s->stream, item, item_size, value, value_size);
  s->state = r == 1 ? 0 : r == 0 ? 1 : -1;
  return s->state;
}

int IniReadSection(int slot, char* name, int size) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Slot* s = slot_locked(slot);
  if (s == nullptr) return -1;
  const int r = IniReadSectionName(s->stream, name, size);
  s->state = r == 1 ? 0 : r == 0 ? 1 : -1;
  return s->state;
}

void IniInitHandle(IniHandle* handle) { *handle = -1; }

int IniOpen(IniHandle* handle, const char* path, const char* section) {
  if (*handle != -1) IniCloseFile(*handle);
  *handle = IniOpenFile(path, section);
  return *handle < 0 ? -1 : 0;
}

int IniClose(IniHandle* handle) {
  if (*handle != -1) IniCloseFile(*handle);
  *handle = -1;
  return 0;
}

int IniSelectSection(IniHandle* handle, const char* section) {
  return IniFindSection(*handle, section);
}

int IniNextItem(IniHandle* handle, char* item, int item_size, char* value, int value_size) {
  return IniReadItem(*handle, item, item_size, value, value_size);
}
