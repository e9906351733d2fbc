// dbml_bench.cpp - round trips against a running zentdb6 holding the test
// database, with 1, 8 and 32 clients, in one run: a plain single-threaded
// loopback echo server (the yardstick), the class-1 no-op, and a cached
// DBGET mode 4 (the same record again and again, so every read hits the
// buffer cache), and a DBGET mode 7 (a read by key) of a random account of
// the ledger's ACCOUNTS master, a large record file (DBML_BENCH_ACCOUNTS
// records, a million by default, written before the server starts; the
// pages warmed once before the first timed read). A read by key opens the
// set's record file and closes it again: with no other session holding it
// that close is the last one, the case where the file's cached cluster
// start pages used to go and each read walked the file's whole
// used-cluster list. Each reports requests per second and the p50 and p99
// round trip in microseconds; the closing table gives each one's rate
// against the echo's. The DBGET/echo ratio is what the server's whole request path
// (the idle task's socket wait, worker wake-up, framing, dispatch, the database call,
// the reply) costs on top of the socket round trip itself.
//
// On a machine shared with other work a one-client round trip is mostly
// the kernel's wake-ups: a woken thread that lands on a processor busy with
// another process waits there for its turn, on the server's side and on the
// client's, and that changes from one second to the next. So the three run
// in rounds (DBML_BENCH_ROUNDS, 3 by default), each round taking every
// client count in turn and, within it, the echo, the no-op and the DBGET
// back to back; the closing table gives the median of the rounds, and the
// median of each round's own DBGET/echo time ratio. Beside the times it
// gives each server's processor time per round trip (the zentdb6 process's
// threads, the echo server's thread), which leaves out the waits for a
// processor. On a crowded machine the p50 of the one-client rounds is the
// steadiest figure: most round trips there find both threads' processors
// free, while the rate and the p99 follow the slow spells.
//
// Build a release tree for figures that mean something:
//   cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release
//   cmake --build build/release --target dbml_bench zentdb6
//   build/release/bench/dbml_bench
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <random>
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
pid_t g_server_pid = -1;
clockid_t g_echo_clock = CLOCK_THREAD_CPUTIME_ID;

// The processor time of every thread of the zentdb6 process so far.
uint64_t server_cpu_ns() {
  const std::string dir = "/proc/" + std::to_string(g_server_pid) + "/task";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return 0;
  uint64_t sum = 0;
  while (const dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    FILE* f = fopen((dir + "/" + e->d_name + "/schedstat").c_str(), "r");
    if (f == nullptr) continue;
    unsigned long long ns = 0;
    if (fscanf(f, "%llu", &ns) == 1) sum += ns;
    fclose(f);
  }
  closedir(d);
  return sum;
}

