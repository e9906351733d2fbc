// ipc_record.cpp - the shared request record: creation, mapping, payload
// coding, the handler's bounded request and the parent's side (see
// ipc_record.h).
#include "daemon/ipc_record.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

#include "base/debug_log.h"

#if defined(ZENT_TSAN)
#include <sanitizer/tsan_interface.h>
#endif

namespace zentsd {

namespace {

void put_u32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t get_u32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// A text into a field of size bytes, cut to size - 1 and zero-filled.
void put_text(uint8_t* p, size_t size, const char* text) {
  memset(p, 0, size);
  if (text == nullptr) return;
  const size_t n = strnlen(text, size - 1);
  memcpy(p, text, n);
}

void get_text(const uint8_t* p, size_t size, char* out) {
  memcpy(out, p, size);
  out[size - 1] = '\0';
}

// The absolute time ms from now on the clock the timed waits use.
timespec deadline_in(int ms) {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  t.tv_sec += ms / 1000;
  t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_nsec -= 1000000000L;
    ++t.tv_sec;
  }
  return t;
}

void log_errno(const char* text, int err) {
  char sys[256];
  debug_log('S', 0, "%s, errno %u: %s", text, static_cast<unsigned>(err),
            strerror_r(err, sys, sizeof sys));
}

// Takes the record's lock; a holder that died hands it on.
int lock_record(IpcRecord* rec, const timespec& until) {
  int rc;
  while ((rc = pthread_mutex_timedlock(&rec->lock, &until)) == EINTR) {
  }
  if (rc == EOWNERDEAD) {
#if defined(ZENT_TSAN)
    // The sanitizer counts only a plain success of a timed lock as taken.
    __tsan_mutex_pre_lock(&rec->lock, __tsan_mutex_try_lock);
    __tsan_mutex_post_lock(&rec->lock, __tsan_mutex_try_lock, 0);
#endif
    debug_log('S', 1, "Inter-process-communication: a client handler died holding the lock");
    pthread_mutex_consistent(&rec->lock);
    return 0;
  }
  return rc;
}

}  // namespace

void ipc_encode_child(const char* host, uint32_t peer_addr, const char* platform,
                      uint8_t out[kIpcPayloadSize]) {
  memset(out, 0, kIpcPayloadSize);
  put_u32(out, peer_addr);
  put_text(out + 4, kIpcHostSize, host);
  put_text(out + 4 + kIpcHostSize, kIpcPlatformSize, platform);
}

void ipc_decode_child(const uint8_t in[kIpcPayloadSize], IpcChildInfo* out) {
  out->peer_addr = get_u32(in);
  get_text(in + 4, kIpcHostSize, out->host);
  get_text(in + 4 + kIpcHostSize, kIpcPlatformSize, out->platform);
}

void ipc_encode_user(const char* user_id, const char* account, uint8_t out[kIpcPayloadSize]) {
  memset(out, 0, kIpcPayloadSize);
  put_text(out, kIpcUserIdSize, user_id);
  put_text(out + kIpcUserIdSize, kIpcAccountSize, account);
}

void ipc_decode_user(const uint8_t in[kIpcPayloadSize], IpcUserInfo* out) {
  get_text(in, kIpcUserIdSize, out->user_id);
  get_text(in + kIpcUserIdSize, kIpcAccountSize, out->account);
}

void ipc_encode_logon(uint32_t peer_addr, bool failed, const char* user_id, uint8_t out[kIpcPayloadSize]) {
  memset(out, 0, kIpcPayloadSize);
  put_u32(out, peer_addr);
  put_u32(out + 4, failed ? 1 : 0);
  put_text(out + 8, kIpcUserIdSize, user_id);
}

void ipc_decode_logon(const uint8_t in[kIpcPayloadSize], IpcLogonInfo* out) {
  out->peer_addr = get_u32(in);
  out->failed = get_u32(in + 4) != 0 ? 1 : 0;
  get_text(in + 8, kIpcUserIdSize, out->user_id);
}

// The first word held the process handle; a process id is all the parent
// needs to open its own descriptor, so it stays 0.
void ipc_encode_newchild(pid_t pid, uint8_t out[kIpcPayloadSize]) {
  memset(out, 0, kIpcPayloadSize);
  put_u32(out + 4, static_cast<uint32_t>(pid));
}

pid_t ipc_decode_newchild(const uint8_t in[kIpcPayloadSize]) {
  return static_cast<pid_t>(get_u32(in + 4));
}

