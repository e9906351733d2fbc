// log_capture.h - points the log at a temporary file for one test and reads
// back what was written.
#pragma once
#include <cstdio>
#include <string>

#include "base/debug_log.h"

class LogCapture {
 public:
  // Level-0 messages of every letter are written; set more with
  // debug_set_flags.
  LogCapture() : file_(tmpfile()) { debug_init("", file_); }
  ~LogCapture() { debug_set_stream(stderr); }  // closes the file
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  bool ok() const { return file_ != nullptr; }
  std::string text() {
    fflush(file_);
    std::string out;
    rewind(file_);
    for (int c; (c = fgetc(file_)) != EOF;) out += static_cast<char>(c);
    return out;
  }

 private:
  FILE* file_;
};
