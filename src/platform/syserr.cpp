// syserr.cpp - system error texts.
#include "platform/syserr.h"

#include <cstdio>
#include <cstring>

namespace platform {

bool sys_error_text(int err, char* buf, size_t size) {
  if (size == 0) return false;
  char tmp[256];
  // GNU strerror_r returns a pointer that may or may not be tmp.
  const char* text = strerror_r(err, tmp, sizeof tmp);
  if (text == nullptr || std::strncmp(text, "Unknown error", 13) == 0) {
    snprintf(buf, size, "%s", "No system message");
    return false;
  }
  snprintf(buf, size, "%s", text);
  return true;
}

}  // namespace platform
