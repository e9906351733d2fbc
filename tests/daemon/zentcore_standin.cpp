// zentcore stand-in for tests: waits for one byte on the connection it
// inherited, then writes on it what it was started with (ids, groups,
// whether root can be taken back, working directory, arguments,
// environment, open descriptors, what its standard descriptors are, signal
// mask and handlers) and exits. It also writes a line to its standard output
// and error, which must reach neither the client nor the daemon's log.
#include <dirent.h>
#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

int main(int argc, char** argv) {
  std::vector<int> fds;
  if (DIR* d = opendir("/proc/self/fd")) {
    const int own = dirfd(d);
    while (const dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const int fd = atoi(e->d_name);
      if (fd != own) fds.push_back(fd);
    }
    closedir(d);
  }
  int sock = -1;
  for (int fd : fds) {
    struct stat st;
    if (fd >= 3 && fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode)) sock = fd;
  }
  if (sock < 0) return 3;
  char go;
  if (recv(sock, &go, 1, 0) != 1) return 4;

  std::string r;
  char line[512];
  uid_t ru, eu, su;
  gid_t rg, eg, sg;
  getresuid(&ru, &eu, &su);
  getresgid(&rg, &eg, &sg);
  snprintf(line, sizeof line, "uids=%u,%u,%u\ngids=%u,%u,%u\n", ru, eu, su, rg, eg, sg);
  r += line;
  gid_t groups[256];
  const int n = getgroups(256, groups);
  r += "groups=";
  for (int i = 0; i < n; ++i) r += std::to_string(groups[i]) + (i + 1 < n ? "," : "");
  r += "\n";
  const int rc = setuid(0);
  snprintf(line, sizeof line, "setuid0=%d,%d\n", rc, rc == 0 ? 0 : errno);
  r += line;
  char cwd[1024];
  r += std::string("cwd=") + (getcwd(cwd, sizeof cwd) ? cwd : "?") + "\n";
  for (int i = 0; i < argc; ++i) r += "argv=" + std::string(argv[i]) + "\n";
  for (char** e = environ; *e != nullptr; ++e) r += "env=" + std::string(*e) + "\n";
  r += "fds=";
  for (size_t i = 0; i < fds.size(); ++i) r += std::to_string(fds[i]) + (i + 1 < fds.size() ? "," : "");
  r += "\nsock=" + std::to_string(sock) + "\n";
  r += "stdio=";
  for (int fd = 0; fd < 3; ++fd) {
    char target[256];
    const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
    target[n > 0 ? n : 0] = '\0';
    r += std::string(target) + (fd < 2 ? "," : "\n");
  }
  static const char kRaw[] = "RAW LINE FROM ZENTCORE\n";
  ssize_t ignored = write(1, kRaw, sizeof kRaw - 1);
  ignored = write(2, kRaw, sizeof kRaw - 1);
  (void)ignored;
  sigset_t mask;
  sigprocmask(SIG_SETMASK, nullptr, &mask);
  int blocked = 0, handled = 0;
  for (int sig = 1; sig < 32; ++sig) {
    if (sigismember(&mask, sig) == 1) ++blocked;
    struct sigaction sa;
    if (sigaction(sig, nullptr, &sa) == 0 && sa.sa_handler != SIG_DFL) ++handled;
  }
  snprintf(line, sizeof line, "blocked=%d\nhandled=%d\nend\n", blocked, handled);
  r += line;
  for (size_t off = 0; off < r.size();) {
    const ssize_t w = send(sock, r.data() + off, r.size() - off, MSG_NOSIGNAL);
    if (w <= 0) return 5;
    off += static_cast<size_t>(w);
  }
  close(sock);
  return 0;
}
