// fault_file.cpp - the in-memory file system with power loss, crash points
// and injected faults (see fault_file.h).
//
// A Node is one file's contents (an inode); names map to nodes twice: as
// they are now, and as the last directory sync of each directory left them
// on the disk. One mutex guards everything; calls wait for holds and sleep
// their delays outside it.
#include "platform/fault_file.h"

#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <random>
#include <set>
#include <thread>

namespace platform {

namespace {

struct Pending {
  uint64_t seq;  // issue order within the file
  uint64_t offset;
  std::vector<uint8_t> bytes;
};

uint64_t tear_size(PowerLoss mode) { return mode == PowerLoss::TearSectors ? 512 : 4096; }

void apply(std::vector<uint8_t>* disk, uint64_t offset, const uint8_t* bytes, size_t n) {
  if (offset + n > disk->size()) disk->resize(offset + n, 0);
  std::memcpy(disk->data() + offset, bytes, n);
}

}  // namespace

struct FaultFileSystem::Node {
  std::vector<uint8_t> data;     // what reads see
  std::vector<uint8_t> durable;  // what the disk holds
  std::vector<Pending> unflushed;
  uint64_t next_seq = 1;
  int writers = 0;
  int readers = 0;  // shared locks (FILE_SHARED)
  int eintr = 0;
  int write_fault = 0;  // fail_file: every write / flush fails with it
  int flush_fault = 0;
  size_t limit = 0;
  uint32_t delay_us = 0;
  uint32_t flush_delay_us = 0;
  bool held = false;
  FaultFileCounts counts;
};

struct FaultFileSystem::Shared {
  mutable std::mutex mutex;
  std::map<std::string, std::shared_ptr<Node>> files;    // names now
  std::map<std::string, std::shared_ptr<Node>> on_disk;  // names a power loss leaves
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
  int waiting_transfers = 0;
  int waiting_flushes = 0;
  std::condition_variable released;
  uint64_t total_flushes = 0;
  FaultDirCounts dir_counts;
  // Crash point: countdown of durable operations, and once it fired, the
  // machine is off: calls go on, the disk no longer changes.
  int crash_countdown = 0;
  int crash_ops = 0;
  PowerLoss crash_mode = PowerLoss::DropUnflushed;
  uint32_t crash_seed = 1;
  bool off = false;
  std::thread::id crash_thread;

  uint64_t used_bytes() const {
    uint64_t n = 0;
    for (const auto& [name, node] : files) n += node->data.size();
    return n;
  }

  // Every node a name now or on the disk refers to, each once.
  std::set<Node*> all_nodes() const {
    std::set<Node*> nodes;
    for (const auto& [name, node] : files) nodes.insert(node.get());
    for (const auto& [name, node] : on_disk) nodes.insert(node.get());
    return nodes;
  }

  // The disk as a power loss now leaves it: unflushed writes dropped or
  // torn into the durable contents. Names on the disk stay as synced.
  void settle_disk(PowerLoss mode, uint32_t seed) {
    std::mt19937 rng(seed);
    const uint64_t piece = tear_size(mode);
    if (mode == PowerLoss::KillProcess) on_disk = files;
    for (Node* node : all_nodes()) {
      if (mode == PowerLoss::KillProcess) {
        for (const Pending& p : node->unflushed)
          apply(&node->durable, p.offset, p.bytes.data(), p.bytes.size());
      } else if (mode != PowerLoss::DropUnflushed) {
        for (const Pending& p : node->unflushed) {
          uint64_t pos = p.offset;
          const uint64_t end = p.offset + p.bytes.size();
          while (pos < end) {
            const uint64_t piece_end = std::min(end, (pos / piece + 1) * piece);
            if (rng() & 1) {
              const uint8_t* src = p.bytes.data() + (pos - p.offset);
              if (piece_end > node->durable.size()) node->durable.resize(piece_end, 0);
              std::memcpy(node->durable.data() + pos, src, piece_end - pos);
            }
            pos = piece_end;
          }
        }
      }
      node->unflushed.clear();
    }
  }