// The echo server thread's processor time so far.
uint64_t echo_cpu_ns() {
  timespec ts{};
  clock_gettime(g_echo_clock, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// --- Clients ------------------------------------------------------------------

// One connection per benchmark thread, kept across the runs: the server
// watches at most 64 sockets, so the no-op and DBGET share them (the first
// DBGET on a connection logs on and opens the sample).
ZentClient g_server_clients[kMaxClients];
ZentClient g_echo_clients[kMaxClients];
uint16_t g_dbids[kMaxClients];
uint16_t g_ledger_dbids[kMaxClients];
uint32_t g_accounts = 1000000;

void BM_Echo(benchmark::State& state) {
  bench_support::echo_round_trips(state, g_echo_clients[state.thread_index()], g_echo_port,
                                  "req/s", echo_cpu_ns);
}

void BM_Noop(benchmark::State& state) {
  ZentClient& c = g_server_clients[state.thread_index()];
  if (!bench_support::connect_client(c, g_server_port)) {
    state.SkipWithError("cannot reach zentdb6");
    return;
  }
  uint16_t id = 0;
  bench_support::timed_round_trips(state, "req/s", [&] { return c.noop(++id); }, server_cpu_ns);
}

// Thread t's connection logged on as alice with the sample and the ledger
// open; false (the run skipped) when that fails.
bool logged_on(benchmark::State& state, int t) {
  if (g_dbids[t] != 0) return true;
  ZentClient& c = g_server_clients[t];
  std::string challenge;
  testsupport::DbmlStatus st;
  if (c.fd() >= 0) c.close();  // for the challenge of a new handshake
  if (!bench_support::connect_client(c, g_server_port, &challenge)) {
    state.SkipWithError("cannot reach zentdb6");
    return false;
  }
  if (c.logon(challenge, "alice", "secret") != 0 || c.dbopen("sample", "", 1, &st) != 0) {
    state.SkipWithError(("cannot open the sample: status " + std::to_string(st.words[0]) + " " +
                         std::to_string(st.words[9]))
                            .c_str());
    return false;
  }
  const uint16_t sample = static_cast<uint16_t>(st.words[9]);
  if (c.dbopen(testsupport::kLedgerDbName, "", 1, &st) != 0) {
    state.SkipWithError(("cannot open the ledger: status " + std::to_string(st.words[0])).c_str());
    return false;
  }
  g_ledger_dbids[t] = static_cast<uint16_t>(st.words[9]);
  g_dbids[t] = sample;
  return true;
}

// A DBGET whose reply is size bytes with status word 0.
bool dbget(ZentClient& c, const Bytes& frame, Bytes* back, size_t size) {
  return c.send_raw(frame) && c.recv_frame(back) == 1 && back->size() == size &&
         (*back)[6] == 0 && (*back)[7] == 0 && (*back)[8] == 0 && (*back)[9] == 0;
}

// ACCOUNTS (set 1) by its key into a 16-byte buffer: 64 bytes come back.
Bytes account_read(uint16_t dbid, uint32_t acct) {
  const Bytes key = {static_cast<uint8_t>(acct), static_cast<uint8_t>(acct >> 8),
                     static_cast<uint8_t>(acct >> 16), static_cast<uint8_t>(acct >> 24)};
  return testsupport::frame(testsupport::dbml_get_request(9, dbid, 1, 7, 16, key).bytes());
}

void BM_DbgetKey(benchmark::State& state) {
  const int t = state.thread_index();
  if (!logged_on(state, t)) return;
  ZentClient& c = g_server_clients[t];
  Bytes back;
  static std::atomic<bool> warm{false};
  if (t == 0 && !warm.exchange(true)) {
    // Every page of the file and of the key's tree once, untimed.
    for (uint32_t a = 1; a <= g_accounts; a += 97)
      if (!dbget(c, account_read(g_ledger_dbids[t], a), &back, 64)) {
        state.SkipWithError("the warming read failed");
        return;
      }
  }
  std::mt19937 rng(static_cast<uint32_t>(7 + t));
  std::uniform_int_distribution<uint32_t> pick(1, g_accounts);
  bench_support::timed_round_trips(state, "req/s", [&] {
    return dbget(c, account_read(g_ledger_dbids[t], pick(rng)), &back, 64);
  }, server_cpu_ns);
}

void BM_DbgetCached(benchmark::State& state) {
  const int t = state.thread_index();
  if (!logged_on(state, t)) return;
  ZentClient& c = g_server_clients[t];
  // ORDERS record 2 into a 100-byte buffer: 148 bytes come back.
  const Bytes frame = testsupport::frame(
      testsupport::dbml_get_request(7, g_dbids[t], 3, 4, 100, {2, 0, 0, 0}).bytes());
  Bytes back;
  bench_support::timed_round_trips(state, "req/s", [&] { return dbget(c, frame, &back, 148); },
                                   server_cpu_ns);
}

constexpr int kClientCounts[] = {1, 8, 32};

struct Target {
  const char* name;
  void (*fn)(benchmark::State&);
};
constexpr Target kTargets[] = {{"BM_Echo", BM_Echo},
                               {"BM_Noop", BM_Noop},
                               {"BM_DbgetCached", BM_DbgetCached},
                               {"BM_DbgetKey", BM_DbgetKey}};

void register_rounds(int rounds) {
  for (int r = 1; r <= rounds; ++r)
    for (int clients : kClientCounts)
      for (const Target& t : kTargets)
        benchmark::RegisterBenchmark((std::string(t.name) + "/round:" + std::to_string(r)).c_str(),
                                     t.fn)
            ->Threads(clients)
            ->UseRealTime();
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  return v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2;
}

template <typename Field>
double median_of(const std::vector<bench_support::RoundTripFigures>& runs, Field field) {
  std::vector<double> v;
  for (const bench_support::RoundTripFigures& f : runs) v.push_back(f.*field);
  return median(v);
}

void print_load(const char* when) {
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) == 3)
    printf("load average %s: %.2f %.2f %.2f\n", when, load[0], load[1], load[2]);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  signal(SIGPIPE, SIG_IGN);

  testsupport::TempDir dir;
  g_server_port = testsupport::free_tcp_port();
  const char* accounts_env = getenv("DBML_BENCH_ACCOUNTS");
  if (accounts_env != nullptr && atoi(accounts_env) >= 2)
    g_accounts = static_cast<uint32_t>(atoi(accounts_env));
  const auto written = std::chrono::steady_clock::now();
  const std::string volumes =
      testsupport::write_sample_environment(dir.file("root.vol"), 0, g_accounts);
  if (volumes.empty()) {
    fprintf(stderr, "dbml_bench: the sample environment could not be written\n");
    return 1;
  }
  printf("ledger of %u accounts written in %.1f s\n", g_accounts,
         std::chrono::duration<double>(std::chrono::steady_clock::now() - written).count());
  // The cache holds the accounts' file and key tree whole.
  dir.write("zentdb6.cfg", "[Server]\nService = " + std::to_string(g_server_port) +
                               "\n\n[Config]\nThreads = 200\nBufferCache = 256\n\n[Volumes]\n" +
                               volumes);
  testsupport::Process server(ZENTDB6_PATH,
                              {"-standalone", "-c", dir.file("zentdb6.cfg"), "-d", getenv("DBML_BENCH_DEBUG") ? getenv("DBML_BENCH_DEBUG") : "*0"});
  const int listener = testsupport::listen_loopback(64, &g_echo_port);
  if (listener < 0) {
    fprintf(stderr, "dbml_bench: no echo listener\n");
    return 1;
  }
  std::thread echo(bench_support::echo_server, listener, &g_echo_stop);
  g_server_pid = server.pid();
  if (pthread_getcpuclockid(echo.native_handle(), &g_echo_clock) != 0) {
    fprintf(stderr, "dbml_bench: no processor clock for the echo thread\n");
    return 1;
  }

  const char* rounds_env = getenv("DBML_BENCH_ROUNDS");
  const int rounds = rounds_env != nullptr && atoi(rounds_env) > 0 ? atoi(rounds_env) : 3;
  register_rounds(rounds);
  print_load("before");
  bench_support::RatioReporter reporter("req/s");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  print_load("after");

  for (ZentClient& c : g_server_clients) c.close();
  for (ZentClient& c : g_echo_clients) c.close();
  g_echo_stop = true;
  echo.join();
  server.send_signal(SIGTERM);
  const testsupport::ProcessResult r = server.wait(30000);
  if (getenv("DBML_BENCH_DEBUG")) fprintf(stderr, "%s", r.err.c_str());

  printf("\nmedians of %d rounds (rate in requests/s, p50, p99 and server processor time per\n"
         "request in microseconds); time x: the median of each round's own time ratio against\n"
         "the echo (1/rate); p50 x and cpu x: the medians' ratios\n",
         rounds);
  for (int threads : kClientCounts) {
    const auto& echo_runs = reporter.figures[{"BM_Echo", threads}];
    const auto& noop_runs = reporter.figures[{"BM_Noop", threads}];
    const auto& get_runs = reporter.figures[{"BM_DbgetCached", threads}];
    const auto& key_runs = reporter.figures[{"BM_DbgetKey", threads}];
    auto time_ratio = [&](const std::vector<bench_support::RoundTripFigures>& runs) {
      std::vector<double> v;
      for (const bench_support::RoundTripFigures& e : echo_runs)
        for (const bench_support::RoundTripFigures& f : runs)
          if (f.tag == e.tag && f.rate > 0) v.push_back(e.rate / f.rate);
      return median(v);
    };
    if (echo_runs.empty()) continue;  // filtered out
    using F = bench_support::RoundTripFigures;
    printf("  %2d clients:\n", threads);
    for (const auto& [name, runs] : {std::pair{"echo ", &echo_runs}, std::pair{"no-op", &noop_runs},
                                     std::pair{"DBGET", &get_runs}, std::pair{"bykey", &key_runs}})
      printf("    %s %8.0f req/s  p50 %7.1f  p99 %8.1f  server cpu/req %5.2f  (%zu rounds)\n",
             name, median_of(*runs, &F::rate), median_of(*runs, &F::p50_us),
             median_of(*runs, &F::p99_us), median_of(*runs, &F::cpu_us), runs->size());
    auto against_echo = [&](const std::vector<bench_support::RoundTripFigures>& runs,
                            double F::*field) {
      const double base = median_of(echo_runs, field);
      return base > 0 ? median_of(runs, field) / base : 0.0;
    };
    printf("    against the echo: no-op time x%.2f p50 x%.2f cpu x%.2f; "
           "DBGET time x%.2f p50 x%.2f cpu x%.2f\n",
           time_ratio(noop_runs), against_echo(noop_runs, &F::p50_us),
           against_echo(noop_runs, &F::cpu_us), time_ratio(get_runs),
           against_echo(get_runs, &F::p50_us), against_echo(get_runs, &F::cpu_us));
    printf("    by key (%u accounts): time x%.2f p50 x%.2f cpu x%.2f against the echo, "
           "time x%.2f against the cached DBGET\n",
           g_accounts, time_ratio(key_runs), against_echo(key_runs, &F::p50_us),
           against_echo(key_runs, &F::cpu_us),
           median_of(key_runs, &F::rate) > 0
               ? median_of(get_runs, &F::rate) / median_of(key_runs, &F::rate)
               : 0.0);
  }
  benchmark::Shutdown();
  return 0;
}
