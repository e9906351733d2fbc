// registry.cpp - registry hives as directory trees; see registry.h.
#include "platform/registry.h"

#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

namespace platform {
namespace {

bool valid_name(const char* name, size_t len) {
  if (len == 0 || name[0] == '.') return false;
  return memchr(name, '/', len) == nullptr;
}

// Splits a backslash-separated key path; false on an empty or bad component.
bool split_key(const char* key, std::vector<std::string>& parts) {
  if (key == nullptr || key[0] == '\0') return false;
  for (const char* p = key;;) {
    const char* sep = strchr(p, '\\');
    const size_t len = sep ? static_cast<size_t>(sep - p) : strlen(p);
    if (!valid_name(p, len)) return false;
    parts.emplace_back(p, len);
    if (sep == nullptr) return true;
    p = sep + 1;
  }
}

// The entry of dir named name without case, the exact spelling first; the
// first match in name order otherwise, so a choice never depends on the
// directory's order. Empty when none.
std::string find_entry(const std::string& dir, const std::string& name) {
  struct stat st;
  if (lstat((dir + "/" + name).c_str(), &st) == 0) return name;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return {};
  std::string best;
  while (const dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    if (strcasecmp(e->d_name, name.c_str()) == 0 && (best.empty() || best > e->d_name))
      best = e->d_name;
  }
  closedir(d);
  return best;
}

bool is_dir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A change of dir's entries (a key or value made, replaced or removed) is
// durable only once dir itself is synced. False with errno.
bool sync_dir(const std::string& dir) {
  if (int err = os_file_system()->sync_dir(dir.c_str())) {
    errno = err;
    return false;
  }
  return true;
}

bool sync_parent(const std::string& path) {
  if (int err = sync_parent_dir(os_file_system(), path.c_str())) {
    errno = err;
    return false;
  }
  return true;
}

// mkdir, durable in its parent.
bool make_dir(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0) return errno == EEXIST;
  return sync_parent(path);
}

bool make_dirs(const std::string& path) {
  if (is_dir(path)) return true;
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !make_dirs(path.substr(0, slash))) return false;
  return make_dir(path);
}

// Walks root/part/part..., reusing the existing spelling of each part; with
// create, missing keys are made. False with errno (ENOENT: a key is missing).
bool walk_key(RegistryRoot root, const char* key, bool create, std::string& out) {
  std::vector<std::string> parts;
  if (!split_key(key, parts)) {
    errno = EINVAL;
    return false;
  }
  char base[4096];
  if (!registry_root_dir(root, base, sizeof base)) return false;
  std::string path = base;
  if (create && !make_dirs(path)) return false;
  for (const auto& part : parts) {
    std::string found = find_entry(path, part);
    if (found.empty() && create) {
      if (!make_dir(path + "/" + part)) return false;
      found = find_entry(path, part);
    }
    if (found.empty() || !is_dir(path + "/" + found)) {
      errno = found.empty() ? ENOENT : ENOTDIR;
      return false;
    }
    path += "/" + found;
  }
  out = path;
  return true;
}

bool write_all(int fd, const char* data, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool value_name_ok(const char* name) {
  if (name == nullptr || !valid_name(name, strlen(name))) {
    errno = EINVAL;
    return false;
  }
  return true;
}

}  // namespace

bool registry_root_dir(RegistryRoot root, char* buf, size_t size) {
  std::string dir;
  if (root == RegistryRoot::LocalMachine) {
    const char* env = getenv(kRegistryMachineEnv);
    dir = (env && env[0]) ? env : "/etc/zentrim/registry";
  } else if (const char* env = getenv(kRegistryUserEnv); env && env[0]) {
    dir = env;
  } else if (const char* xdg = getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
    dir = std::string(xdg) + "/zentrim/registry";
  } else {
    const char* home = getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
      const passwd* pw = getpwuid(getuid());
      home = pw ? pw->pw_dir : nullptr;
    }
    if (home == nullptr || home[0] == '\0') {
      errno = ENOENT;
      return false;
    }
    dir = std::string(home) + "/.config/zentrim/registry";
  }
  if (dir.size() + 1 > size) {
    errno = ENAMETOOLONG;
    return false;
  }
  memcpy(buf, dir.c_str(), dir.size() + 1);
  return true;
}

