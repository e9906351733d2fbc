// loopback_echo.h - the yardstick of the round-trip benchmarks: a plain
// single-threaded loopback echo server (poll; whatever arrives goes back),
// and a console reporter that keeps each run's rate counter so that a
// program can print its targets' rates against the echo's.
#pragma once
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace bench_support {

// Serves listener until *stop; then closes it and every socket it accepted.
inline void echo_server(int listener, const std::atomic<bool>* stop) {
  std::vector<pollfd> fds{{listener, POLLIN, 0}};
  char buf[4096];
  while (!*stop) {
    if (poll(fds.data(), fds.size(), 100) <= 0) continue;
    for (size_t i = fds.size(); i-- > 0;) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == listener) {
        const int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) {
          const int one = 1;
          setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          fds.push_back({c, POLLIN, 0});
        }
        continue;
      }
      const ssize_t n = recv(fds[i].fd, buf, sizeof buf, 0);
      if (n <= 0 || send(fds[i].fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) {
        close(fds[i].fd);
        fds.erase(fds.begin() + static_cast<long>(i));
      }
    }
  }
  for (const pollfd& p : fds) close(p.fd);
}

// Prints the usual table and keeps each run's value of the counter named.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(std::string counter) : counter_(std::move(counter)) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      auto it = r.counters.find(counter_);
      if (it != r.counters.end() && !r.error_occurred)
        rates[{r.run_name.function_name, r.threads}] = it->second.value;
    }
  }
  std::map<std::pair<std::string, int64_t>, double> rates;

 private:
  std::string counter_;
};

}  // namespace bench_support
