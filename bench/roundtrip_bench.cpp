// roundtrip_bench.cpp - class-1 no-op round trips per second against a
// running zentdb6, with 1, 8 and 32 clients, beside the same traffic against
// a plain single-threaded loopback echo server measured in the same run. The
// ratio (zentdb6 / echo) is printed at the end: it is what the server's own
// path (the idle task's socket wait, worker wake-up, framing, dispatch) costs
// on top of the socket round trip itself.
//
// Build a release tree for figures that mean something:
//   cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release
//   cmake --build build/release --target roundtrip_bench zentdb6
//   build/release/bench/roundtrip_bench
#include <benchmark/benchmark.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loopback_echo.h"
#include "support/net_util.h"
#include "support/process_runner.h"
#include "support/server_volumes.h"
#include "support/volume_fixture.h"
#include "support/zent_client.h"

namespace {

using testsupport::Bytes;
using testsupport::ZentClient;

constexpr int kMaxClients = 32;
int g_server_port = -1;
int g_echo_port = -1;

std::atomic<bool> g_echo_stop{false};

// --- Clients ------------------------------------------------------------------

// One connection per benchmark thread, kept across the runs of one target.
ZentClient g_server_clients[kMaxClients];
ZentClient g_echo_clients[kMaxClients];

void BM_Zentdb6Noop(benchmark::State& state) {
  ZentClient& c = g_server_clients[state.thread_index()];
  if (!bench_support::connect_client(c, g_server_port)) {
    state.SkipWithError("cannot reach zentdb6");
    return;
  }
  uint16_t id = 0;
  bench_support::timed_round_trips(state, "roundtrips", [&] { return c.noop(++id); });
}

void BM_EchoRoundTrip(benchmark::State& state) {
  bench_support::echo_round_trips(state, g_echo_clients[state.thread_index()], g_echo_port,
                                  "roundtrips");
}

BENCHMARK(BM_Zentdb6Noop)->Threads(1)->Threads(8)->Threads(32)->UseRealTime();
BENCHMARK(BM_EchoRoundTrip)->Threads(1)->Threads(8)->Threads(32)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  signal(SIGPIPE, SIG_IGN);

  testsupport::TempDir dir;
  g_server_port = testsupport::free_tcp_port();
  dir.write("zentdb6.cfg", "[Server]\nService = " + std::to_string(g_server_port) +
                               "\n\n[Config]\nThreads = 40\n\n[Volumes]\n" +
                               testsupport::write_server_volumes(dir.file("root.vol")));
  testsupport::Process server(ZENTDB6_PATH,
                              {"-standalone", "-c", dir.file("zentdb6.cfg"), "-d", "*0"});
  const int listener = testsupport::listen_loopback(64, &g_echo_port);
  if (listener < 0) {
    fprintf(stderr, "roundtrip_bench: no echo listener\n");
    return 1;
  }
  std::thread echo(bench_support::echo_server, listener, &g_echo_stop);

  bench_support::RatioReporter reporter("roundtrips");
  benchmark::RunSpecifiedBenchmarks(&reporter);

  for (ZentClient& c : g_server_clients) c.close();
  for (ZentClient& c : g_echo_clients) c.close();
  g_echo_stop = true;
  echo.join();
  server.send_signal(SIGTERM);
  server.wait(30000);

  printf("\nzentdb6 no-op round trips per second relative to the echo server:\n");
  for (int threads : {1, 8, 32}) {
    const double ours = reporter.rates[{"BM_Zentdb6Noop", threads}];
    const double echo_rate = reporter.rates[{"BM_EchoRoundTrip", threads}];
    if (ours > 0 && echo_rate > 0)
      printf("  %2d clients: %9.0f / %9.0f = %.2f\n", threads, ours, echo_rate, ours / echo_rate);
  }
  benchmark::Shutdown();
  return 0;
}
