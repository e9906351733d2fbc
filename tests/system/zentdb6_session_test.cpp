// zentdb6 as a process serving clients over TCP: many clients at once, many
// clients still connected when the server is stopped, and a client that
// stops in the middle of a frame while the others are served.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/net_util.h"
#include "support/process_runner.h"
#include "support/server_process.h"
#include "support/server_volumes.h"
#include "support/volume_fixture.h"
#include "support/zent_client.h"

namespace {

const std::string kServer = ZENTDB6_PATH;
using testsupport::ZentClient;
using Clock = std::chrono::steady_clock;

// A running server with 64 worker slots and a frame time-out of 1 second.
class ServingServer : public testsupport::ServerProcessFixture {
 protected:
  void SetUp() override {
    ServerProcessFixture::SetUp();
    write_config("Timeout = 1\n\n[Config]\nThreads = 64\n\n[Volumes]\n" +
                 testsupport::write_server_volumes(dir_.file("root.vol")));
    start_server("D1P1");
  }
  // Connects (retrying while the listen socket comes up) and shakes hands.
  bool open_session(ZentClient& c, testsupport::StartupReply* reply = nullptr) {
    return connect_client(c, reply);
  }
};

TEST_F(ServingServer, SixtyClientsAtOnce) {
  constexpr int kClients = 60;
  constexpr int kNoops = 20;
  std::atomic<int> ready{0};
  std::atomic<int> failures{0};
  std::mutex m;
  std::set<std::string> challenges;
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      ZentClient c;
      testsupport::StartupReply reply;
      if (!open_session(c, &reply)) {
        ++failures;
        ++ready;
        return;
      }
      {
        std::lock_guard<std::mutex> lock(m);
        challenges.insert(reply.challenge);
      }
      // Every client is connected before any sends its requests.
      ++ready;
      while (ready < kClients) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      for (int n = 0; n < kNoops; ++n)
        if (!c.noop(static_cast<uint16_t>(i * 100 + n))) {
          ++failures;
          return;
        }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(challenges.size(), static_cast<size_t>(kClients));
}

// Thirty clients served at once and all still connected when SIGTERM comes:
// the signal reaches the shutdown task through the kernel's mailbox, every
// session is closed and ends before the kernel stops, and the server ends in
// order without waiting out the sessions' time limit. (The ThreadSanitizer
// build runs this one: the frame thread, the select and timer threads and
// the workers all take part.)
TEST_F(ServingServer, ThirtyClientsStillConnectedAtSigtermAreClosedInOrder) {
  constexpr int kClients = 30;
  constexpr int kNoops = 10;
  std::vector<ZentClient> clients(kClients);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      if (!open_session(clients[static_cast<size_t>(i)])) {
        ++failures;
        return;
      }
      for (int n = 0; n < kNoops; ++n)
        if (!clients[static_cast<size_t>(i)].noop(static_cast<uint16_t>(i * 100 + n))) {
          ++failures;
          return;
        }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_EQ(failures.load(), 0);

  const auto stop = Clock::now();
  TearDown();  // SIGTERM, then exit status 0
  server_.reset();
  EXPECT_LT(Clock::now() - stop, std::chrono::seconds(9)) << log_;
  for (ZentClient& c : clients) EXPECT_TRUE(c.closed_without_reply(5000));
  EXPECT_EQ(log_.find("did not end at shutdown"), std::string::npos) << log_;
  EXPECT_NE(log_.find("QX Zentrim data base server terminated"), std::string::npos) << log_;
}

// SIGTERM while clients keep connecting, shaking hands and closing: a
// session whose set-up (its transaction-log node) the shutdown cuts gives up
// cleanly, the server ends with status 0, and the next start finds the set
// whole. Each round stops at another moment of the set-ups under way.
TEST_F(ServingServer, SigtermWhileClientsConnectEndsInOrder) {
  constexpr int kThreads = 8;
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::atomic<bool> stop{false};
    std::atomic<int> handshakes{0};
    std::vector<std::thread> threads;
    const testsupport::Bytes hello =
        testsupport::frame(testsupport::encode_startup(testsupport::StartupMessage{}));
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&] {
        while (!stop) {
          ZentClient c;
          if (!c.connect(static_cast<uint16_t>(port_))) continue;
          if (c.send_raw(hello)) ++handshakes;
        }
      });
    }
    // The server busy setting sessions up and ending them for a while.
    while (handshakes < kThreads * 8)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + 150 * round));
    TearDown();  // SIGTERM, then exit status 0
    stop = true;
    for (auto& t : threads) t.join();
    ASSERT_FALSE(HasFailure());
    EXPECT_EQ(log_.find("server panic"), std::string::npos) << log_;
    EXPECT_NE(log_.find("QX Zentrim data base server terminated"), std::string::npos) << log_;
    // The set opens again and serves.
    start_server("D1P1");
    ZentClient c;
    ASSERT_TRUE(open_session(c));
    EXPECT_TRUE(c.noop(1));
  }
}

