// loopback_echo.h - the yardstick of the round-trip benchmarks: a plain
// single-threaded loopback echo server (poll; whatever arrives goes back),
// the client loop they share (a connection per benchmark thread, each
// round trip timed: rate, p50 and p99), and a console reporter that keeps
// each run's rate counter so that a program can print its targets' rates
// against the echo's.
#pragma once
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/zent_client.h"

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

// Connects c to the port on loopback (a server still starting is waited
// for, two seconds at most) and makes the handshake; the challenge it
// gives goes into *challenge when asked for. True once there; a client
// already connected is left as it is.
inline bool connect_client(testsupport::ZentClient& c, int port, std::string* challenge = nullptr) {
  if (c.fd() >= 0) return true;
  for (int i = 0; i < 200; ++i) {
    if (c.connect(static_cast<uint16_t>(port))) {
      testsupport::StartupReply reply;
      if (!c.handshake({}, &reply)) return false;
      if (challenge != nullptr) *challenge = reply.challenge;
      return true;
    }
    usleep(10000);
  }
  return false;
}

// The processor time a server has used so far, in nanoseconds.
using CpuClock = uint64_t (*)();

// Runs round_trip once per iteration and times each one; the rate goes
// into the counter named rate_counter, the p50 and p99 (microseconds) into
// "p50_us" and "p99_us". With server_cpu, "cpu_us" is the server's
// processor time per round trip: it leaves out the waits for a processor
// that the round trip's time includes (though a crowded machine still
// slows the work itself). A failed round trip ends the run with an error.
template <typename RoundTrip>
void timed_round_trips(benchmark::State& state, const char* rate_counter, RoundTrip round_trip,
                       CpuClock server_cpu = nullptr) {
  using Clock = std::chrono::steady_clock;
  std::vector<double> us;
  us.reserve(1 << 16);
  // Thread 0 reads the clock outside the loop, whose start and end every
  // thread passes together.
  const bool reads_cpu = server_cpu != nullptr && state.thread_index() == 0;
  const uint64_t cpu_start = reads_cpu ? server_cpu() : 0;
  for (auto _ : state) {
    const Clock::time_point t0 = Clock::now();
    if (!round_trip()) {
      state.SkipWithError("round trip failed");
      return;
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  std::sort(us.begin(), us.end());
  auto pct = [&](double p) {
    return us.empty() ? 0.0 : us[static_cast<size_t>(p * static_cast<double>(us.size() - 1))];
  };
  state.counters[rate_counter] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate);
  state.counters["p50_us"] = benchmark::Counter(pct(0.50), benchmark::Counter::kAvgThreads);
  state.counters["p99_us"] = benchmark::Counter(pct(0.99), benchmark::Counter::kAvgThreads);
  if (reads_cpu)
    state.counters["cpu_us"] =
        benchmark::Counter(static_cast<double>(server_cpu() - cpu_start) / 1000.0,
                           benchmark::Counter::kAvgIterations);
}

// The yardstick's run: the very bytes of a class-1 no-op request (8 out,
// 8 back) through the echo server at port, on c.
inline void echo_round_trips(benchmark::State& state, testsupport::ZentClient& c, int port,
                             const char* rate_counter, CpuClock server_cpu = nullptr) {
  if (c.fd() < 0 && !c.connect(static_cast<uint16_t>(port))) {
    state.SkipWithError("cannot reach the echo server");
    return;
  }
  const testsupport::Bytes frame = testsupport::frame(testsupport::encode_request(1, 1));
  testsupport::Bytes back;
  timed_round_trips(state, rate_counter,
                    [&] { return c.send_raw(frame) && c.recv_frame(&back) == 1; }, server_cpu);
}

// One run's figures, as timed_round_trips leaves them.
struct RoundTripFigures {
  double rate = 0;
  double p50_us = 0;
  double p99_us = 0;
  double cpu_us = 0;  // the server's processor time per round trip, when read
  std::string tag;  // the benchmark's name after its first '/', if any
};

// Prints the usual table and keeps each run's value of the counter named,
// and every run's figures by the benchmark's name up to its first '/'
// (a benchmark registered once per round keeps one entry per round).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(std::string counter) : counter_(std::move(counter)) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      auto it = r.counters.find(counter_);
      if (it == r.counters.end() || r.error_occurred) continue;
      rates[{r.run_name.function_name, r.threads}] = it->second.value;
      const std::string& name = r.run_name.function_name;
      RoundTripFigures f;
      f.rate = it->second.value;
      const size_t slash = name.find('/');
      if (slash != std::string::npos) f.tag = name.substr(slash + 1);
      if (auto p = r.counters.find("p50_us"); p != r.counters.end()) f.p50_us = p->second.value;
      if (auto p = r.counters.find("p99_us"); p != r.counters.end()) f.p99_us = p->second.value;
      if (auto p = r.counters.find("cpu_us"); p != r.counters.end()) f.cpu_us = p->second.value;
      figures[{name.substr(0, slash), r.threads}].push_back(f);
    }
  }
  std::map<std::pair<std::string, int64_t>, double> rates;
  std::map<std::pair<std::string, int64_t>, std::vector<RoundTripFigures>> figures;

 private:
  std::string counter_;
};

}  // namespace bench_support
