// server_process.h - zentdb6 as a child process for tests that speak to it
// over TCP: a configuration in a temporary directory on a free port, the
// start that waits for the server to be active, the stop by SIGTERM that
// expects status 0, and clients that connect while the listen socket comes
// up. The test target defines ZENTDB6_PATH.
#pragma once
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/net_util.h"
#include "support/process_runner.h"
#include "support/sample_server.h"
#include "support/volume_fixture.h"
#include "support/zent_client.h"

namespace testsupport {

class ServerProcessFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = free_tcp_port();
    ASSERT_GT(port_, 0);
  }
  void TearDown() override { stop_server(); }

  // Writes dir_/zentdb6.cfg: "[Server]", its Service on port_, then rest
  // (further keys of [Server] and the sections after it).
  void write_config(const std::string& rest) {
    dir_.write("zentdb6.cfg", "[Server]\nService = " + std::to_string(port_) + "\n" + rest);
  }
  // The sample environment (sample_server.h; with the ledger when
  // ledger_entries >= 0) in dir_/root.vol, and the configuration with
  // server_keys (further keys of [Server]), its [Volumes] section, then
  // after (the sections that follow). The target links the sample
  // environment.
  void write_sample_config(const std::string& server_keys = "", const std::string& after = "",
                           int ledger_entries = -1) {
    const std::string volumes = write_sample_environment(dir_.file("root.vol"), ledger_entries);
    ASSERT_FALSE(volumes.empty()) << "the sample environment";
    write_config(server_keys + "\n[Volumes]\n" + volumes + after);
  }
  // Starts the server on that configuration with debug flags; fails the
  // test unless it becomes active within active_ms.
  void start_server(const std::string& flags, int active_ms = 20000) {
    server_ = std::make_unique<Process>(
        ZENTDB6_PATH,
        std::vector<std::string>{"-standalone", "-c", dir_.file("zentdb6.cfg"), "-d", flags});
    ASSERT_TRUE(server_->wait_for_stderr("QX Zentrim database server active", active_ms));
  }
  // Sends SIGTERM (unless the test stopped the server otherwise: stopped_)
  // and waits up to stop_ms_ for status 0; the server's log in log_, shown
  // when the test failed.
  void stop_server() {
    if (!server_) return;
    if (!stopped_) server_->send_signal(SIGTERM);
    const ProcessResult r = server_->wait(stop_ms_);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    log_ = r.err;
    if (HasFailure()) ADD_FAILURE() << "server log:\n" << r.err;
    server_.reset();
  }
  // Connects (retrying while the listen socket comes up) and shakes hands;
  // the handshake's reply in *reply.
  bool connect_client(ZentClient& c, StartupReply* reply = nullptr) {
    for (int i = 0; i < 100; ++i) {
      if (c.connect(static_cast<uint16_t>(port_))) return c.handshake({}, reply);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  TempDir dir_;
  int port_ = -1;
  std::unique_ptr<Process> server_;
  bool stopped_ = false;
  int stop_ms_ = 30000;
  std::string log_;
};

}  // namespace testsupport
