// cfg_writer.cpp - the writers of configuration files, one key or a whole
// section (see cfg_writer.h): the old text is read whole, the new text
// built in memory with the INI reader's section search as the copy stream,
// then written to "<path>.new", flushed, renamed over the file and the
// directory synced.
//
// Context: the volume utilities' only thread.
#include "tools/cfg_writer.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/debug_log.h"
#include "base/ini_file.h"
#include "platform/file.h"

namespace {

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// The whole file at path: 0, ENOENT when it does not exist, or another
// errno value. A file that exists but cannot be written is refused (EACCES
// or the open's own error) before anything is built.
int read_whole(const char* path, std::vector<char>* out) {
  platform::File* f = nullptr;
  if (int err = platform::file_open(path, platform::FILE_WRITE, &f)) return err;
  platform::FileInfo info;
  int err = f->info(&info);
  if (err == 0) {
    out->resize(static_cast<size_t>(info.size));
    size_t done = 0;
    err = out->empty() ? 0 : f->read_at(out->data(), out->size(), 0, &done);
    if (err == 0 && done != out->size()) err = EIO;
  }
  platform::file_close(f);
  return err;
}

// The key of an item line: the text before '=', trimmed. False for lines
// that are no items (comments, no '=').
bool key_of(const std::string& line, std::string* key) {
  if (line.empty() || line[0] == '#' || line[0] == ';') return false;
  const size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  size_t b = 0, e = eq;
  while (b < e && is_ws(line[b])) ++b;
  while (e > b && is_ws(line[e - 1])) --e;
  *key = line.substr(b, e - b);
  return true;
}

// Builds the new text from the old one. False when a stream failed.
bool build(const std::vector<char>& old_text, const char* section, const char* key,
           const char* value, std::string* out) {
  if (old_text.empty()) {
    // A new (or empty) file: the section line, then the key.
    if (section != nullptr && section[0] != '\0') *out = std::string("[") + section + "]\r\n";
    *out += std::string(key) + "=" + value + "\r\n";
    return true;
  }
  char* buf = nullptr;
  size_t len = 0;
  FILE* copy = open_memstream(&buf, &len);
  if (copy == nullptr) return false;
  FILE* in = fmemopen(const_cast<char*>(old_text.data()), old_text.size(), "rb");
  if (in == nullptr) {
    fclose(copy);
    free(buf);
    return false;
  }
  // Lines appended after a last line without its line end would join it.
  auto end_line = [&] {
    fflush(copy);
    if (len > 0 && buf[len - 1] != '\n') fputs("\r\n", copy);
  };
  bool ok = true;
  bool in_section = true;
  if (section != nullptr && section[0] != '\0') {
    const int r = IniSkipToSection(in, section, copy);
    if (r < 0) ok = false;
    if (r == 0) {
      in_section = false;
      end_line();
      fprintf(copy, "\r\n[%s]\r\n", section);
      fprintf(copy, "%s=%s\r\n", key, value);
    }
  }
  if (ok && in_section) {
    char* raw = nullptr;
    size_t cap = 0;
    bool placed = false;
    for (;;) {
      const ssize_t n = getline(&raw, &cap, in);
      if (n < 0) break;
      const std::string line(raw, static_cast<size_t>(n));
      if (!placed) {
        std::string k;
        if (line[0] == '[') {
          end_line();
          fprintf(copy, "%s=%s\r\n", key, value);
          placed = true;
        } else if (key_of(line, &k) && strcasecmp(k.c_str(), key) == 0) {
          fprintf(copy, "%s=%s\r\n", key, value);
          placed = true;
          continue;
        }
      }
      fwrite(line.data(), 1, line.size(), copy);
    }
    free(raw);
    if (ferror(in)) ok = false;
    if (ok && !placed) {
      end_line();
      fprintf(copy, "%s=%s\r\n", key, value);
    }
  }
  fclose(in);
  if (ferror(copy)) ok = false;
  fclose(copy);
  if (ok) out->assign(buf, len);
  free(buf);
  return ok;
}

// Writes text to a new file at tmp, flushed. 0 or an errno value (no file
// left then).
int write_new(const std::string& tmp, const std::string& text) {
  platform::file_remove(tmp.c_str());  // left by an earlier run that stopped
  platform::File* f = nullptr;
  if (int err = platform::file_open(
          tmp.c_str(), platform::FILE_WRITE | platform::FILE_CREATE | platform::FILE_EXCL, &f))
    return err;
  int err = text.empty() ? 0 : f->write_at(text.data(), text.size(), 0);
  if (err == 0) err = f->datasync();
  const int close_err = platform::file_close(f);
  if (err == 0) err = close_err;
  if (err != 0) platform::file_remove(tmp.c_str());
  return err;
}

// Writes text to "<path>.new", flushed, renames it over path and syncs the
// directory. 1, or 0 with the reason logged (the old file kept).
int replace_file(const char* path, const std::string& text) {
  const std::string tmp = std::string(path) + ".new";
  if (int err = write_new(tmp, text)) {
    debug_syserr('A', 0, err, "Unable to write the new configuration file");
    return 0;
  }
  if (int err = platform::file_rename(tmp.c_str(), path)) {
    debug_syserr('A', 0, err, "Unable to replace the configuration file");
    platform::file_remove(tmp.c_str());
    return 0;
  }
  if (int err = platform::file_sync_parent(path)) {
    debug_syserr('A', 0, err, "Unable to sync the configuration file's directory");
    return 0;
  }
  return 1;
}

// The old text of path, or false after logging why it cannot be replaced.
bool read_old(const char* path, std::vector<char>* old_text) {
  if (int err = read_whole(path, old_text); err != 0 && err != ENOENT) {
    debug_syserr('A', 0, err, "Unable to open the configuration file");
    return false;
  }
  return true;
}

// The new text with section's lines replaced by body. False when a stream
// failed.
bool build_section(const std::vector<char>& old_text, const char* section, const char* body,
                   std::string* out) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* copy = open_memstream(&buf, &len);
  if (copy == nullptr) return false;
  FILE* in = old_text.empty()
                 ? nullptr
                 : fmemopen(const_cast<char*>(old_text.data()), old_text.size(), "rb");
  bool ok = old_text.empty() || in != nullptr;
  int found = 0;
  if (ok && in != nullptr) {
    found = IniSkipToSection(in, section, copy);
    if (found < 0) ok = false;
  }
  if (ok) {
    // A last line (or the header) without its line end would join the next.
    fflush(copy);
    if (len > 0 && buf[len - 1] != '\n') fputc('\n', copy);
    if (found == 0) fprintf(copy, "[%s]\n", section);
  }
  if (ok) fputs(body, copy);
  if (ok && found > 0) {
    // The old lines of the section go; the next section and the rest stay.
    char* raw = nullptr;
    size_t cap = 0;
    bool rest = false;
    for (ssize_t n; (n = getline(&raw, &cap, in)) >= 0;) {
      if (raw[0] == '[') rest = true;
      if (rest) fwrite(raw, 1, static_cast<size_t>(n), copy);
    }
    free(raw);
    if (ferror(in)) ok = false;
  }
  if (in != nullptr) fclose(in);
  if (ferror(copy)) ok = false;
  fclose(copy);
  if (ok) out->assign(buf, len);
  free(buf);
  return ok;
}

}  // namespace

int cfg_set_key(const char* section, const char* key, const char* value, const char* path) {
  std::vector<char> old_text;
  if (!read_old(path, &old_text)) return 0;
  std::string text;
  if (!build(old_text, section, key, value, &text)) {
    debug_log('A', 0, "Unable to build the new configuration file");
    return 0;
  }
  return replace_file(path, text);
}

int cfg_set_section(const char* section, const char* body, const char* path) {
  std::vector<char> old_text;
  if (!read_old(path, &old_text)) return 0;
  std::string text;
  if (!build_section(old_text, section, body, &text)) {
    debug_log('A', 0, "Unable to build the new configuration file");
    return 0;
  }
  return replace_file(path, text);
}
