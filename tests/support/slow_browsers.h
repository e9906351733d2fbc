// slow_browsers.h - browsers that hold a status page connection without
// finishing their request, for the tests of both programs' HTTP services:
// one that sends nothing, one that trickles a request a byte a second, and
// a row of silent ones to fill the service's places. Header-only.
#pragma once
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/http_client.h"
#include "support/net_util.h"

namespace testsupport {

// Sends a request line one byte a second until the server closes the
// connection (or the object goes); closed_after tells when that was.
class TricklingBrowser {
 public:
  explicit TricklingBrowser(int port) : fd_(connect_loopback(static_cast<uint16_t>(port))) {
    start_ = std::chrono::steady_clock::now();
    if (fd_ >= 0) thread_ = std::thread([this] { run(); });
  }
  ~TricklingBrowser() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  TricklingBrowser(const TricklingBrowser&) = delete;
  TricklingBrowser& operator=(const TricklingBrowser&) = delete;
  bool connected() const { return fd_ >= 0; }
  bool closed() const { return closed_ms_.load() >= 0; }
  // Milliseconds from the connect to the server's close; -1 not yet.
  long closed_after_ms() const { return closed_ms_.load(); }

 private:
  void run() {
    const std::string request = "GET /config HTTP/1.0\r\nX-Slow: " + std::string(200, 'a');
    for (size_t i = 0; !stop_; i = (i + 1) % request.size()) {
      if (send(fd_, &request[i], 1, MSG_NOSIGNAL) != 1) break;
      // The second between bytes, watching for the server's close.
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 1000) > 0) {
        char c;
        if (recv(fd_, &c, 1, MSG_DONTWAIT) <= 0) break;
      }
    }
    if (!stop_)
      closed_ms_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start_)
                       .count();
  }

  int fd_;
  std::chrono::steady_clock::time_point start_;
  std::atomic<bool> stop_{false};
  std::atomic<long> closed_ms_{-1};
  std::thread thread_;
};

// Silent connections held open; closed when the object goes.
struct SilentBrowsers {
  std::vector<int> fds;
  SilentBrowsers(int port, int count) {
    for (int i = 0; i < count; ++i) fds.push_back(connect_loopback(static_cast<uint16_t>(port)));
  }
  ~SilentBrowsers() {
    for (int fd : fds)
      if (fd >= 0) close(fd);
  }
  SilentBrowsers(const SilentBrowsers&) = delete;
  SilentBrowsers& operator=(const SilentBrowsers&) = delete;
  bool connected() const {
    for (int fd : fds)
      if (fd < 0) return false;
    return true;
  }
};

// The scenario both programs must pass: a silent browser and a trickling
// one hold connections; every page asked for meanwhile is answered within
// a second; both slow ones are closed at the request deadline (deadline_ms
// after their connect, give or take two seconds).
inline void expect_slow_browsers_hold_up_no_page(int port, int deadline_ms) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  SilentBrowsers silent(port, 1);
  ASSERT_TRUE(silent.connected());
  TricklingBrowser trickling(port);
  ASSERT_TRUE(trickling.connected());
  // Let the server take both before the pages are asked for.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (int i = 0; i < 3; ++i) {
    const auto t0 = Clock::now();
    const HttpAnswer a = http_raw(port, http_get_request("/config"), 5000);
    EXPECT_EQ(a.status, 200) << a.raw;
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1000)) << "page " << i;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  }
  const HttpAnswer end = http_read_answer(silent.fds[0], deadline_ms + 5000);
  const long silent_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_FALSE(end.timed_out) << "the silent browser was not closed";
  EXPECT_EQ(end.raw, "");
  EXPECT_GE(silent_ms, deadline_ms - 500);
  EXPECT_LE(silent_ms, deadline_ms + 2000);
  const auto give_up = Clock::now() + std::chrono::milliseconds(5000);
  while (!trickling.closed() && Clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(trickling.closed()) << "the trickling browser was not closed";
  EXPECT_GE(trickling.closed_after_ms(), deadline_ms - 500);
  EXPECT_LE(trickling.closed_after_ms(), deadline_ms + 2000);
}

// The cap: with places browsers already hold (each silent), one more
// connection is refused at once with "503 Service Unavailable", and once
// one of them goes a page is served again.
inline void expect_browsers_beyond_the_cap_refused(int port, int places) {
  SilentBrowsers held(port, places);
  ASSERT_TRUE(held.connected());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const int extra = connect_loopback(static_cast<uint16_t>(port));
  ASSERT_GE(extra, 0);
  const auto t0 = std::chrono::steady_clock::now();
  const HttpAnswer refused = http_read_answer(extra, 5000);
  close(extra);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
  EXPECT_EQ(refused.status_line, "HTTP/1.0 503 Service Unavailable") << refused.raw;
  EXPECT_FALSE(refused.timed_out);
  close(held.fds.back());
  held.fds.pop_back();
  bool served = false;
  for (int i = 0; i < 20 && !served; ++i) {
    served = http_raw(port, http_get_request("/config"), 5000).status == 200;
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(served);
}

}  // namespace testsupport
