// buffer.cpp - the session daemon's message codec (see buffer.h).
#include "daemon/buffer.h"

#include <cstdlib>
#include <cstring>

#include "base/charset.h"
#include "base/debug_log.h"
#include "base/panic.h"
#include "server/tcp.h"

namespace zentsd {

namespace {

void put_be(uint8_t* p, uint32_t v, int n) {
  for (int i = n - 1; i >= 0; --i) {
    p[i] = static_cast<uint8_t>(v);
    v >>= 8;
  }
}

uint32_t get_be(const uint8_t* p, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}

// Both sets known and different: a mapping applies. Until the client names
// its set the texts pass as they are.
bool maps(int from, int to) { return from >= 0 && to >= 0 && from != to; }

}  // namespace

Buffer::~Buffer() {
  ResetSend();
  ResetRecv();
}

int Buffer::SetRemoteCharset(const char* name) {
  remote_charset_ = charset_id(name);
  if (debug_enabled('P', 3))
    debug_log('P', 3, "Buffer::SetRemoteCharset(%s) = %d", LogText(name).c_str(), remote_charset_);
  return remote_charset_;
}

uint8_t* Buffer::Reserve(size_t k) {
  if (send_failed_) return nullptr;
  // Words needed with the length word, by the growth rule: the payload
  // rounded up to words, plus one; new storage is 1024 words beyond that.
  const size_t total = static_cast<size_t>(send_len_) + k;
  const size_t needed = total == 0 ? 1 : (total - 1) / 4 + 2;
  if (needed + 1024 > UINT32_MAX / 4) {
    send_failed_ = true;
    return nullptr;
  }
  if (send_words_ < needed) {
    const size_t words = needed + 1024;
    auto* grown = static_cast<uint32_t*>(malloc(words * 4));
    if (grown == nullptr) {
      debug_log('P', 0, "Buffer: no memory for a message of %zu bytes", send_len_ + k);
      send_failed_ = true;
      return nullptr;
    }
    if (send_ != nullptr) {
      memcpy(grown, send_, 4 + static_cast<size_t>(send_len_));
      free(send_);
    }
    send_ = grown;
    send_words_ = static_cast<uint32_t>(words);
  }
  uint8_t* at = reinterpret_cast<uint8_t*>(send_) + 4 + send_len_;
  send_len_ += static_cast<uint32_t>(k);
  return at;
}

const uint8_t* Buffer::SendPayload() const {
  return send_ ? reinterpret_cast<const uint8_t*>(send_) + 4 : nullptr;
}

int Buffer::PutU8(uint8_t v) {
  uint8_t* p = Reserve(1);
  if (p == nullptr) return -1;
  *p = v;
  return 0;
}

int Buffer::PutU16(uint16_t v) {
  uint8_t* p = Reserve(2);
  if (p == nullptr) return -1;
  put_be(p, v, 2);
  return 0;
}

int Buffer::PutU32(uint32_t v) {
  uint8_t* p = Reserve(4);
  if (p == nullptr) return -1;
  put_be(p, v, 4);
  return 0;
}

int Buffer::PutCounted(const char* text, bool mapped) {
  const size_t len = strlen(text ? text : "");
  if (len >= 0xffff) {
    send_failed_ = true;
    return -1;
  }
  uint8_t* p = Reserve(2 + len + 1);
  if (p == nullptr) return -1;
  put_be(p, static_cast<uint32_t>(len + 1), 2);
  if (len > 0) memcpy(p + 2, text, len);
  p[2 + len] = 0;
  if (mapped && maps(local_charset_, remote_charset_) &&
      zn__charset_map(local_charset_, remote_charset_, p + 2, static_cast<int>(len)) != 0)
    debug_log('P', 1, "Buffer::Put() - zn__charset_map() failed");
  return 0;
}

int Buffer::PutString(const char* text) { return PutCounted(text, true); }
int Buffer::PutRawString(const char* text) { return PutCounted(text, false); }

uint8_t* Buffer::PutObject(uint32_t size) {
  if (size == UINT32_MAX) {
    send_failed_ = true;
    return nullptr;
  }
  uint8_t* p = Reserve(4 + static_cast<size_t>(size) + 1);
  if (p == nullptr) return nullptr;
  put_be(p, size + 1, 4);
  p[4 + size] = 0;
  return p + 4;
}

int Buffer::PutFixed(const void* data, uint32_t n) {
  uint8_t* p = Reserve(n);
  if (p == nullptr) return -1;
  if (n > 0) memcpy(p, data, n);
  return 0;
}

bool Buffer::Fits(size_t k) const {
  return recv_ != nullptr && recv_off_ <= recv_size_ && k <= recv_size_ - recv_off_;
}

bool Buffer::Has(size_t k, const char* what) {
  if (Fits(k)) return true;
  return Fail(what);
}

bool Buffer::Fail(const char* what) {
  debug_log('P', 0, "Unable to decode server message. Expected %s at offset %u", what, recv_off_);
  return false;
}

int Buffer::GetU8(uint8_t* v) {
  if (!Has(1, "8bit Integer")) return -1;
  *v = recv_[recv_off_++];
  return 0;
}

int Buffer::GetU16(uint16_t* v) {
  if (!Has(2, "16bit Integer")) return -1;
  *v = static_cast<uint16_t>(get_be(recv_ + recv_off_, 2));
  recv_off_ += 2;
  return 0;
}

int Buffer::GetU32(uint32_t* v) {
  if (!Has(4, "32bit Integer")) return -1;
  *v = get_be(recv_ + recv_off_, 4);
  recv_off_ += 4;
  return 0;
}

int Buffer::GetCounted(const char** text, bool mapped) {
  if (!Has(2, "String")) return -1;
  const uint32_t n = get_be(recv_ + recv_off_, 2);
  // The count includes the zero byte, which must be there: a string
  // without it would run on into whatever follows.
  if (n == 0 || !Fits(2 + static_cast<size_t>(n)) || recv_[recv_off_ + 2 + n - 1] != 0) {
    Fail("String");
    return -1;
  }
  char* s = reinterpret_cast<char*>(recv_ + recv_off_ + 2);
  recv_off_ += 2 + n;
  if (mapped && maps(remote_charset_, local_charset_) &&
      zn__charset_map(remote_charset_, local_charset_, s, static_cast<int>(n - 1)) != 0)
    debug_log('P', 1, "Buffer::Get() - zn__charset_map() failed");
  *text = s;
  return 0;
}

int Buffer::GetString(const char** text) { return GetCounted(text, true); }
int Buffer::GetRawString(const char** text) { return GetCounted(text, false); }

int Buffer::GetObject(const uint8_t** data, uint32_t* size) {
  if (!Has(4, "Object")) return -1;
  const uint32_t n = get_be(recv_ + recv_off_, 4);
  // Counted in 64 bits: a count near 2^32 must not wrap past the check.
  if (n == 0 || !Fits(4 + static_cast<size_t>(n))) {
    Fail("Object");
    return -1;
  }
  *data = recv_ + recv_off_ + 4;
  *size = n - 1;
  recv_off_ += 4 + n;
  return 0;
}

int Buffer::GetFixed(const uint8_t** data, uint32_t n) {
  if (!Has(n, "Bytes")) return -1;
  *data = recv_ + recv_off_;
  recv_off_ += n;
  return 0;
}

void Buffer::ResetSend() {
  free(send_);
  send_ = nullptr;
  send_len_ = 0;
  send_words_ = 0;
  send_failed_ = false;
}

void Buffer::ResetRecv() {
  free(recv_);
  recv_ = nullptr;
  recv_size_ = 0;
  recv_off_ = 0;
}

uint8_t* Buffer::RecvAlloc(uint32_t n) {
  ZENT_ASSERT(recv_ == nullptr);
  const size_t bytes = (static_cast<size_t>(n) + 3) / 4 * 4;
  recv_ = static_cast<uint8_t*>(malloc(bytes > 0 ? bytes : 4));
  if (recv_ == nullptr) return nullptr;
  recv_size_ = n;
  recv_off_ = 0;
  return recv_;
}

int Buffer::Send(int sock) {
  if (send_failed_) {
    debug_log('P', 0, "Buffer: the reply could not be built - not sent");
    return -1;
  }
  if (send_ == nullptr && Reserve(0) == nullptr) return -1;
  put_be(reinterpret_cast<uint8_t*>(send_), send_len_, 4);
  return tcp_send(sock, send_, static_cast<int>(4 + send_len_));
}

}  // namespace zentsd
