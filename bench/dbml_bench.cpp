// dbml_bench.cpp - round trips against a running zentdb6 holding the test
// database, with 1, 8 and 32 clients, in one run: a plain single-threaded
// loopback echo server (the yardstick), the class-1 no-op, and a cached
// DBGET mode 4 (the same record again and again, so every read hits the
// buffer cache). Each reports requests per second and the p50 and p99 round
// trip in microseconds; the closing table gives each one's rate against the
// echo's. The DBGET/echo ratio is what the server's whole request path
// (the idle task's socket wait, worker wake-up, framing, dispatch, the database call,
// the reply) costs on top of the socket round trip itself.
//
// Build a release tree for figures that mean something:
//   cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release
//   cmake --build build/release --target dbml_bench zentdb6
//   build/release/bench/dbml_bench
#include <benchmark/benchmark.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "loopback_echo.h"
#include "support/net_util.h"
#include "support/process_runner.h"
#include "support/sample_server.h"
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

// One connection per benchmark thread, kept across the runs: the server
// watches at most 64 sockets, so the no-op and DBGET share them (the first
// DBGET on a connection logs on and opens the sample).
ZentClient g_server_clients[kMaxClients];
ZentClient g_echo_clients[kMaxClients];
uint16_t g_dbids[kMaxClients];

void BM_Echo(benchmark::State& state) {
  bench_support::echo_round_trips(state, g_echo_clients[state.thread_index()], g_echo_port,
                                  "req/s");
}

void BM_Noop(benchmark::State& state) {
  ZentClient& c = g_server_clients[state.thread_index()];
  if (!bench_support::connect_client(c, g_server_port)) {
    state.SkipWithError("cannot reach zentdb6");
    return;
  }
  uint16_t id = 0;
  bench_support::timed_round_trips(state, "req/s", [&] { return c.noop(++id); });
}

void BM_DbgetCached(benchmark::State& state) {
  const int t = state.thread_index();
  ZentClient& c = g_server_clients[t];
  if (g_dbids[t] == 0) {
    std::string challenge;
    testsupport::DbmlStatus st;
    if (c.fd() >= 0) c.close();  // for the challenge of a new handshake
    if (!bench_support::connect_client(c, g_server_port, &challenge)) {
      state.SkipWithError("cannot reach zentdb6");
      return;
    }
    if (c.logon(challenge, "alice", "secret") != 0 || c.dbopen("sample", "", 1, &st) != 0) {
      state.SkipWithError(("cannot open the sample: status " + std::to_string(st.words[0]) +
                           " " + std::to_string(st.words[9]))
                              .c_str());
      return;
    }
    g_dbids[t] = static_cast<uint16_t>(st.words[9]);
  }
  // ORDERS record 2 into a 100-byte buffer: 148 bytes come back.
  const Bytes frame = testsupport::frame(
      testsupport::dbml_get_request(7, g_dbids[t], 3, 4, 100, {2, 0, 0, 0}).bytes());
  Bytes back;
  bench_support::timed_round_trips(state, "req/s", [&] {
    return c.send_raw(frame) && c.recv_frame(&back) == 1 && back.size() == 148 && back[6] == 0 &&
           back[7] == 0 && back[8] == 0 && back[9] == 0;
  });
}

BENCHMARK(BM_Echo)->Threads(1)->Threads(8)->Threads(32)->UseRealTime();
BENCHMARK(BM_Noop)->Threads(1)->Threads(8)->Threads(32)->UseRealTime();
BENCHMARK(BM_DbgetCached)->Threads(1)->Threads(8)->Threads(32)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  signal(SIGPIPE, SIG_IGN);

  testsupport::TempDir dir;
  g_server_port = testsupport::free_tcp_port();
  const std::string volumes = testsupport::write_sample_environment(dir.file("root.vol"));
  if (volumes.empty()) {
    fprintf(stderr, "dbml_bench: the sample environment could not be written\n");
    return 1;
  }
  dir.write("zentdb6.cfg", "[Server]\nService = " + std::to_string(g_server_port) +
                               "\n\n[Config]\nThreads = 200\n\n[Volumes]\n" + volumes);
  testsupport::Process server(ZENTDB6_PATH,
                              {"-standalone", "-c", dir.file("zentdb6.cfg"), "-d", getenv("DBML_BENCH_DEBUG") ? getenv("DBML_BENCH_DEBUG") : "*0"});
  const int listener = testsupport::listen_loopback(64, &g_echo_port);
  if (listener < 0) {
    fprintf(stderr, "dbml_bench: no echo listener\n");
    return 1;
  }
  std::thread echo(bench_support::echo_server, listener, &g_echo_stop);

  bench_support::RatioReporter reporter("req/s");
  benchmark::RunSpecifiedBenchmarks(&reporter);

  for (ZentClient& c : g_server_clients) c.close();
  for (ZentClient& c : g_echo_clients) c.close();
  g_echo_stop = true;
  echo.join();
  server.send_signal(SIGTERM);
  const testsupport::ProcessResult r = server.wait(30000);
  if (getenv("DBML_BENCH_DEBUG")) fprintf(stderr, "%s", r.err.c_str());

  printf("\nrequests per second relative to the echo server:\n");
  for (int threads : {1, 8, 32}) {
    const double echo_rate = reporter.rates[{"BM_Echo", threads}];
    const double noop = reporter.rates[{"BM_Noop", threads}];
    const double get = reporter.rates[{"BM_DbgetCached", threads}];
    if (echo_rate > 0)
      printf("  %2d clients: echo %8.0f  no-op %8.0f (%.2f)  DBGET %8.0f (%.2f; time x%.2f)\n",
             threads, echo_rate, noop, noop / echo_rate, get, get / echo_rate,
             get > 0 ? echo_rate / get : 0.0);
  }
  benchmark::Shutdown();
  return 0;
}
