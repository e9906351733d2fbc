// notify_socket.h - the service manager's end of the notify protocol for
// tests: a datagram socket in the abstract namespace that collects the
// status messages a service run sends.
#pragma once
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace testsupport {

class NotifySocket {
 public:
  NotifySocket() {
    static int counter = 0;
    name_ = "@zentrim-test-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    memcpy(sa.sun_path, name_.data(), name_.size());
    sa.sun_path[0] = '\0';
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&sa),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size())),
              0);
  }
  ~NotifySocket() { close(fd_); }
  std::string env() const { return "NOTIFY_SOCKET=" + name_; }
  // Collects messages until one contains text; false on time-out.
  bool wait_for(const std::string& text, int timeout_ms = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      for (size_t k = seen_; k < messages.size(); ++k) {
        if (messages[k].find(text) != std::string::npos) {
          seen_ = k + 1;
          return true;
        }
      }
      seen_ = messages.size();
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buf[1024];
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n > 0) messages.emplace_back(buf, static_cast<size_t>(n));
    }
  }
  std::vector<std::string> messages;

 private:
  std::string name_;
  int fd_ = -1;
  size_t seen_ = 0;
};

}  // namespace testsupport
