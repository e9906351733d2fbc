// fault_file.cpp - the in-memory file system with power loss and injected
// faults (see fault_file.h).
#include "platform/fault_file.h"

#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <random>
#include <thread>

namespace platform {

namespace {
constexpr uint64_t kTearSize = 4096;

struct Pending {
  uint64_t offset;
  std::vector<uint8_t> bytes;
};
}  // namespace

struct FaultFileSystem::Node {
  std::vector<uint8_t> data;     // what reads see
  std::vector<uint8_t> durable;  // what the disk holds
  std::vector<Pending> unflushed;
  int writers = 0;
  int eintr = 0;
  size_t limit = 0;
  uint32_t delay_us = 0;
  uint32_t flush_delay_us = 0;
  FaultFileCounts counts;
};

struct FaultFileSystem::Shared {
  mutable std::mutex mutex;
  std::map<std::string, std::shared_ptr<Node>> files;
  uint64_t epoch = 1;
  int write_countdown = 0;
  int write_err = 0;
  int flush_countdown = 0;
  int flush_err = 0;
  uint64_t capacity = 0;
  uint64_t max_file_size = 0;
  bool nowait = true;
  bool held = false;
  bool flushes_held = false;
  std::condition_variable released;
  uint64_t total_flushes = 0;

  uint64_t used_bytes() const {
    uint64_t n = 0;
    for (const auto& [name, node] : files) n += node->data.size();
    return n;
  }
};

namespace {

using Node = FaultFileSystem::Node;
using Shared = FaultFileSystem::Shared;

// Takes one count off a countdown; true when it reaches the call to fail.
bool countdown_hits(int* countdown) {
  if (*countdown <= 0) return false;
  return --*countdown == 0;
}

void apply(std::vector<uint8_t>* disk, uint64_t offset, const uint8_t* bytes, size_t n) {
  if (offset + n > disk->size()) disk->resize(offset + n, 0);
  std::memcpy(disk->data() + offset, bytes, n);
}

class FaultFile final : public File {
 public:
  FaultFile(const char* path, std::shared_ptr<Shared> shared, std::shared_ptr<Node> node,
            bool writer)
      : File(path), shared_(std::move(shared)), node_(std::move(node)), writer_(writer) {
    epoch_ = shared_->epoch;
  }
  ~FaultFile() override { close(); }

  int close() override {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (closed_) return 0;
    closed_ = true;
    if (writer_ && epoch_ == shared_->epoch) --node_->writers;
    return 0;
  }

 protected:
  ssize_t raw_preadv(const struct iovec* iov, int count, uint64_t offset, int flags) override {
    if (int err = begin(Call::Read, flags)) return fail(err);
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (dead()) return fail(EIO);
    ++node_->counts.reads;
    const std::vector<uint8_t>& d = node_->data;
    size_t moved = 0;
    size_t budget = node_->limit ? node_->limit : SIZE_MAX;
    uint64_t pos = offset;
    for (int i = 0; i < count && budget > 0 && pos < d.size(); ++i) {
      size_t n = std::min<uint64_t>({iov[i].iov_len, budget, d.size() - pos});
      std::memcpy(iov[i].iov_base, d.data() + pos, n);
      moved += n;
      budget -= n;
      pos += n;
      if (n < iov[i].iov_len) break;
    }
    return static_cast<ssize_t>(moved);
  }

