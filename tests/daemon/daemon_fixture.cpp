// daemon_fixture.cpp - see daemon_fixture.h.
#include "daemon/daemon_fixture.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/registry.h"

namespace testsupport {

namespace fs = std::filesystem;

void DaemonFixture::SetUp() {
  char tmpl[] = "/tmp/zentsd-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  root_ = tmpl;
  chmod(root_.c_str(), 0755);
  fs::create_directories(path("bin"));
  fs::create_directories(path("etc"));
  fs::copy_file(ZENTCORE_STANDIN_PATH, path("bin/zentcore"));
  chmod(path("bin/zentcore").c_str(), 0755);
  setenv(platform::kRegistryUserEnv, path("hkcu").c_str(), 1);
  setenv(platform::kRegistryMachineEnv, path("hklm").c_str(), 1);
  ASSERT_EQ(platform::registry_write(platform::RegistryRoot::LocalMachine,
                                     "SOFTWARE\\Quorvix\\QX Zentrim\\Directories", "BaseDirectory",
                                     root_.c_str()),
            0);
  write("etc/zentsd.share", "");
  write("etc/zentsd.user", "");
}

void DaemonFixture::TearDown() {
  client_.close();
  daemon_.stop();
  unsetenv(platform::kRegistryUserEnv);
  unsetenv(platform::kRegistryMachineEnv);
  std::error_code ec;
  fs::remove_all(root_, ec);
}

void DaemonFixture::write(const std::string& rel, const std::string& text) const {
  fs::create_directories(fs::path(path(rel)).parent_path());
  std::ofstream f(path(rel), std::ios::binary | std::ios::trunc);
  f << text;
}

std::vector<std::string> DaemonFixture::env() const {
  return {std::string(platform::kRegistryUserEnv) + "=" + path("hkcu"),
          std::string(platform::kRegistryMachineEnv) + "=" + path("hklm")};
}

bool DaemonFixture::start() {
  write("etc/zentsd.cfg", "[config]\n" + config_extra);
  if (!daemon_.running() &&
      !daemon_.start(ZENTSD_PATH, path("etc/zentsd.cfg"), "C3D3E3P3S3", env(), daemon_extra))
    return false;
  log_from_ = daemon_.log().size();
  if (!client_.connect(static_cast<uint16_t>(daemon_.port()))) return false;
  if (in_process()) return true;
  handler_ = daemon_.next_handler();
  return handler_ > 0;
}

bool DaemonFixture::in_process() const {
  return std::find(daemon_extra.begin(), daemon_extra.end(), "-f") != daemon_extra.end();
}

ProcessResult DaemonFixture::finish() {
  client_.close();
  ProcessResult r;
  if (in_process()) {
    r.exit_status = 0;
    r.err = daemon_.log().substr(log_from_);
    return r;
  }
  r.exit_status = daemon_.reaped_status(handler_);
  r.timed_out = r.exit_status == -1;
  r.err = daemon_.log().substr(log_from_);
  return r;
}

bool DaemonFixture::startup() {
  const ZentsdReply r = client_.startup();
  return r.got == 1 && r.status == 0 && client_.challenge().size() == 32;
}

}  // namespace testsupport
