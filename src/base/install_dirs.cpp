// install_dirs.cpp - installation directory lookup on the registry stand-in.
#include "base/install_dirs.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "platform/event_log.h"
#include "platform/registry.h"

namespace {

char g_etc_directory[kEtcDirectorySize];

}  // namespace

int get_registry_value(const char* subkey, const char* value_name, char* buf, int size) {
  if (buf == nullptr || size < 1) return -1;
  char key[1024];
  if (subkey != nullptr && subkey[0] != '\0') {
    const int n = snprintf(key, sizeof key, "%s\\%s", kProductKey, subkey);
    if (n < 0 || static_cast<size_t>(n) >= sizeof key) return -1;
  } else {
    snprintf(key, sizeof key, "%s", kProductKey);
  }
  bool too_long = false;
  for (const auto root : {platform::RegistryRoot::CurrentUser, platform::RegistryRoot::LocalMachine}) {
    const long n = platform::registry_read(root, key, value_name, buf, static_cast<size_t>(size));
    if (n >= 0) return static_cast<int>(n);
    if (errno == ERANGE) too_long = true;
  }
  errno = too_long ? ERANGE : ENOENT;
  return -1;
}

int get_base_directory(char* buf, int size) {
  const int n = get_registry_value("Directories", "BaseDirectory", buf, size);
  if (n >= 0) return n;
  fprintf(stderr, "Unable to obtain QX Zentrim\\Directories\\BaseDirectory\n");
  // Where the other system puts up a message box, the operator finds the
  // same words in the system log.
  platform::event_log_report(
      1, 0, static_cast<int>(getpid()),
      "QX Zentrim: Unable to obtain QX Zentrim\\Directories\\BaseDirectory.\n"
      "Please check QX Zentrim Registry settings.");
  fflush(nullptr);
  _exit(2);
}

int get_directory(const char* name, char* buf, int size) {
  const int n = get_registry_value("Directories", name, buf, size);
  if (n >= 0) return n;
  if (errno == ERANGE) {
    // A stored directory that does not fit is refused, never replaced by
    // the default under the base directory.
    errno = ENAMETOOLONG;
    return -1;
  }
  const int base = get_base_directory(buf, size);
  const size_t name_len = strlen(name);
  if (static_cast<size_t>(base) + 1 + name_len + 1 > static_cast<size_t>(size)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  buf[base] = '/';
  memcpy(buf + base + 1, name, name_len + 1);
  return base + 1 + static_cast<int>(name_len);
}

const char* get_etc_directory() {
  if (get_directory("etc", g_etc_directory, kEtcDirectorySize) < 0) return nullptr;
  return g_etc_directory;
}
