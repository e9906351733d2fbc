// fake_dns.h - a name server on the loopback interface for tests of the
// reverse name lookups: it answers every PTR question with one name, and can
// hold its answers until the test lets them go, or never answer at all.
// Header-only.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class FakeDns {
 public:
  enum class Mode { Answer, Hold, Silent };

  explicit FakeDns(std::string name) : name_(std::move(name)) {
    sock_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (sock_ >= 0 && bind(sock_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        getsockname(sock_, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
      port_ = ntohs(sa.sin_port);
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeDns() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    poke();
    thread_.join();
    close(sock_);
    close(wake_);
  }
  FakeDns(const FakeDns&) = delete;
  FakeDns& operator=(const FakeDns&) = delete;

  // The server list for the resolver: "127.0.0.1:port".
  std::string servers() const { return "127.0.0.1:" + std::to_string(port_); }
  void set_mode(Mode mode) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      mode_ = mode;
    }
    poke();  // held questions are answered once the mode is Answer
  }
  // Waits until n questions have come in; false after timeout_ms.
  bool wait_for_questions(int n, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return questions_ >= n; });
  }

 private:
  struct Held {
    std::vector<uint8_t> query;
    sockaddr_in from;
  };

  void poke() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t rc = write(wake_, &one, sizeof one);
  }

  void serve() {
    for (;;) {
      pollfd fds[2] = {{sock_, POLLIN, 0}, {wake_, POLLIN, 0}};
      poll(fds, 2, -1);
      uint64_t drained;
      [[maybe_unused]] ssize_t rc = read(wake_, &drained, sizeof drained);
      std::vector<Held> to_answer;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return;
        if (mode_ == Mode::Answer) to_answer.swap(held_);
      }
      if (fds[0].revents & POLLIN) {
        Held h;
        h.query.resize(512);
        socklen_t len = sizeof h.from;
        const ssize_t n = recvfrom(sock_, h.query.data(), h.query.size(), 0,
                                   reinterpret_cast<sockaddr*>(&h.from), &len);
        if (n >= 12) {
          h.query.resize(static_cast<size_t>(n));
          std::lock_guard<std::mutex> lock(mutex_);
          ++questions_;
          cv_.notify_all();
          if (mode_ == Mode::Answer) to_answer.push_back(std::move(h));
          else if (mode_ == Mode::Hold) held_.push_back(std::move(h));
        }
      }
      for (const Held& h : to_answer) answer(h);
    }
  }

  // One PTR record with name_ for the question of h.
  void answer(const Held& h) {
    size_t end = 12;
    while (end < h.query.size() && h.query[end] != 0) end += 1 + h.query[end];
    end += 1 + 4;  // the root label, type and class
    if (end > h.query.size()) return;
    std::vector<uint8_t> r(h.query.begin(), h.query.begin() + static_cast<long>(end));
    r[2] = 0x81;  // a response, recursion desired and available, no error
    r[3] = 0x80;
    r[6] = 0, r[7] = 1;  // one answer
    r[8] = r[9] = r[10] = r[11] = 0;
    std::vector<uint8_t> rdata;
    size_t start = 0;
    while (start <= name_.size()) {
      size_t dot = name_.find('.', start);
      if (dot == std::string::npos) dot = name_.size();
      rdata.push_back(static_cast<uint8_t>(dot - start));
      rdata.insert(rdata.end(), name_.begin() + static_cast<long>(start),
                   name_.begin() + static_cast<long>(dot));
      start = dot + 1;
    }
    rdata.push_back(0);
    const uint8_t head[] = {0xc0, 0x0c, 0, 12, 0, 1, 0, 0, 0, 60,
                            static_cast<uint8_t>(rdata.size() >> 8),
                            static_cast<uint8_t>(rdata.size())};
    r.insert(r.end(), head, head + sizeof head);
    r.insert(r.end(), rdata.begin(), rdata.end());
    sendto(sock_, r.data(), r.size(), 0, reinterpret_cast<const sockaddr*>(&h.from), sizeof h.from);
  }

  std::string name_;
  int sock_ = -1;
  int wake_ = -1;
  uint16_t port_ = 0;
  std::mutex mutex_;
  std::condition_variable cv_;
  Mode mode_ = Mode::Answer;
  bool stop_ = false;
  int questions_ = 0;
  std::vector<Held> held_;
  std::thread thread_;
};

}  // namespace testsupport
