// daemon_fixture.h - connections served by a real zentsd (one console run
// per test, one client-handler process per connection), with an
// installation in a fresh directory below /tmp that any account can
// traverse: etc/zentsd.cfg, the share and user files, bin/zentcore (the
// stand-in) and the registry stand-in pointing at it. Each handler reads
// etc/zentsd.cfg when it starts, so config_extra applies from the next
// start() on.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/process_runner.h"
#include "support/zentsd_client.h"
#include "support/zentsd_daemon.h"

namespace testsupport {

class DaemonFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string path(const std::string& rel) const { return root_ + "/" + rel; }
  // Writes a file below the installation (directories made as needed).
  void write(const std::string& rel, const std::string& text) const;
  // The config section's extra lines (each "key = value\n").
  std::string config_extra;
  // Options the daemon is started with besides the fixture's; with "-f"
  // connections are served in the listening process (no handler).
  std::vector<std::string> daemon_extra;
  // The registry stand-in's environment for the daemon.
  std::vector<std::string> env() const;

  // Connects client_ to the daemon (started at the first call) and waits
  // for the handler the connection gets; false on failure.
  bool start();
  // Closes the client and waits until the parent reaped the handler: its
  // exit status and the daemon's log since start().
  ProcessResult finish();
  bool in_process() const;
  // Start-up with the defaults; true on status 0 with a challenge.
  bool startup();

  std::string root_;
  ZentsdClient client_;
  ZentsdDaemon daemon_;
  pid_t handler_ = -1;
  size_t log_from_ = 0;
};

}  // namespace testsupport
