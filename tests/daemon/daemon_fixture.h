// daemon_fixture.h - one connection served by the session daemon's
// protocol handler in a process of its own (zentsd_handler_driver), with an
// installation in a fresh directory below /tmp that any account can
// traverse: etc/zentsd.cfg, the share and user files, bin/zentcore (the
// stand-in) and the registry stand-in pointing at it.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/process_runner.h"
#include "support/zentsd_client.h"

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

  // Starts a handler for a new connection of client_; false on failure.
  bool start();
  // Closes the client and waits for the handler.
  ProcessResult finish();
  // Start-up with the defaults; true on status 0 with a challenge.
  bool startup();

  std::string root_;
  ZentsdClient client_;
  std::unique_ptr<Process> handler_;
};

}  // namespace testsupport
