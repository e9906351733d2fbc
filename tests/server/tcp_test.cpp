// TCP layer: loopback listen/accept/send/receive, port retry, peer
// addresses, end of stream and resets, error texts and socket sets.
#include "server/tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/net_util.h"

using testsupport::LogCapture;

namespace {

uint16_t local_port(int sock) {
  uint16_t port = 0;
  EXPECT_EQ(tcp_local_addr(sock, nullptr, &port, nullptr), 0);
  return port;
}

bool cloexec(int fd) { return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

// A listener on a system-chosen port with one accepted connection.
class Loopback : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(tcp_startup(), 0);
    listener_ = tcp_listen(nullptr);
    ASSERT_GE(listener_, 0);
    client_ = testsupport::connect_loopback(local_port(listener_));
    ASSERT_GE(client_, 0);
    server_ = tcp_accept(listener_);
    ASSERT_GE(server_, 0);
  }
  void TearDown() override {
    tcp_close(client_);
    tcp_close(server_);
    tcp_close(listener_);
    tcp_cleanup();
  }
  int listener_ = -1;
  int client_ = -1;
  int server_ = -1;
};

TEST_F(Loopback, SocketsAreCloseOnExecAndAcceptedOnesBlock) {
  EXPECT_TRUE(cloexec(listener_));
  EXPECT_TRUE(cloexec(server_));
  EXPECT_EQ(fcntl(server_, F_GETFL) & O_NONBLOCK, 0);
  int on = 0;
  socklen_t len = sizeof on;
  ASSERT_EQ(getsockopt(server_, IPPROTO_TCP, TCP_NODELAY, &on, &len), 0);
  EXPECT_NE(on, 0);
}

TEST_F(Loopback, LargeMessagesArriveWholeInBothDirections) {
  std::vector<unsigned char> out(100000), in(out.size());
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<unsigned char>(i * 7 + 3);
  // The peer sends while we receive: the message is larger than socket buffers.
  std::thread peer([&] { EXPECT_EQ(tcp_send(client_, out.data(), int(out.size())), 0); });
  EXPECT_EQ(tcp_recv(server_, in.data(), int(in.size())), 0);
  peer.join();
  EXPECT_EQ(in, out);

  std::vector<unsigned char> back(out.size());
  std::thread peer2([&] { EXPECT_EQ(tcp_recv(client_, back.data(), int(back.size())), 0); });
  EXPECT_EQ(tcp_send(server_, in.data(), int(in.size())), 0);
  peer2.join();
  EXPECT_EQ(back, out);
}

TEST_F(Loopback, PeerAndLocalAddressesMatchTheConnection) {
  uint32_t addr = 0;
  uint16_t port = 0;
  const char* host = nullptr;
  ASSERT_EQ(tcp_peer_addr(server_, &addr, &port, &host), 0);
  EXPECT_EQ(addr, 0x7f000001u);
  EXPECT_EQ(port, local_port(client_));
  ASSERT_NE(host, nullptr);
  // A reverse lookup of the loopback address, or its dotted text.
  EXPECT_TRUE(std::string(host) == "127.0.0.1" || std::string(host).find("localhost") == 0)
      << host;

  uint32_t laddr = 0;
  uint16_t lport = 0;
  ASSERT_EQ(tcp_local_addr(server_, &laddr, &lport, nullptr), 0);
  EXPECT_EQ(laddr, 0x7f000001u);
  EXPECT_EQ(lport, local_port(listener_));
}

TEST_F(Loopback, EndOfStreamIsOneWithALogLine) {
  LogCapture log("X2");
  close(client_);
  client_ = -1;
  char buf[16];
  EXPECT_EQ(tcp_recv(server_, buf, sizeof buf), 1);
  EXPECT_TRUE(log.contains("tcp_recv: EOF"));
  EXPECT_EQ(tcp_recv(server_, buf, 0), 1);
}

TEST_F(Loopback, PeerResetIsFailureWithoutALogLine) {
  LogCapture log("X2");
  linger lg{1, 0};  // close with a reset
  ASSERT_EQ(setsockopt(client_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg), 0);
  close(client_);
  client_ = -1;
  char buf[16];
  EXPECT_EQ(tcp_recv(server_, buf, sizeof buf), -1);
  EXPECT_FALSE(log.contains("recv failed")) << log.text();
}

