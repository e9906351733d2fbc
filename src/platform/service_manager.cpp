// service_manager.cpp - systemd unit files, the notify protocol and control
// signals; see service_manager.h.
#include "platform/service_manager.h"

#include "platform/file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace platform {
namespace {

constexpr const char* kDefaultUnitDir = "/etc/systemd/system";
constexpr size_t kServiceNameMax = 31;

// A console run's SIGHUP means its terminal went away: a stop. A service
// run's asks for the state.
std::atomic<bool> g_hangup_stops{false};

bool set(const char* name) {
  const char* v = getenv(name);
  return v != nullptr && v[0] != '\0';
}

// Unit-name characters are kept; everything else becomes \xNN, the way
// systemd escapes a string into a unit name.
std::string unit_escape(const char* name) {
  std::string out;
  for (const char* p = name; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == ':' || c == '_' || c == '.' || c == '-';
    if (keep) {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

// A word of ExecStart: quoted, with the characters systemd would otherwise
// read as escapes, specifiers or variables doubled or escaped.
std::string exec_quote(const char* text) {
  std::string out = "\"";
  for (const char* p = text; *p; ++p) {
    switch (*p) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '%': out += "%%"; break;
      case '$': out += "$$"; break;
      default: out += *p; break;
    }
  }
  return out + "\"";
}

bool write_all(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool service_started_by_manager() { return set("NOTIFY_SOCKET") && set("INVOCATION_ID"); }

int service_notify(const char* text) {
  const char* path = getenv("NOTIFY_SOCKET");
  if (path == nullptr || path[0] == '\0') {
    errno = ENOTCONN;
    return -1;
  }
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  const size_t len = strlen(path);
  if (len >= sizeof sa.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(sa.sun_path, path, len);
  if (path[0] == '@') sa.sun_path[0] = '\0';  // abstract namespace
  const auto sa_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const size_t size = strlen(text);
  const ssize_t n = sendto(fd, text, size, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sa_len);
  const int err = errno;
  close(fd);
  if (n != static_cast<ssize_t>(size)) {
    errno = n < 0 ? err : EMSGSIZE;
    return -1;
  }
  return 0;
}

bool service_name_valid(const char* name) {
  if (name == nullptr || name[0] == '\0' || name[0] == '.' || strlen(name) > kServiceNameMax)
    return false;
  for (const char* p = name; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c > 0x7e || strchr("/\\\"'%$`", c) != nullptr) return false;
  }
  return true;
}

bool service_unit_path(const char* name, char* buf, size_t size) {
  if (!service_name_valid(name)) {
    errno = EINVAL;
    return false;
  }
  const char* dir = getenv(kUnitDirEnv);
  if (dir == nullptr || dir[0] == '\0') dir = kDefaultUnitDir;
  const std::string path = std::string(dir) + "/" + unit_escape(name) + ".service";
  if (path.size() + 1 > size) {
    errno = ENAMETOOLONG;
    return false;
  }
  memcpy(buf, path.c_str(), path.size() + 1);
  return true;
}

int service_unit_create(const char* name, const char* program) {
  char path[4096];
  if (!service_unit_path(name, path, sizeof path)) return -1;
  if (strchr(program, '\n') != nullptr) {
    errno = EINVAL;
    return -1;
  }
  const std::string text = std::string("# Written by \"") + program + " -install\"; removed by \"-remove\".\n" +
                           "[Unit]\n"
                           "Description=" + name + "\n"
                           "After=network.target\n"
                           "\n"
                           "[Service]\n"
                           "Type=notify\n"
                           "NotifyAccess=main\n"
                           "Environment=\"" + kServiceNameEnv + "=" + name + "\"\n"
                           "ExecStart=" + exec_quote(program) + "\n"
                           "\n"
                           "[Install]\n"
                           "WantedBy=multi-user.target\n";
  // Written beside its place and linked in: the unit appears whole, and an
  // existing one is never replaced.
  std::string tmp = std::string(path);
  tmp.insert(tmp.rfind('/') + 1, ".");
  tmp += ".XXXXXX";
  const int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  int err = 0;
  if (fchmod(fd, 0644) != 0 || !write_all(fd, text) || fsync(fd) != 0) err = errno;
  close(fd);
  if (err == 0 && link(tmp.c_str(), path) != 0) err = errno;
  unlink(tmp.c_str());
  // The unit's name is on the disk once its directory is.
  if (err == 0) err = sync_parent_dir(os_file_system(), path);
  if (err != 0) {
    errno = err;
    return -1;
  }
  return 0;
}

int service_unit_exists(const char* name) {
  char path[4096];
  if (!service_unit_path(name, path, sizeof path)) return -1;
  struct stat st;
  return stat(path, &st);
}

int service_unit_delete(const char* name) {
  char path[4096];
  if (!service_unit_path(name, path, sizeof path)) return -1;
  if (unlink(path) != 0) return -1;
  if (int err = sync_parent_dir(os_file_system(), path)) {
    errno = err;
    return -1;
  }
  return 0;
}

int service_controls_open(bool service_mode, bool children) {
  sigset_t set_;
  sigemptyset(&set_);
  sigaddset(&set_, SIGINT);
  sigaddset(&set_, SIGTERM);
  sigaddset(&set_, SIGHUP);
  if (service_mode) {
    sigaddset(&set_, SIGTSTP);
    sigaddset(&set_, SIGCONT);
  }
  if (children) sigaddset(&set_, SIGCHLD);
  g_hangup_stops.store(!service_mode);
  if (pthread_sigmask(SIG_BLOCK, &set_, nullptr) != 0) return -1;
  return signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
}

bool service_control_read(int fd, ServiceControl* control, int* signo) {
  signalfd_siginfo info;
  ssize_t n;
  do {
    n = read(fd, &info, sizeof info);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(sizeof info)) return false;
  *signo = static_cast<int>(info.ssi_signo);
  switch (*signo) {
    case SIGTSTP: *control = ServiceControl::Pause; break;
    case SIGCONT: *control = ServiceControl::Continue; break;
    case SIGCHLD: *control = ServiceControl::Children; break;
    case SIGHUP:
      *control = g_hangup_stops.load() ? ServiceControl::Stop : ServiceControl::Interrogate;
      break;
    default: *control = ServiceControl::Stop; break;
  }
  return true;
}

}  // namespace platform
