// log_capture.h - sends the process log to a temporary file for the length
// of one test, so that a test can check which lines a failure wrote.
#pragma once
#include <cstdio>
#include <string>

#include "base/debug_log.h"

namespace testsupport {

class LogCapture {
 public:
  // flags: the levels to enable while capturing, e.g. "P2".
  explicit LogCapture(const char* flags = "*2") {
    file_ = tmpfile();
    debug_set_stream(file_);
    debug_set_flags(flags);
  }
  ~LogCapture() {
    debug_set_stream(stderr);  // closes file_
    debug_set_flags("");
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // False when the temporary file could not be made (text() is then empty).
  bool ok() const { return file_ != nullptr; }
  std::string text() const {
    std::string s;
    if (file_ == nullptr) return s;
    fflush(file_);
    rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, file_)) > 0) s.append(buf, n);
    fseek(file_, 0, SEEK_END);
    return s;
  }
  bool contains(const std::string& needle) const {
    return text().find(needle) != std::string::npos;
  }
  // Occurrences of needle (not overlapping).
  int count(const std::string& needle) const {
    const std::string t = text();
    int n = 0;
    for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + needle.size()))
      ++n;
    return n;
  }

 private:
  FILE* file_ = nullptr;
};

}  // namespace testsupport
