// daemon_fixture.cpp - see daemon_fixture.h.
#include "daemon/daemon_fixture.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

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
  handler_.reset();
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

bool DaemonFixture::start() {
  write("etc/zentsd.cfg", "[config]\n" + config_extra);
  const int lsock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (lsock < 0 || bind(lsock, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      listen(lsock, 1) != 0 || getsockname(lsock, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    close(lsock);
    return false;
  }
  const bool connected = client_.connect(ntohs(sa.sin_port));
  const int sock = connected ? accept(lsock, nullptr, nullptr) : -1;  // inherited: no close-on-exec
  close(lsock);
  if (sock < 0) return false;
  handler_ = std::make_unique<Process>(
      ZENTSD_HANDLER_DRIVER_PATH,
      std::vector<std::string>{"-c", path("etc/zentsd.cfg"), "-d", "C3D3E3P3S3", "socket:" + std::to_string(sock)},
      std::vector<std::string>{std::string(platform::kRegistryUserEnv) + "=" + path("hkcu"),
                               std::string(platform::kRegistryMachineEnv) + "=" + path("hklm")});
  close(sock);
  return true;
}

ProcessResult DaemonFixture::finish() {
  client_.close();
  return handler_->wait(30000);
}

bool DaemonFixture::startup() {
  const ZentsdReply r = client_.startup();
  return r.got == 1 && r.status == 0 && client_.challenge().size() == 32;
}

}  // namespace testsupport