long registry_read(RegistryRoot root, const char* key, const char* name, char* buf, size_t size) {
  try {
    if (!value_name_ok(name)) return -1;
    std::string path;
    if (!walk_key(root, key, false, path)) return -1;
    const std::string found = find_entry(path, name);
    if (found.empty()) {
      errno = ENOENT;
      return -1;
    }
    const int fd = open((path + "/" + found).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      errno = ENOENT;
      return -1;
    }
    // One byte more than the caller can hold: a trailing line feed there is
    // dropped; anything else means the value does not fit.
    std::string text(size + 1, '\0');
    size_t got = 0;
    while (got < text.size()) {
      const ssize_t n = read(fd, &text[got], text.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return -1;
      }
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    char extra;
    const bool more = got == text.size() && read(fd, &extra, 1) > 0;
    close(fd);
    text.resize(got);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (more || text.size() + 1 > size || text.find('\0') != std::string::npos) {
      errno = ERANGE;
      return -1;
    }
    memcpy(buf, text.c_str(), text.size() + 1);
    return static_cast<long>(text.size());
  } catch (...) {
    errno = ENOMEM;
    return -1;
  }
}

int registry_write(RegistryRoot root, const char* key, const char* name, const char* text) {
  try {
    if (!value_name_ok(name) || text == nullptr) {
      errno = EINVAL;
      return -1;
    }
    std::string path;
    if (!walk_key(root, key, true, path)) return -1;
    std::string found = find_entry(path, name);
    if (found.empty()) found = name;
    std::string tmp = path + "/." + found + ".XXXXXX";
    const int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    const std::string data = std::string(text) + "\n";
    if (fchmod(fd, 0644) != 0 || !write_all(fd, data.data(), data.size()) || fsync(fd) != 0) {
      const int err = errno;
      close(fd);
      unlink(tmp.c_str());
      errno = err;
      return -1;
    }
    close(fd);
    if (rename(tmp.c_str(), (path + "/" + found).c_str()) != 0) {
      const int err = errno;
      unlink(tmp.c_str());
      errno = err;
      return -1;
    }
    return sync_dir(path) ? 0 : -1;
  } catch (...) {
    errno = ENOMEM;
    return -1;
  }
}

int registry_delete_value(RegistryRoot root, const char* key, const char* name) {
  try {
    if (!value_name_ok(name)) return -1;
    std::string path;
    if (!walk_key(root, key, false, path)) return -1;
    const std::string found = find_entry(path, name);
    if (found.empty() || is_dir(path + "/" + found)) {
      errno = ENOENT;
      return -1;
    }
    if (unlink((path + "/" + found).c_str()) != 0) return -1;
    return sync_dir(path) ? 0 : -1;
  } catch (...) {
    errno = ENOMEM;
    return -1;
  }
}

int registry_delete_key(RegistryRoot root, const char* key) {
  try {
    std::string path;
    if (!walk_key(root, key, false, path)) return -1;
    std::vector<std::string> files;
    DIR* d = opendir(path.c_str());
    if (d == nullptr) return -1;
    bool has_subkey = false;
    while (const dirent* e = readdir(d)) {
      if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
      if (is_dir(path + "/" + e->d_name))
        has_subkey = true;
      else
        files.emplace_back(e->d_name);
    }
    closedir(d);
    if (has_subkey) {
      errno = ENOTEMPTY;
      return -1;
    }
    for (const auto& f : files)
      if (unlink((path + "/" + f).c_str()) != 0 && errno != ENOENT) return -1;
    if (rmdir(path.c_str()) != 0) return -1;
    return sync_parent(path) ? 0 : -1;
  } catch (...) {
    errno = ENOMEM;
    return -1;
  }
}

}  // namespace platform