  // One operation that changes the disk (a write, a flush, a directory
  // change or sync) is about to happen: fire the crash point when due.
  void durable_op() {
    if (off || crash_countdown <= 0) return;
    ++crash_ops;
    if (--crash_countdown == 0) {
      settle_disk(crash_mode, crash_seed);
      off = true;
      crash_thread = std::this_thread::get_id();
    }
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

std::string parent_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

class FaultFile final : public File {
 public:
  FaultFile(const char* path, std::shared_ptr<Shared> shared, std::shared_ptr<Node> node,
            bool writer, bool reader = false)
      : File(path), shared_(std::move(shared)), node_(std::move(node)), writer_(writer),
        reader_(reader) {
    epoch_ = shared_->epoch;
  }
  ~FaultFile() override { close(); }

  int close() override {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (closed_) return 0;
    closed_ = true;
    if (writer_ && epoch_ == shared_->epoch) --node_->writers;
    if (reader_ && epoch_ == shared_->epoch) --node_->readers;
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
    if (node_->write_fault != 0) return fail(node_->write_fault);
    shared_->durable_op();
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
    Pending p{node_->next_seq++, offset, std::vector<uint8_t>(want)};
    size_t done = 0;
    for (int i = 0; i < count && done < want; ++i) {
      size_t n = std::min(iov[i].iov_len, want - done);
      std::memcpy(p.bytes.data() + done, iov[i].iov_base, n);
      done += n;
    }
    std::memcpy(d.data() + offset, p.bytes.data(), want);
    // With the power off the program runs on, but the disk has stopped.
    if (!shared_->off) node_->unflushed.push_back(std::move(p));
    return static_cast<ssize_t>(want);
  }

  int raw_fdatasync() override {
    uint64_t covered = 0;
    if (int err = begin(Call::Flush, 0, &covered)) return fail(err);
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (dead()) return fail(EIO);
    ++node_->counts.flushes;
    ++shared_->total_flushes;
    shared_->durable_op();
    std::vector<Pending>& u = node_->unflushed;
    const auto first_later = std::find_if(
        u.begin(), u.end(), [covered](const Pending& p) { return p.seq >= covered; });
    const int fault = countdown_hits(&shared_->flush_countdown) ? shared_->flush_err
                                                                  : node_->flush_fault;
    if (fault != 0) {
      // As on Linux: the failed write-back is forgotten, the data stays
      // readable but will not survive a power loss.
      u.erase(u.begin(), first_later);
      return fail(fault);
    }
    // Only the writes done when the flush began, and only those still
    // waiting: writes whose write-back failed earlier stay lost.
    for (auto it = u.begin(); it != first_later; ++it)
      apply(&node_->durable, it->offset, it->bytes.data(), it->bytes.size());
    u.erase(u.begin(), first_later);
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
  // then the wait while transfers are held, then the file's delay. A flush
  // learns here which writes it covers: those done before it began.
  int begin(Call call, int flags, uint64_t* covered = nullptr) {
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
      auto holding = [this, transfer] {
        return transfer ? shared_->held || node_->held : shared_->flushes_held;
      };
      if ((flags & RWF_NOWAIT) &&
          (!shared_->nowait || node_->delay_us > 0 || (transfer && holding())))
        return EAGAIN;
      if (covered) *covered = node_->next_seq;
      if (holding()) {
        int& waiting = transfer ? shared_->waiting_transfers : shared_->waiting_flushes;
        ++waiting;
        shared_->released.wait(lock, [&] { return !holding(); });
        --waiting;
      }
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
  const bool reader_;
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
    shared_->durable_op();
    ++shared_->dir_counts.changes;
    it = shared_->files.emplace(path, std::make_shared<Node>()).first;
  } else if ((flags & FILE_CREATE) && (flags & FILE_EXCL)) {
    return EEXIST;
  }
  const bool writer = flags & FILE_WRITE;
  const bool reader = !writer && (flags & FILE_SHARED);
  if ((writer || reader) && it->second->writers > 0) return EBUSY;
  if (writer && it->second->readers > 0) return EBUSY;
  if (writer) ++it->second->writers;
  if (reader) ++it->second->readers;
  *out = new FaultFile(path, shared_, it->second, writer, reader);
  return 0;
}

int FaultFileSystem::rename(const char* from, const char* to) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  auto it = shared_->files.find(from);
  if (it == shared_->files.end()) return ENOENT;
  if (std::string(from) == to) return 0;
  shared_->durable_op();
  ++shared_->dir_counts.changes;
  std::shared_ptr<Node> node = it->second;
  shared_->files.erase(it);
  shared_->files[to] = std::move(node);
  return 0;
}

int FaultFileSystem::remove(const char* path) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  auto it = shared_->files.find(path);
  if (it == shared_->files.end()) return ENOENT;
  shared_->durable_op();
  ++shared_->dir_counts.changes;
  // Open handles keep the contents, as on a real system.
  shared_->files.erase(it);
  return 0;
}

int FaultFileSystem::sync_dir(const char* dir) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->durable_op();
  ++shared_->dir_counts.syncs;
  if (shared_->off) return 0;
  const std::string d = dir;
  for (auto it = shared_->on_disk.begin(); it != shared_->on_disk.end();) {
    if (parent_of(it->first) == d && shared_->files.count(it->first) == 0)
      it = shared_->on_disk.erase(it);
    else
      ++it;
  }
  for (const auto& [name, node] : shared_->files)
    if (parent_of(name) == d) shared_->on_disk[name] = node;
  return 0;
}

bool FaultFileSystem::exists(const std::string& path) const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->files.count(path) != 0;
}