TEST_F(Loopback, SendToAResetPeerFailsWithoutSigpipe) {
  LogCapture log("X1");
  linger lg{1, 0};
  ASSERT_EQ(setsockopt(client_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg), 0);
  close(client_);
  client_ = -1;
  std::vector<char> data(65536, 'x');
  int rc = 0;
  // The first send may still be buffered; the reset shows on a later one.
  for (int i = 0; i < 50 && rc == 0; ++i) rc = tcp_send(server_, data.data(), int(data.size()));
  EXPECT_EQ(rc, -1);
  EXPECT_TRUE(log.contains("tcp_send: send failed: writecount ")) << log.text();
}

TEST_F(Loopback, AcceptWithNothingWaitingReturnsAtOnce) {
  EXPECT_EQ(tcp_accept(listener_), -1);
}

// An unpaced burst of connects lands in the listen queue at once: none
// waits for a SYN to be sent again (a second or more) because the queue was
// full before the server got to accept.
TEST(TcpListen, ABurstOfConnectsNeedsNoSynRetry) {
  constexpr int kBurst = 300;
  const int listener = tcp_listen(nullptr);
  ASSERT_GE(listener, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(local_port(listener));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<pollfd> pending;
  for (int i = 0; i < kBurst; ++i) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ASSERT_GE(s, 0);
    const int rc = connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ASSERT_TRUE(rc == 0 || errno == EINPROGRESS) << strerror(errno);
    pending.push_back({s, POLLOUT, 0});
  }
  // Nobody accepts meanwhile: every connection must complete in the queue
  // well inside the first SYN retry.
  int connected = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(700);
  while (connected < kBurst && std::chrono::steady_clock::now() < deadline) {
    if (poll(pending.data(), pending.size(), 50) <= 0) continue;
    for (pollfd& p : pending) {
      if (p.fd < 0 || p.revents == 0) continue;
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &len);
      EXPECT_EQ(err, 0) << strerror(err);
      ++connected;
      close(p.fd);
      p.fd = -1;  // poll skips it from now on
    }
  }
  for (pollfd& p : pending)
    if (p.fd >= 0) close(p.fd);
  tcp_close(listener);
  EXPECT_EQ(connected, kBurst);
}

TEST(TcpListen, BusyPortWithOneRetryListensOnTheNextPort) {
  LogCapture log("X2");
  // Find a port p that is ours and whose successor is free.
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int a = tcp_listen(nullptr);
    ASSERT_GE(a, 0);
    const uint16_t p = local_port(a);
    if (p == 65535) {
      tcp_close(a);
      continue;
    }
    const std::string service = std::to_string(p);
    EXPECT_EQ(tcp_listen(service.c_str()), -1);
    EXPECT_TRUE(log.contains("Unable to bind address. [10048] [10048] Address already in use"))
        << log.text();
    const int b = tcp_bind_listen(service.c_str(), 1);
    if (b < 0) {  // p + 1 happened to be taken; try another pair
      tcp_close(a);
      continue;
    }
    EXPECT_EQ(local_port(b), p + 1);
    tcp_close(b);
    tcp_close(a);
    return;
  }
  FAIL() << "no free port pair found";
}

struct BadService {
  const char* name;
  const char* service;
  const char* line;
};

void PrintTo(const BadService& c, std::ostream* os) { *os << '"' << c.service << '"'; }

class TcpBadService : public ::testing::TestWithParam<BadService> {};

TEST_P(TcpBadService, IsRefusedWithItsLine) {
  LogCapture log("X0");
  EXPECT_EQ(tcp_listen(GetParam().service), -1);
  EXPECT_TRUE(log.contains(GetParam().line)) << log.text();
}