  ssize_t raw_pwritev(const struct iovec* iov, int count, uint64_t offset, int flags) override {
    if (int err = begin(Call::Write, flags)) return fail(err);
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (dead()) return fail(EIO);
    ++node_->counts.writes;
    if (countdown_hits(&shared_->write_countdown)) return fail(shared_->write_err);
    size_t want = 0;
    for (int i = 0; i < count; ++i) want += iov[i].iov_len;
    if (node_->limit) want = std::min(want, node_->limit);
    // Space: a write that would pass a bound is cut at it; one that cannot
    // move anything fails.
    std::vector<uint8_t>& d = node_->data;
    uint64_t end = offset + want;
    if (shared_->max_file_size && end > shared_->max_file_size) {
      if (offset >= shared_->max_file_size) return fail(EFBIG);
      want = shared_->max_file_size - offset;
      end = offset + want;
    }
    if (shared_->capacity && end > d.size()) {
      uint64_t used = shared_->used_bytes();
      uint64_t room = shared_->capacity > used ? shared_->capacity - used : 0;
      if (end - d.size() > room) {
        uint64_t limit_end = d.size() + room;
        if (offset >= limit_end) return fail(ENOSPC);
        want = limit_end - offset;
        end = limit_end;
      }
    }
    if (end > d.size()) d.resize(end, 0);
    Pending p{offset, std::vector<uint8_t>(want)};
    size_t done = 0;
    for (int i = 0; i < count && done < want; ++i) {
      size_t n = std::min(iov[i].iov_len, want - done);
      std::memcpy(p.bytes.data() + done, iov[i].iov_base, n);
      done += n;
    }
    std::memcpy(d.data() + offset, p.bytes.data(), want);
    node_->unflushed.push_back(std::move(p));
    return static_cast<ssize_t>(want);
  }

  int raw_fdatasync() override {
    if (int err = begin(Call::Flush, 0)) return fail(err);
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (dead()) return fail(EIO);
    ++node_->counts.flushes;
    ++shared_->total_flushes;
    if (countdown_hits(&shared_->flush_countdown)) {
      // As on Linux: the failed write-back is forgotten, the data stays
      // readable but will not survive a power loss.
      node_->unflushed.clear();
      return fail(shared_->flush_err);
    }
    // Only what is still waiting reaches the disk: writes whose write-back
    // failed earlier stay lost.
    for (const Pending& p : node_->unflushed)
      apply(&node_->durable, p.offset, p.bytes.data(), p.bytes.size());
    node_->unflushed.clear();
    return 0;
  }

  int raw_info(FileInfo* out) override {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (dead()) return fail(EIO);
    out->size = node_->data.size();
    out->kind = FileKind::Regular;
    return 0;
  }

 private:
  bool dead() const { return closed_ || epoch_ != shared_->epoch; }

  static int fail(int err) {
    errno = err;
    return -1;
  }

  enum class Call { Read, Write, Flush };

  // What every call does first: the checks (0 to go on, or an errno value),
  // then the wait while transfers are held, then the file's delay.
  int begin(Call call, int flags) {
    uint32_t delay;
    {
      std::unique_lock<std::mutex> lock(shared_->mutex);
      if (closed_) return EBADF;
      if (epoch_ != shared_->epoch) return EIO;
      if (call == Call::Write && !writer_) return EBADF;
      if (node_->eintr > 0) {
        --node_->eintr;
        return EINTR;
      }
      const bool transfer = call != Call::Flush;
      if ((flags & RWF_NOWAIT) &&
          (!shared_->nowait || node_->delay_us > 0 || (transfer && shared_->held)))
        return EAGAIN;
      shared_->released.wait(lock, [this, transfer] {
        return !(transfer ? shared_->held : shared_->flushes_held);
      });
      delay = transfer ? node_->delay_us : node_->flush_delay_us;
    }
    pause(delay);
    return 0;
  }

  static void pause(uint32_t micros) {
    if (micros) std::this_thread::sleep_for(std::chrono::microseconds(micros));
  }

  std::shared_ptr<Shared> shared_;
  std::shared_ptr<Node> node_;
  const bool writer_;
  uint64_t epoch_;
  bool closed_ = false;
};

}  // namespace

FaultFileSystem::FaultFileSystem() : shared_(std::make_shared<Shared>()) {}
FaultFileSystem::~FaultFileSystem() = default;

int FaultFileSystem::open(const char* path, unsigned flags, File** out) {
  *out = nullptr;
  std::lock_guard<std::mutex> lock(shared_->mutex);
  auto it = shared_->files.find(path);
  if (it == shared_->files.end()) {
    if (!(flags & FILE_CREATE)) return ENOENT;
    it = shared_->files.emplace(path, std::make_shared<Node>()).first;
  } else if ((flags & FILE_CREATE) && (flags & FILE_EXCL)) {
    return EEXIST;
  }
  const bool writer = flags & FILE_WRITE;
  if (writer) {
    if (it->second->writers > 0) return EBUSY;
    ++it->second->writers;
  }
  *out = new FaultFile(path, shared_, it->second, writer);
  return 0;
}

bool FaultFileSystem::exists(const std::string& path) const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->files.count(path) != 0;
}

