// ipc_record.h - the record a client handler uses to ask its parent
// something: one shared mapping (a memfd) that the parent makes and every
// handler inherits by descriptor number.
//
// Ownership: the parent creates and finally unmaps the record; a handler
// maps it for its life. The robust, process-shared mutex lets one handler
// at a time fill the request fields; the request semaphore wakes the
// parent's single IPC thread, the reply semaphore wakes the handler. Every
// wait is bounded (kIpcWaitMs), a handler that dies holding the mutex hands
// it on (the next one takes it as "owner died"), and a request number
// written as a sequence lock lets the parent see a torn request and lets a
// handler tell its own reply from a late reply to an earlier request.
//
// The fields from the request type on are those a request carries: type,
// key (the handler's process id), result (-1 pending or failed, 0 done),
// and a 260-byte payload encoded field by field in native little-endian
// order.
#pragma once
#include <pthread.h>
#include <semaphore.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace zentsd {

enum IpcType : uint32_t {
  IPC_CHILD = 0,     // the connection's peer and platform
  IPC_USER = 1,      // the user logged on: user id and account
  IPC_NEWCHILD = 2,  // watch this process (zentcore) instead of the handler
  IPC_LOGON = 3,     // a logon's outcome; the answer to a failure is its delay
};

inline constexpr size_t kIpcPayloadSize = 260;
inline constexpr size_t kIpcHostSize = 64;
inline constexpr size_t kIpcPlatformSize = 24;
inline constexpr size_t kIpcUserIdSize = 64;
inline constexpr size_t kIpcAccountSize = 128;
// Longest wait of a handler for the lock and for its reply.
inline constexpr int kIpcWaitMs = 10000;

struct IpcRecord {
  pthread_mutex_t lock;          // one request at a time
  sem_t request;                 // posted by a handler
  sem_t reply;                   // posted by the parent
  std::atomic<uint32_t> seq;     // odd while a handler writes, even when whole
  std::atomic<uint64_t> answer;  // request number << 32 | result
  uint32_t type;
  int32_t key;
  int32_t result;
  uint8_t payload[kIpcPayloadSize];
};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "the answer is shared between processes");

// A request as the parent copied it out of the record.
struct IpcRequest {
  uint32_t seq;
  uint32_t type;
  int32_t key;
  uint8_t payload[kIpcPayloadSize];
};

// Payloads.
struct IpcChildInfo {
  uint32_t peer_addr;  // IPv4, host order
  char host[kIpcHostSize];
  char platform[kIpcPlatformSize];
};
struct IpcUserInfo {
  char user_id[kIpcUserIdSize];
  char account[kIpcAccountSize];
};
struct IpcLogonInfo {
  uint32_t peer_addr;  // IPv4, host order
  uint32_t failed;     // 0 succeeded, 1 failed
  char user_id[kIpcUserIdSize];
};

// Encoders cut texts to their field (zero-terminated) and zero the rest of
// the payload; decoders always terminate.
void ipc_encode_child(const char* host, uint32_t peer_addr, const char* platform,
                      uint8_t out[kIpcPayloadSize]);
void ipc_decode_child(const uint8_t in[kIpcPayloadSize], IpcChildInfo* out);
void ipc_encode_user(const char* user_id, const char* account, uint8_t out[kIpcPayloadSize]);
void ipc_decode_user(const uint8_t in[kIpcPayloadSize], IpcUserInfo* out);
void ipc_encode_logon(uint32_t peer_addr, bool failed, const char* user_id, uint8_t out[kIpcPayloadSize]);
void ipc_decode_logon(const uint8_t in[kIpcPayloadSize], IpcLogonInfo* out);
void ipc_encode_newchild(pid_t pid, uint8_t out[kIpcPayloadSize]);
pid_t ipc_decode_newchild(const uint8_t in[kIpcPayloadSize]);

// Parent: a fresh record in a memfd (close-on-exec; the spawn passes it).
// The mapping, or none with errno after logging which step failed; *fd
// gets the descriptor.
IpcRecord* ipc_record_create(int* fd);
// Handler: maps the inherited descriptor. None with errno.
IpcRecord* ipc_record_map(int fd);
void ipc_record_unmap(IpcRecord* rec);

// Handler: one request, waiting at most kIpcWaitMs in all for the lock and
// the reply. The parent's result (0 done, -1 refused), or -1 after logging
// a failed or timed-out wait.
int ipc_call(IpcRecord* rec, uint32_t type, int32_t key, const uint8_t payload[kIpcPayloadSize]);
// The same with waits of at most wait_ms each.
int ipc_call_within(IpcRecord* rec, uint32_t type, int32_t key, const uint8_t payload[kIpcPayloadSize],
                    int wait_ms);

// Parent, IPC thread: waits for the next request. 1 with *out filled; 0
// when woken without a whole new request (a torn or repeated one, or
// ipc_wake); -1 when the wait failed (errno).
int ipc_next_request(IpcRecord* rec, uint32_t* last_seq, IpcRequest* out);
// Parent: answers request seq with result and wakes the handler.
void ipc_answer(IpcRecord* rec, uint32_t seq, int32_t result);
// Parent: wakes the IPC thread (it then sees its stop flag).
void ipc_wake(IpcRecord* rec);

}  // namespace zentsd