IpcRecord* ipc_record_create(int* fd) {
  const int mfd = memfd_create("zentsd-ipc", MFD_CLOEXEC);
  if (mfd < 0 || ftruncate(mfd, sizeof(IpcRecord)) != 0) {
    const int err = errno;
    log_errno("Unable to create shared memory segment", err);
    if (mfd >= 0) close(mfd);
    errno = err;
    return nullptr;
  }
  void* p = mmap(nullptr, sizeof(IpcRecord), PROT_READ | PROT_WRITE, MAP_SHARED, mfd, 0);
  if (p == MAP_FAILED) {
    const int err = errno;
    log_errno("Unable to map shared memory segment", err);
    close(mfd);
    errno = err;
    return nullptr;
  }
  auto* rec = static_cast<IpcRecord*>(p);
  pthread_mutexattr_t attr;
  int rc = pthread_mutexattr_init(&attr);
  if (rc == 0) rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  if (rc == 0) rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  if (rc == 0) rc = pthread_mutex_init(&rec->lock, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) {
    log_errno("Unable to create shared memory semaphore", rc);
  } else if (sem_init(&rec->request, 1, 0) != 0) {
    rc = errno;
    log_errno("Unable to create shared memory child event", rc);
  } else if (sem_init(&rec->reply, 1, 0) != 0) {
    rc = errno;
    log_errno("Unable to create shared memory parent event", rc);
  }
  if (rc != 0) {
    munmap(p, sizeof(IpcRecord));
    close(mfd);
    errno = rc;
    return nullptr;
  }
  new (&rec->seq) std::atomic<uint32_t>(0);
  new (&rec->answer) std::atomic<uint64_t>(0);
  rec->result = -1;
  *fd = mfd;
  return rec;
}

IpcRecord* ipc_record_map(int fd) {
  void* p = mmap(nullptr, sizeof(IpcRecord), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return p == MAP_FAILED ? nullptr : static_cast<IpcRecord*>(p);
}

void ipc_record_unmap(IpcRecord* rec) {
  if (rec != nullptr) munmap(rec, sizeof(IpcRecord));
}

int ipc_call(IpcRecord* rec, uint32_t type, int32_t key, const uint8_t payload[kIpcPayloadSize]) {
  return ipc_call_within(rec, type, key, payload, kIpcWaitMs);
}

int ipc_call_within(IpcRecord* rec, uint32_t type, int32_t key, const uint8_t payload[kIpcPayloadSize],
                    int wait_ms) {
  const timespec until = deadline_in(wait_ms);
  int rc = lock_record(rec, until);
  if (rc != 0) {
    log_errno("Inter-process-communication failed on the record's lock", rc);
    return -1;
  }
  // Replies to earlier requests that timed out are of no use to anyone.
  while (sem_trywait(&rec->reply) == 0) {
  }
  const uint32_t writing = (rec->seq.load(std::memory_order_relaxed) + 1) | 1;
  const uint32_t whole = writing + 1;
  rec->seq.store(writing, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  rec->type = type;
  rec->key = key;
  rec->result = -1;
  memcpy(rec->payload, payload, kIpcPayloadSize);
  rec->seq.store(whole, std::memory_order_release);
  int result = -1;
  if (sem_post(&rec->request) != 0) {
    log_errno("Inter-process-communication failed on the request", errno);
  } else {
    for (;;) {
      if (sem_timedwait(&rec->reply, &until) != 0) {
        if (errno == EINTR) continue;
        log_errno("Inter-process-communication failed on the reply", errno);
        break;
      }
      const uint64_t a = rec->answer.load(std::memory_order_acquire);
      if (static_cast<uint32_t>(a >> 32) != whole) continue;  // a late reply to another request
      result = static_cast<int32_t>(static_cast<uint32_t>(a));
      break;
    }
  }
  pthread_mutex_unlock(&rec->lock);
  return result;
}

int ipc_next_request(IpcRecord* rec, uint32_t* last_seq, IpcRequest* out) {
  while (sem_wait(&rec->request) != 0) {
    if (errno != EINTR) return -1;
  }
  const uint32_t s1 = rec->seq.load(std::memory_order_acquire);
  if ((s1 & 1) != 0 || s1 == *last_seq) return 0;
  out->type = rec->type;
  out->key = rec->key;
  memcpy(out->payload, rec->payload, kIpcPayloadSize);
  std::atomic_thread_fence(std::memory_order_acquire);
  if (rec->seq.load(std::memory_order_relaxed) != s1) return 0;  // a new writer came meanwhile
  out->seq = s1;
  *last_seq = s1;
  return 1;
}

void ipc_answer(IpcRecord* rec, uint32_t seq, int32_t result) {
  rec->result = result;
  rec->answer.store(uint64_t{seq} << 32 | static_cast<uint32_t>(result), std::memory_order_release);
  sem_post(&rec->reply);
}

void ipc_wake(IpcRecord* rec) { sem_post(&rec->request); }

}  // namespace zentsd
