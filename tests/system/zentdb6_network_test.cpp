// zentdb6 as a process on the network: it listens on its service and on
// ServiceHTTP, serves a client through the select thread and the idle task,
// and on SIGTERM closes the client's connection and shuts down in order.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "support/net_util.h"
#include "support/process_runner.h"
#include "support/server_volumes.h"
#include "support/volume_fixture.h"
#include "support/zent_client.h"

namespace {

const std::string kServer = ZENTDB6_PATH;

// One HTTP/1.0 request to 127.0.0.1:port; the whole answer, or "" when the
// connection failed.
std::string http_get(int port) {
  const int s = testsupport::connect_loopback(static_cast<uint16_t>(port));
  if (s < 0) return "";
  std::string answer;
  timeval tv{10, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  const std::string req = "GET / HTTP/1.0\r\n\r\n";
  send(s, req.data(), req.size(), MSG_NOSIGNAL);
  char buf[1024];
  ssize_t n;
  while ((n = recv(s, buf, sizeof buf, 0)) > 0) answer.append(buf, static_cast<size_t>(n));
  close(s);
  return answer;
}

TEST(ZentDb6Network, ServesAClientAndShutsDownInOrderOnSigterm) {
  testsupport::TempDir dir;
  const int port = testsupport::free_tcp_port();
  const int http_port = testsupport::free_tcp_port();
  ASSERT_GT(port, 0);
  ASSERT_GT(http_port, 0);
  dir.write("zentdb6.cfg", "[Server]\nService = " + std::to_string(port) +
                               "\nServiceHTTP = " + std::to_string(http_port) +
                               "\nNoDNS = 1\n\n[Config]\nThreads = 4\n\n[Volumes]\n" +
                               testsupport::write_server_volumes(dir.file("root.vol")));
  testsupport::Process server(kServer, {"-standalone", "-c", dir.file("zentdb6.cfg"), "-d", "D2T1"});
  ASSERT_TRUE(server.wait_for_stderr("QX Zentrim database server active", 20000)) << server.wait(1).err;

  testsupport::ZentClient client;
  ASSERT_TRUE(client.connect(static_cast<uint16_t>(port)));
  ASSERT_TRUE(client.handshake());
  EXPECT_TRUE(client.noop(7));

  EXPECT_EQ(http_get(http_port).rfind("HTTP/1.0 ", 0), 0u);
  ASSERT_TRUE(server.wait_for_stderr("HTTP finished 127.0.0.1 port ", 10000));

  server.send_signal(SIGTERM);
  EXPECT_TRUE(client.closed_without_reply(20000));
  const testsupport::ProcessResult r = server.wait(30000);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  testsupport::expect_in_order(r.err, {"QX Zentrim database server active",
                                       "Connection from 127.0.0.1 port ",
                                       "HTTP connection from 127.0.0.1 port ",
                                       "Starting server shutdown ...",
                                       "Disconnected 127.0.0.1 port ",
                                       "Exiting thread kernel ...",
                                       "QX Zentrim database server shutting down",
                                       "Cleaning up ...",
                                       "QX Zentrim data base server terminated"});
}

TEST(ZentDb6Network, APortInUseStopsTheStartWithStatusThree) {
  testsupport::TempDir dir;
  const int busy = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t len = sizeof sa;
  ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(busy, 1), 0);
  ASSERT_EQ(getsockname(busy, reinterpret_cast<sockaddr*>(&sa), &len), 0);
  dir.write("zentdb6.cfg", "[Server]\nService = " + std::to_string(ntohs(sa.sin_port)) +
                               "\n\n[Volumes]\n" + testsupport::write_server_volumes(dir.file("root.vol")));
  const testsupport::ProcessResult r =
      testsupport::run_process(kServer, {"-standalone", "-c", dir.file("zentdb6.cfg"), "-d", "D1X0"});
  close(busy);
  EXPECT_EQ(r.exit_status, 3) << r.err;
  testsupport::expect_in_order(r.err, {"Unable to bind address. [10048] ",
                                       "Failed to create server listen socket",
                                       "QX Zentrim database server terminating"});
}

}  // namespace