bool FaultFileSystem::durable_exists(const std::string& path) const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->on_disk.count(path) != 0;
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
  shared_->files[path] = node;
  shared_->on_disk[path] = std::move(node);
}

void FaultFileSystem::remove_file(const std::string& path) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->files.erase(path);
  shared_->on_disk.erase(path);
}

void FaultFileSystem::lose_power(PowerLoss mode, uint32_t seed) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  // After a crash point the disk settled then; nothing since reached it.
  if (!shared_->off) shared_->settle_disk(mode, seed);
  shared_->files = shared_->on_disk;
  for (auto& [name, node] : shared_->files) {
    node->data = node->durable;
    node->writers = 0;
    node->readers = 0;
    node->eintr = 0;
  }
  shared_->off = false;
  shared_->crash_countdown = 0;
  ++shared_->epoch;
}

void FaultFileSystem::crash_at(int nth, PowerLoss mode, uint32_t seed) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->crash_countdown = nth;
  shared_->crash_ops = 0;
  shared_->crash_mode = mode;
  shared_->crash_seed = seed;
}

bool FaultFileSystem::crashed() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->off;
}

std::thread::id FaultFileSystem::crash_thread() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->crash_thread;
}

int FaultFileSystem::crash_ops() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->crash_ops;
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

void FaultFileSystem::hold_file(const std::string& path, bool on) {
  with_node(shared_.get(), path, [&](Node& n) { n.held = on; });
  shared_->released.notify_all();
}

int FaultFileSystem::held_transfers() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->waiting_transfers;
}

int FaultFileSystem::held_flushes() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->waiting_flushes;
}

void FaultFileSystem::inject_eintr(const std::string& path, int n) {
  with_node(shared_.get(), path, [&](Node& node) { node.eintr = n; });
}

void FaultFileSystem::fail_file(const std::string& path, int write_err, int flush_err) {
  with_node(shared_.get(), path, [&](Node& node) {
    node.write_fault = write_err;
    node.flush_fault = flush_err;
  });
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

FaultDirCounts FaultFileSystem::dir_counts() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->dir_counts;
}

}  // namespace platform