std::vector<uint8_t> FaultFileSystem::contents(const std::string& path) const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  auto it = shared_->files.find(path);
  return it == shared_->files.end() ? std::vector<uint8_t>() : it->second->data;
}

std::vector<uint8_t> FaultFileSystem::durable_contents(const std::string& path) const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  auto it = shared_->files.find(path);
  return it == shared_->files.end() ? std::vector<uint8_t>() : it->second->durable;
}

void FaultFileSystem::put_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  auto node = std::make_shared<Node>();
  node->data = bytes;
  node->durable = bytes;
  shared_->files[path] = std::move(node);
}

void FaultFileSystem::remove_file(const std::string& path) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->files.erase(path);
}

void FaultFileSystem::lose_power(PowerLoss mode, uint32_t seed) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  std::mt19937 rng(seed);
  for (auto& [name, node] : shared_->files) {
    if (mode == PowerLoss::TearUnflushed) {
      for (const Pending& p : node->unflushed) {
        uint64_t pos = p.offset;
        const uint64_t end = p.offset + p.bytes.size();
        while (pos < end) {
          uint64_t piece_end = std::min(end, (pos / kTearSize + 1) * kTearSize);
          if (rng() & 1)
            apply(&node->durable, pos, p.bytes.data() + (pos - p.offset), piece_end - pos);
          pos = piece_end;
        }
      }
    }
    node->data = node->durable;
    node->unflushed.clear();
    node->writers = 0;
    node->eintr = 0;
  }
  ++shared_->epoch;
}

void FaultFileSystem::fail_write(int nth, int err) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->write_countdown = nth;
  shared_->write_err = err;
}

void FaultFileSystem::fail_flush(int nth, int err) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->flush_countdown = nth;
  shared_->flush_err = err;
}

void FaultFileSystem::set_capacity(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->capacity = bytes;
}

void FaultFileSystem::set_max_file_size(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->max_file_size = bytes;
}

namespace {
template <typename F>
void with_node(Shared* s, const std::string& path, F f) {
  std::lock_guard<std::mutex> lock(s->mutex);
  auto it = s->files.find(path);
  if (it != s->files.end()) f(*it->second);
}
}  // namespace

void FaultFileSystem::set_delay_us(const std::string& path, uint32_t micros) {
  with_node(shared_.get(), path, [&](Node& n) { n.delay_us = micros; });
}

void FaultFileSystem::set_flush_delay_us(const std::string& path, uint32_t micros) {
  with_node(shared_.get(), path, [&](Node& n) { n.flush_delay_us = micros; });
}

void FaultFileSystem::hold_transfers(bool on) {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->held = on;
  }
  shared_->released.notify_all();
}

void FaultFileSystem::hold_flushes(bool on) {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->flushes_held = on;
  }
  shared_->released.notify_all();
}

void FaultFileSystem::inject_eintr(const std::string& path, int n) {
  with_node(shared_.get(), path, [&](Node& node) { node.eintr = n; });
}

void FaultFileSystem::limit_transfer(const std::string& path, size_t max_bytes) {
  with_node(shared_.get(), path, [&](Node& n) { n.limit = max_bytes; });
}

void FaultFileSystem::set_nowait(bool on) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->nowait = on;
}

FaultFileCounts FaultFileSystem::counts(const std::string& path) const {
  FaultFileCounts c;
  with_node(shared_.get(), path, [&](Node& n) { c = n.counts; });
  return c;
}

uint64_t FaultFileSystem::total_flushes() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->total_flushes;
}

}  // namespace platform