TEST_F(ServingServer, AClientStalledMidFrameHoldsUpNobody) {
  ZentClient stalled;
  ASSERT_TRUE(open_session(stalled));
  const testsupport::Bytes frame = testsupport::frame(testsupport::encode_request(1, 1));
  ASSERT_TRUE(stalled.send_raw(frame.data(), 3));  // part of the length word
  const auto stalled_at = Clock::now();

  std::vector<std::thread> others;
  std::atomic<int> failures{0};
  std::atomic<int64_t> slowest_ms{0};
  for (int i = 0; i < 4; ++i) {
    others.emplace_back([&] {
      ZentClient c;
      if (!open_session(c)) {
        ++failures;
        return;
      }
      for (uint16_t id = 1; id <= 50; ++id) {
        const auto t0 = Clock::now();
        if (!c.noop(id)) {
          ++failures;
          return;
        }
        const int64_t ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
        int64_t seen = slowest_ms;
        while (ms > seen && !slowest_ms.compare_exchange_weak(seen, ms)) {
        }
      }
    });
  }
  for (auto& t : others) t.join();
  EXPECT_EQ(failures.load(), 0);
  // Far below the one-second time-out: nobody waited for the stalled client.
  EXPECT_LT(slowest_ms.load(), 500);
  EXPECT_TRUE(stalled.closed_without_reply(10000));
  EXPECT_GE(Clock::now() - stalled_at, std::chrono::milliseconds(900));
  TearDown();
  server_.reset();
  EXPECT_NE(log_.find("Receive time-out in the middle of a message"), std::string::npos) << log_;
}

// Connections that never send a byte must not keep the places of the
// select thread's set for ever: each is closed once the frame time-out has
// passed without a handshake, and a new client then gets in. A connection
// past its handshake may stay idle.
TEST_F(ServingServer, SilentConnectionsAreClosedAndANewClientGetsIn) {
  ZentClient established;
  ASSERT_TRUE(open_session(established));
  // With the listen socket, the select thread's set is full.
  constexpr int kSilent = 62;
  std::vector<std::unique_ptr<ZentClient>> silent;
  for (int i = 0; i < kSilent; ++i) {
    silent.push_back(std::make_unique<ZentClient>());
    ASSERT_TRUE(silent.back()->connect(static_cast<uint16_t>(port_))) << i;
  }
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  for (auto& c : silent) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    ASSERT_TRUE(c->closed_without_reply(static_cast<int>(left > 1 ? left : 1)));
  }
  ZentClient late;
  EXPECT_TRUE(open_session(late));
  EXPECT_TRUE(late.noop(1));
  EXPECT_TRUE(established.noop(2));
  TearDown();
  server_.reset();
  EXPECT_NE(log_.find("Handshake time-out - dropping connection"), std::string::npos) << log_;
}

}  // namespace
