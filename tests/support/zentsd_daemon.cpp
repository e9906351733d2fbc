// zentsd_daemon.cpp - see zentsd_daemon.h.
#include "support/zentsd_daemon.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/net_util.h"

namespace testsupport {


bool ZentsdDaemon::start(const std::string& program, const std::string& cfg, const std::string& flags,
                         const std::vector<std::string>& env, const std::vector<std::string>& extra) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = free_tcp_port();
    std::vector<std::string> args = {"-standalone", "-c", cfg, "-d", flags, "-s", std::to_string(port_)};
    args.insert(args.end(), extra.begin(), extra.end());
    process_ = std::make_unique<Process>(program, args, env);
    handlers_seen_ = 0;
    if (process_->wait_for_stderr("QX Zentrim server active", 20000)) return true;
    // A port taken meanwhile: try another one.
    process_->wait(5000);
    process_.reset();
  }
  return false;
}

pid_t ZentsdDaemon::next_handler(int timeout_ms) {
  static const std::string kLine = "Client handler process id = ";
  size_t at = std::string::npos;
  if (!eventually([&] { return (at = log().find(kLine, handlers_seen_)) != std::string::npos; }, timeout_ms))
    return -1;
  const std::string text = log();
  handlers_seen_ = at + kLine.size();
  return static_cast<pid_t>(atoi(text.c_str() + handlers_seen_));
}

int ZentsdDaemon::reaped_status(pid_t pid, int timeout_ms) {
  const std::string exited = "Child process " + std::to_string(pid) + " exited with status ";
  const std::string killed = "Child process " + std::to_string(pid) + " ended by signal ";
  int status = -1;
  eventually(
      [&] {
        const std::string text = log();
        const size_t at = text.find(exited);
        if (at != std::string::npos) {
          status = atoi(text.c_str() + at + exited.size());
          return true;
        }
        if (text.find(killed) != std::string::npos) {
          status = -2;
          return true;
        }
        return false;
      },
      timeout_ms);
  return status;
}

bool ZentsdDaemon::wait_for(const std::string& text, size_t from, int timeout_ms) {
  return eventually([&] { return log().find(text, from) != std::string::npos; }, timeout_ms);
}

ProcessResult ZentsdDaemon::stop(int timeout_ms) {
  if (!process_) return {};
  process_->send_signal(SIGTERM);
  ProcessResult r = process_->wait(timeout_ms);
  process_.reset();
  return r;
}

std::vector<ProcInfo> children_of(pid_t pid) {
  std::vector<ProcInfo> out;
  DIR* d = opendir("/proc");
  if (d == nullptr) return out;
  while (const dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::ifstream f(std::string("/proc/") + e->d_name + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(text.substr(close + 2));
    char state = 0;
    long ppid = 0;
    rest >> state >> ppid;
    if (ppid == pid) out.push_back({static_cast<pid_t>(atoi(e->d_name)), state});
  }
  closedir(d);
  return out;
}

std::vector<std::pair<int, std::string>> descriptors_of(pid_t pid) {
  std::vector<std::pair<int, std::string>> out;
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (const dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    char target[512];
    const ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
    if (n < 0) continue;
    out.emplace_back(atoi(e->d_name), std::string(target, static_cast<size_t>(n)));
  }
  closedir(d);
  return out;
}

}  // namespace testsupport
