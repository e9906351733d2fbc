// scan_bench.cpp - records per second read from a running zentdb6 holding
// the ledger of the test environment (sample_db.h) with kRecords entries of
// 100 bytes, written before the server starts: SEQ scans of the whole set
// with 4 KiB and 64 KiB data areas (every field selected: 104 bytes per
// record), beside DBGET mode 2 (serial reads, one record per round trip)
// over the same records, the yardstick. The closing lines give each scan's
// rate against DBGET's.
//
// Build a release tree for figures that mean something:
//   cmake -S . -B build/rel -G Ninja -DCMAKE_BUILD_TYPE=Release
//   cmake --build build/rel --target scan_bench zentdb6
//   build/rel/bench/scan_bench
#include <benchmark/benchmark.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/net_util.h"
#include "support/process_runner.h"
#include "support/sample_server.h"
#include "support/volume_fixture.h"
#include "support/zent_client.h"

namespace {

using testsupport::Bytes;
using testsupport::ZentClient;

constexpr int kRecords = 50000;
constexpr uint32_t kRecordSize = 100;
constexpr uint16_t kEntries = 2;  // the ledger's set of 100-byte records
int g_port = -1;
ZentClient g_client;
uint16_t g_dbid = 0;
uint32_t g_handle = 0;
double g_rate[3] = {};

uint32_t le32(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

bool setup_client() {
  testsupport::StartupReply reply;
  for (int i = 0; i < 200 && !g_client.connect(static_cast<uint16_t>(g_port)); ++i) usleep(10000);
  if (g_client.fd() < 0 || !g_client.handshake({}, &reply)) return false;
  testsupport::DbmlStatus st;
  if (g_client.logon(reply.challenge, "alice", "secret") != 0 ||
      g_client.dbopen(testsupport::kLedgerDbName, "", 1, &st) != 0)
    return false;
  g_dbid = static_cast<uint16_t>(st.words[9]);
  testsupport::ScanReply rep;
  if (!g_client.scan(testsupport::scan_new_context_request(1, static_cast<int16_t>(g_dbid),
                                                           kEntries, 0, 3, {0x07}),
                     &rep) ||
      !rep.ok())
    return false;
  g_handle = le32(rep.rest, 0);
  return true;
}

void BM_Seq(benchmark::State& state) {
  const uint32_t data_sz = static_cast<uint32_t>(state.range(0));
  int64_t records = 0;
  for (auto _ : state) {
    uint32_t next = 0;
    do {
      Bytes back;
      if (!g_client.request(testsupport::scan_seq_request(2, g_handle, data_sz,
                                                          static_cast<int32_t>(next)).bytes(),
                            &back) ||
          back.size() < 24 || le32(back, 4) != 0) {
        state.SkipWithError("SEQ failed");
        return;
      }
      next = le32(back, 12);
      records += le32(back, 16);
    } while (next != 0);
  }
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
}

void BM_DbgetSerial(benchmark::State& state) {
  int64_t records = 0;
  for (auto _ : state) {
    // Record 1 by number puts the cursor at the start; mode 2 reads on to
    // the end of the set.
    testsupport::DbmlStatus st;
    Bytes data;
    if (g_client.dbget(g_dbid, kEntries, 4, kRecordSize, {1, 0, 0, 0}, &st, &data) != 0) {
      state.SkipWithError("DBGET failed");
      return;
    }
    ++records;
    int32_t rc = 0;
    while ((rc = g_client.dbget(g_dbid, kEntries, 2, kRecordSize, {}, &st, &data)) == 0) ++records;
    if (rc != 11) {
      state.SkipWithError("DBGET serial failed");
      return;
    }
  }
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_DbgetSerial)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Seq)->Arg(4096)->Arg(65536)->UseRealTime()->Unit(benchmark::kMillisecond);

class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      const auto it = r.counters.find("records/s");
      if (it == r.counters.end()) continue;
      const std::string name = r.benchmark_name();
      const int slot = name.find("4096") != std::string::npos    ? 1
                       : name.find("65536") != std::string::npos ? 2
                                                                 : 0;
      g_rate[slot] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  signal(SIGPIPE, SIG_IGN);
  testsupport::TempDir dir;
  g_port = testsupport::free_tcp_port();
  const std::string volumes = testsupport::write_sample_environment(dir.file("root.vol"), kRecords);
  if (volumes.empty()) return 1;
  dir.write("zentdb6.cfg", "[Server]\nService = " + std::to_string(g_port) +
                               "\n\n[Config]\nBufferCache = 20\n\n[Volumes]\n" + volumes);
  testsupport::Process server(ZENTDB6_PATH, {"-standalone", "-c", dir.file("zentdb6.cfg"), "-d", "*0"});
  if (!setup_client()) {
    fprintf(stderr, "scan_bench: the ledger could not be opened\n");
    return 1;
  }
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  g_client.close();
  server.send_signal(SIGTERM);
  server.wait(30000);
  printf("\nrecords per second (%d records of %u bytes):\n", kRecords, kRecordSize);
  printf("  DBGET mode 2  %10.0f\n", g_rate[0]);
  if (g_rate[0] > 0) {
    printf("  SEQ 4 KiB     %10.0f (x%.1f)\n", g_rate[1], g_rate[1] / g_rate[0]);
    printf("  SEQ 64 KiB    %10.0f (x%.1f)\n", g_rate[2], g_rate[2] / g_rate[0]);
  }
  benchmark::Shutdown();
  return 0;
}
