// zentsd_connect_bench.cpp - connections per second up to the challenge:
// connect, the start-up message, the challenge reply, close. Against a
// running zentsd (a new client-handler process per connection: fork, exec,
// configuration, the IPC registration) beside a plain single-threaded
// accept-and-reply loop in this process that answers the same message with
// a fixed reply, measured in the same run. The ratio (zentsd / plain) is
// printed at the end: it is what a handler process costs per connection.
//
// Build a release tree for figures that mean something:
//   cmake -S . -B build/rel -G Ninja -DCMAKE_BUILD_TYPE=Release
//   cmake --build build/rel --target zentsd_connect_bench zentsd
//   build/rel/bench/zentsd_connect_bench
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "support/net_util.h"
#include "support/process_runner.h"
#include "support/zentsd_client.h"

namespace {

using testsupport::Bytes;
using testsupport::ZentsdClient;

int g_daemon_port = -1;
int g_plain_port = -1;
double g_rate[2] = {0, 0};  // connections per second: zentsd, plain

// --- the plain loop: accept, read one frame, send the reply, close ---------

std::atomic<bool> g_plain_stop{false};

bool read_exactly(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t r = recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

void plain_server(int listener) {
  // A challenge reply of the daemon's size: status 0 and a 32-digit string.
  uint8_t reply[4 + 2 + 2 + 33] = {0, 0, 0, 37, 0, 0, 0, 33};
  for (size_t k = 8; k < sizeof reply - 1; ++k) reply[k] = 'a';
  uint8_t buf[512];
  while (!g_plain_stop) {
    pollfd p = {listener, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    if (read_exactly(c, buf, 4)) {
      const uint32_t n = uint32_t{buf[0]} << 24 | uint32_t{buf[1]} << 16 | uint32_t{buf[2]} << 8 | buf[3];
      if (n <= sizeof buf && read_exactly(c, buf, n)) send(c, reply, sizeof reply, MSG_NOSIGNAL);
    }
    close(c);
  }
}

// One connection up to the challenge; false when it did not come.
bool handshake(int port) {
  ZentsdClient c;
  if (!c.connect(static_cast<uint16_t>(port))) return false;
  const bool ok = c.startup().status == 0;
  c.close();
  return ok;
}

void run(benchmark::State& state, int port, int slot) {
  const auto begin = std::chrono::steady_clock::now();
  int64_t done = 0;
  for (auto _ : state) {
    if (!handshake(port)) {
      state.SkipWithError("no challenge");
      return;
    }
    ++done;
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  g_rate[slot] = secs > 0 ? static_cast<double>(done) / secs : 0;
  state.counters["conn/s"] = benchmark::Counter(static_cast<double>(done), benchmark::Counter::kIsRate);
}

void BM_ZentsdHandlerProcess(benchmark::State& state) { run(state, g_daemon_port, 0); }
void BM_PlainAcceptAndReply(benchmark::State& state) { run(state, g_plain_port, 1); }

BENCHMARK(BM_ZentsdHandlerProcess)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_PlainAcceptAndReply)->MinTime(3.0)->UseRealTime();

void write_file(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  testsupport::TempDir dir;
  write_file(dir.file("zentsd.share"), "");
  write_file(dir.file("zentsd.user"), "");
  write_file(dir.file("zentsd.cfg"), "[config]\nuserFile = " + dir.file("zentsd.user") +
                                         "\nshareFile = " + dir.file("zentsd.share") + "\nuseKeepAlive = 0\n");
  const std::vector<std::string> env = {"ZENTRIM_REGISTRY_HKLM=" + dir.file("hklm"),
                                        "ZENTRIM_REGISTRY_HKCU=" + dir.file("hkcu")};
  // The log goes to a file: a pipe that nobody reads while the benchmark
  // runs would soon hold the handlers up.
  g_daemon_port = testsupport::free_tcp_port();
  const std::string log = dir.file("zentsd.log");
  testsupport::Process daemon(ZENTSD_PATH,
                              {"-standalone", "-c", dir.file("zentsd.cfg"), "-d", "S1", "-l", log, "-s",
                               std::to_string(g_daemon_port)},
                              env);
  for (int k = 0; testsupport::read_file(log).find("server active") == std::string::npos; ++k) {
    if (k == 2000) {
      fprintf(stderr, "zentsd did not start\n%s", testsupport::read_file(log).c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  const int listener = testsupport::listen_loopback(512, &g_plain_port);
  if (listener < 0) {
    perror("plain listener");
    return 1;
  }
  std::thread plain(plain_server, listener);

  benchmark::RunSpecifiedBenchmarks();
  g_plain_stop = true;
  plain.join();
  close(listener);
  daemon.send_signal(SIGTERM);
  daemon.wait();
  if (g_rate[0] > 0 && g_rate[1] > 0)
    printf("zentsd %.0f conn/s, plain accept-and-reply %.0f conn/s, ratio %.3f\n", g_rate[0], g_rate[1],
           g_rate[0] / g_rate[1]);
  benchmark::Shutdown();
  return 0;
}