INSTANTIATE_TEST_SUITE_P(
    Services, TcpBadService,
    ::testing::Values(BadService{"Zero", "0", "0: Invalid port number."},
                      BadService{"TooLarge", "65536", "65536: Invalid port number."},
                      BadService{"TrailingText", "80x", "80x: Invalid port number."},
                      BadService{"UnknownName", "no-such-service-zq",
                                 "Unable to map service name no-such-service-zq (tcp)"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(TcpClose, MinusOneIsIgnoredAndABadDescriptorIsReported) {
  LogCapture log("X2");
  EXPECT_EQ(tcp_close(-1), 0);
  EXPECT_EQ(tcp_close(100000), -1);
  EXPECT_TRUE(log.contains("Unable to close socket. [10009] [10009] Bad file number"))
      << log.text();
  EXPECT_TRUE(log.contains("file tcp.cpp, line ")) << log.text();
}

struct TextCase {
  int code;
  const char* text;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.code; }

class TcpErrorText : public ::testing::TestWithParam<TextCase> {};

TEST_P(TcpErrorText, Texts) { EXPECT_STREQ(tcp_error_text(GetParam().code), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Codes, TcpErrorText,
    ::testing::Values(TextCase{0, "[0] No Error"}, TextCase{10000, "[0] No Error"},
                      TextCase{10004, "[10004] Interrupted system call"},
                      TextCase{10048, "[10048] Address already in use"},
                      TextCase{10054, "[10054] Connection reset by peer"},
                      TextCase{11001, "[11001] Host not found"},
                      TextCase{10999, "[10999] Message not found"},
                      TextCase{10072, "[10072] Message not found"},
                      TextCase{5, "[5] Message not found"}),
    [](const auto& p) { return "Code" + std::to_string(p.param.code); });

TEST(TcpErrorTable, EveryListedCodeHasItsOwnEntry) {
  std::vector<int> codes = {10004, 10009, 10013, 10014, 10022, 10024, 10091, 10092, 10093,
                            11001, 11002, 11003, 11004};
  for (int c = 10035; c <= 10071; ++c) codes.push_back(c);
  for (int c : codes) {
    const std::string prefix = "[" + std::to_string(c) + "] ";
    const std::string text = tcp_error_text(c);
    EXPECT_EQ(text.rfind(prefix, 0), 0u) << text;
    EXPECT_EQ(text.find("Message not found"), std::string::npos) << text;
  }
}

TEST(TcpErrorTable, CallerBufferIsCutAndTerminated) {
  char small[8];
  EXPECT_STREQ(socket_error_text(10048, small, sizeof small), "[10048]");
}

TEST(TcpErrorTable, ErrnoMapsToTheWindowsSocketsNumbers) {
  EXPECT_EQ(tcp_wsa_error(EINTR), WSAEINTR);
  EXPECT_EQ(tcp_wsa_error(EAGAIN), WSAEWOULDBLOCK);
  EXPECT_EQ(tcp_wsa_error(EADDRINUSE), WSAEADDRINUSE);
  EXPECT_EQ(tcp_wsa_error(ECONNRESET), WSAECONNRESET);
  EXPECT_EQ(tcp_wsa_error(ENOTSOCK), WSAENOTSOCK);
  EXPECT_EQ(tcp_wsa_error(ECONNREFUSED), WSAECONNREFUSED);
}

TEST(SocketSet, DuplicatesAreKeptAndRemoveTakesTheFirstCopy) {
  SocketSet set;
  sockset_zero(&set);
  EXPECT_EQ(sockset_add(7, &set), 0);
  EXPECT_EQ(sockset_add(9, &set), 0);
  EXPECT_EQ(sockset_add(7, &set), 0);
  EXPECT_EQ(sockset_add(-1, &set), -1);
  ASSERT_EQ(set.count, 3u);
  sockset_remove(7, &set);
  ASSERT_EQ(set.count, 2u);
  EXPECT_EQ(set.sockets[0], 9);
  EXPECT_EQ(set.sockets[1], 7);
  EXPECT_TRUE(sockset_isset(7, &set));
  sockset_remove(7, &set);
  EXPECT_FALSE(sockset_isset(7, &set));
  sockset_remove(-1, &set);
  sockset_remove(42, &set);
  EXPECT_EQ(set.count, 1u);
}

TEST(SocketSet, AFullSetRefusesFurtherSockets) {
  SocketSet set;
  sockset_zero(&set);
  for (int i = 0; i < SOCKSET_MAX; ++i) ASSERT_EQ(sockset_add(100 + i, &set), 0);
  EXPECT_EQ(sockset_add(5, &set), -1);
  EXPECT_EQ(set.count, uint32_t(SOCKSET_MAX));
  EXPECT_FALSE(sockset_isset(5, &set));
}

}  // namespace
