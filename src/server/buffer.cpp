// buffer.cpp - the message codec (see buffer.h and README.md, "Message codec").
//
// All size arithmetic that involves a count from the wire or a size chosen by
// a client is done in 64 bits and compared against what is left, so that no
// sum can wrap into a small area.
#include "server/buffer.h"

#include <bit>
#include <cstdlib>
#include <cstring>

#include "base/charset.h"
#include "base/debug_log.h"
#include "base/panic.h"

namespace {

BufferHeap g_heap = {malloc, realloc};

constexpr uint32_t kSpareWords = 256;  // growth slack: 1024 bytes

uint32_t host_byte_order() {
  return std::endian::native == std::endian::little ? kLittleEndian : kBigEndian;
}

void store16(uint8_t* p, uint16_t v, uint32_t order) {
  if (order == kBigEndian) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
  } else {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
  }
}

void store32(uint8_t* p, uint32_t v, uint32_t order) {
  if (order == kBigEndian) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
  } else {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
  }
}

uint16_t load16(const uint8_t* p, uint32_t order) {
  return order == kBigEndian ? static_cast<uint16_t>(p[0] << 8 | p[1])
                             : static_cast<uint16_t>(p[1] << 8 | p[0]);
}

uint32_t load32(const uint8_t* p, uint32_t order) {
  if (order == kBigEndian)
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
  return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

void log_context(const Buffer* bufp) {
  if (bufp->context != nullptr) debug_log('P', 0, "Occurred during %s", bufp->context);
}

// Translates text in place from one charset id to the other; -1 on failure
// after the failure lines.
int map_text(const Buffer* bufp, int from, int to, uint8_t* text, uint32_t len,
             const char* caller) {
  if (from == to || len == 0) return 0;
  if (zn__charset_map(from, to, text, static_cast<int>(len)) == 0) return 0;
  debug_log('P', 1, "%s - %s failed", caller, "zn__charset_map()");
  if (bufp->context != nullptr) debug_log('P', 1, "Occurred during %s", bufp->context);
  return -1;
}

void free_send_block(Buffer* bufp) {
  if (bufp->send_buf != nullptr && bufp->send_buf != bufp->send_area) free(bufp->send_buf);
  bufp->send_buf = nullptr;
  bufp->send_capacity = 0;
}

void free_recv_block(Buffer* bufp) {
  if (bufp->recv_buf != nullptr && bufp->recv_buf != bufp->recv_area) free(bufp->recv_buf);
  bufp->recv_buf = nullptr;
}

uint8_t* send_failed(Buffer* bufp) {
  debug_log('P', 0, "Buffer allocation failed at size %u", bufp->send_used);
  log_context(bufp);
  bufp->send_alloc_failed = -1;
  return nullptr;
}

// Counts n more outgoing bytes; after a failure the count only has to stay
// monotonic for the failure line, so it saturates instead of wrapping.
void count_used(Buffer* bufp, uint32_t n) {
  const uint64_t used = uint64_t{bufp->send_used} + n;
  bufp->send_used = used > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(used);
}

void decode_failed(Buffer* bufp, const char* what, uint32_t offset) {
  debug_log('P', 0, "Unable to decode message. Expected %s at offset %u", what, offset);
  log_context(bufp);
  bufp->recv_decode_failed = -1;
}

// n bytes at the position for a typed get, logging what was expected when
// they are not there. Quiet when an earlier get failed.
const uint8_t* take(Buffer* bufp, uint32_t n, const char* what) {
  if (bufp->recv_decode_failed) return nullptr;
  const uint32_t at = bufp->recv_pos;
  const uint8_t* p = nullptr;
  if (Buffer_Get_raw(bufp, &p, n) != 0) {
    decode_failed(bufp, what, at);
    return nullptr;
  }
  return p;
}

}  // namespace

void Buffer_SetHeap(const BufferHeap* heap) {
  g_heap = heap != nullptr ? *heap : BufferHeap{malloc, realloc};
}

void Buffer_Init(Buffer* bufp) {
  memset(bufp, 0, sizeof *bufp);
  bufp->local_charset = -1;
  bufp->client_charset = -1;
  bufp->host_order = host_byte_order();
  bufp->wire_order = kLittleEndian;
  bufp->send_limit = kBufferDefaultSendLimit;
}

void Buffer_SetSendArea(Buffer* bufp, uint8_t* area, uint32_t size, int no_grow) {
  free_send_block(bufp);
  bufp->send_used = 0;
  bufp->send_area = area;
  bufp->send_area_size = area != nullptr ? size : 0;
  bufp->send_no_grow = no_grow;
}

void Buffer_SetRecvArea(Buffer* bufp, uint8_t* area, uint32_t size, int no_grow) {
  free_recv_block(bufp);
  bufp->recv_size = 0;
  bufp->recv_pos = 0;
  bufp->recv_area = area;
  bufp->recv_area_size = area != nullptr ? size : 0;
  bufp->recv_no_grow = no_grow;
}

void Buffer_Free(Buffer* bufp) {
  free_send_block(bufp);
  free_recv_block(bufp);
  bufp->send_used = 0;
  bufp->recv_size = 0;
  bufp->recv_pos = 0;
}

void Buffer_SetWireOrder(Buffer* bufp, uint32_t order) {
  ZENT_ASSERT(order == kBigEndian || order == kLittleEndian);
  bufp->wire_order = order;
}

void Buffer_SetCharsets(Buffer* bufp, int32_t local_id, int32_t client_id) {
  bufp->local_charset = local_id;
  bufp->client_charset = client_id;
}

void Buffer_SetContext(Buffer* bufp, const char* text) { bufp->context = text; }
void Buffer_SetSendLimit(Buffer* bufp, uint32_t limit) {
  bufp->send_limit = limit < kBufferMaxSendLimit ? limit : kBufferMaxSendLimit;
}
int Buffer_SendFailed(const Buffer* bufp) { return bufp->send_alloc_failed; }
int Buffer_RecvFailed(const Buffer* bufp) { return bufp->recv_decode_failed; }

// --- outgoing ---------------------------------------------------------------

void Buffer_SendReset(Buffer* bufp) {
  free_send_block(bufp);
  bufp->send_used = 0;
  bufp->send_alloc_failed = 0;
}

uint8_t* Buffer_Reserve(Buffer* bufp, uint32_t n) {
  if (bufp->send_alloc_failed) return nullptr;
  const uint64_t payload = uint64_t{bufp->send_used} + n;
  if (payload > bufp->send_limit) return send_failed(bufp);
  // Whole words of payload plus the length word.
  const uint64_t words = ((payload + 3) >> 2) + 1;
  if (words <= bufp->send_capacity) return bufp->send_buf + 4 + bufp->send_used;

  const bool in_area = bufp->send_buf == nullptr || bufp->send_buf == bufp->send_area;
  if (bufp->send_area != nullptr && in_area && words * 4 <= bufp->send_area_size) {
    bufp->send_buf = bufp->send_area;
    bufp->send_capacity = bufp->send_area_size / 4;
    return bufp->send_buf + 4 + bufp->send_used;
  }
  if (bufp->send_no_grow) return send_failed(bufp);

  const uint64_t capacity = words + kSpareWords;
  if (capacity * 4 > SIZE_MAX || capacity > UINT32_MAX) return send_failed(bufp);
  const size_t bytes = static_cast<size_t>(capacity * 4);
  if (bufp->send_buf == nullptr || bufp->send_buf != bufp->send_area) {
    auto* grown = static_cast<uint8_t*>(g_heap.realloc_fn(bufp->send_buf, bytes));
    if (grown == nullptr) {
      // The old block is of no further use: the message is refused whole.
      free_send_block(bufp);
      return send_failed(bufp);
    }
    bufp->send_buf = grown;
  } else {
    auto* block = static_cast<uint8_t*>(g_heap.malloc_fn(bytes));
    if (block == nullptr) return send_failed(bufp);
    memcpy(block + 4, bufp->send_area + 4, bufp->send_used);
    bufp->send_buf = block;
  }
  bufp->send_capacity = static_cast<uint32_t>(capacity);
  return bufp->send_buf + 4 + bufp->send_used;
}

uint8_t* Buffer_Put_raw(Buffer* bufp, uint32_t n) {
  uint8_t* p = Buffer_Reserve(bufp, n);
  count_used(bufp, n);
  return p;
}

void Buffer_Put_u8(Buffer* bufp, uint8_t val) {
  if (uint8_t* p = Buffer_Put_raw(bufp, 1)) *p = val;
}

void Buffer_Put_u16(Buffer* bufp, uint16_t val) {
  if (uint8_t* p = Buffer_Put_raw(bufp, 2)) store16(p, val, bufp->wire_order);
}

void Buffer_Put_u32(Buffer* bufp, uint32_t val) {
  if (uint8_t* p = Buffer_Put_raw(bufp, 4)) store32(p, val, bufp->wire_order);
}

void Buffer_Put_i8(Buffer* bufp, int8_t val) { Buffer_Put_u8(bufp, static_cast<uint8_t>(val)); }
void Buffer_Put_i16(Buffer* bufp, int16_t val) {
  Buffer_Put_u16(bufp, static_cast<uint16_t>(val));
}
void Buffer_Put_i32(Buffer* bufp, int32_t val) {
  Buffer_Put_u32(bufp, static_cast<uint32_t>(val));
}

void Buffer_Put_str(Buffer* bufp, const char* val) {
  ZENT_ASSERT(val != NULL);
  size_t len = strlen(val);
  if (len > kBufferMaxStrLen) {
    debug_log('P', 1, "Buffer_Put_str(): text of %zu bytes cut to %u", len, kBufferMaxStrLen);
    len = kBufferMaxStrLen;
  }
  const auto n = static_cast<uint32_t>(len + 1);
  uint8_t* p = Buffer_Put_raw(bufp, n + 2);
  if (p == nullptr) return;
  store16(p, static_cast<uint16_t>(n), bufp->wire_order);
  memcpy(p + 2, val, len);
  p[2 + len] = 0;
  if (map_text(bufp, bufp->local_charset, bufp->client_charset, p + 2, n, "Buffer_Put_str()") != 0)
    bufp->send_alloc_failed = -1;
}

void Buffer_Put_nzstr(Buffer* bufp, const char* val, uint32_t n) {
  ZENT_ASSERT(val != NULL);
  uint8_t* p = Buffer_Put_raw(bufp, n);
  if (p == nullptr) return;
  memcpy(p, val, n);
  if (map_text(bufp, bufp->local_charset, bufp->client_charset, p, n, "Buffer_Put_nzstr()") != 0)
    bufp->send_alloc_failed = -1;
}

uint8_t* Buffer_Put_obj(Buffer* bufp, uint32_t n) {
  if (n > UINT32_MAX - 4) {
    // No payload can hold it; fail the message the way a failed allocation does.
    if (!bufp->send_alloc_failed) send_failed(bufp);
    count_used(bufp, UINT32_MAX);
    return nullptr;
  }
  uint8_t* p = Buffer_Put_raw(bufp, n + 4);
  if (p == nullptr) return nullptr;
  store32(p, n, bufp->wire_order);
  return p + 4;
}

void Buffer_Put_align(Buffer* bufp, uint32_t align) {
  ZENT_ASSERT(align > 0);
  const uint32_t pad = align - bufp->send_used % align;
  // Padding goes out zeroed: stale bytes of an earlier reply must not leak.
  if (uint8_t* p = Buffer_Reserve(bufp, pad)) memset(p, 0, pad);
  count_used(bufp, pad);
}

void Buffer_Finish(Buffer* bufp) {
  if (bufp->send_buf == nullptr) Buffer_Reserve(bufp, 0);
  ZENT_ASSERT(bufp->send_alloc_failed == 0);
  store32(bufp->send_buf, bufp->send_used, kBigEndian);
}

const uint8_t* Buffer_SendData(const Buffer* bufp) {
  ZENT_ASSERT(bufp->send_alloc_failed == 0);
  return bufp->send_buf;
}

uint32_t Buffer_SendSize(const Buffer* bufp) { return bufp->send_used + 4; }

// --- incoming ---------------------------------------------------------------

void Buffer_RecvReset(Buffer* bufp) {
  free_recv_block(bufp);
  bufp->recv_size = 0;
  bufp->recv_pos = 0;
}

uint8_t* Buffer_RecvArea(Buffer* bufp, uint32_t n) {
  ZENT_ASSERT(bufp->recv_buf == NULL);
  const uint64_t rounded = (uint64_t{n} + 3) & ~uint64_t{3};
  uint8_t* buf = nullptr;
  if (bufp->recv_area != nullptr && rounded <= bufp->recv_area_size)
    buf = bufp->recv_area;
  else if (!bufp->recv_no_grow && rounded <= SIZE_MAX)
    buf = static_cast<uint8_t*>(g_heap.malloc_fn(rounded > 0 ? static_cast<size_t>(rounded) : 4));
  if (buf == nullptr) return nullptr;
  bufp->recv_buf = buf;
  bufp->recv_size = n;
  bufp->recv_pos = 0;
  bufp->recv_decode_failed = 0;
  return buf;
}

int Buffer_Get_raw(Buffer* bufp, const uint8_t** place, uint32_t n) {
  *place = nullptr;
  if (bufp->recv_decode_failed) return -1;
  ZENT_ASSERT(bufp->recv_buf != NULL);
  // Subtracting keeps a 32-bit count from the wire from wrapping the sum.
  if (n == 0 || n > bufp->recv_size - bufp->recv_pos) {
    bufp->recv_decode_failed = -1;
    return -1;
  }
  *place = bufp->recv_buf + bufp->recv_pos;
  bufp->recv_pos += n;
  return 0;
}

int Buffer_Get_u8(Buffer* bufp, uint8_t* val) {
  const uint8_t* p = take(bufp, 1, "8bit Integer");
  *val = p != nullptr ? *p : 0;
  return p != nullptr ? 0 : -1;
}

int Buffer_Get_u16(Buffer* bufp, uint16_t* val) {
  const uint8_t* p = take(bufp, 2, "16bit Integer");
  *val = p != nullptr ? load16(p, bufp->wire_order) : 0;
  return p != nullptr ? 0 : -1;
}

int Buffer_Get_u32(Buffer* bufp, uint32_t* val) {
  const uint8_t* p = take(bufp, 4, "32bit Integer");
  *val = p != nullptr ? load32(p, bufp->wire_order) : 0;
  return p != nullptr ? 0 : -1;
}

int Buffer_Get_i8(Buffer* bufp, int8_t* val) {
  uint8_t v;
  const int rc = Buffer_Get_u8(bufp, &v);
  *val = static_cast<int8_t>(v);
  return rc;
}

int Buffer_Get_i16(Buffer* bufp, int16_t* val) {
  uint16_t v;
  const int rc = Buffer_Get_u16(bufp, &v);
  *val = static_cast<int16_t>(v);
  return rc;
}

int Buffer_Get_i32(Buffer* bufp, int32_t* val) {
  uint32_t v;
  const int rc = Buffer_Get_u32(bufp, &v);
  *val = static_cast<int32_t>(v);
  return rc;
}

int Buffer_Get_str(Buffer* bufp, const char** val) {
  *val = "";
  const uint8_t* p = take(bufp, 2, "String length");
  if (p == nullptr) return -1;
  const uint32_t count = load16(p, bufp->wire_order);
  const uint32_t at = bufp->recv_pos;
  const uint8_t* text = count > 0 ? take(bufp, count, "String value") : nullptr;
  if (count == 0) decode_failed(bufp, "String value", at);
  if (text == nullptr) return -1;
  // The text is handed out as a C string inside the payload: it must end there.
  if (text[count - 1] != 0) {
    decode_failed(bufp, "String terminator", at + count - 1);
    return -1;
  }
  uint8_t* mutable_text = bufp->recv_buf + at;
  if (map_text(bufp, bufp->client_charset, bufp->local_charset, mutable_text, count,
               "Buffer_Get_str()") != 0) {
    bufp->recv_decode_failed = -1;
    return -1;
  }
  *val = reinterpret_cast<const char*>(mutable_text);
  return 0;
}

int Buffer_Get_obj(Buffer* bufp, const uint8_t** place, uint32_t* size) {
  *place = nullptr;
  *size = 0;
  const uint8_t* p = take(bufp, 4, "Object size");
  if (p == nullptr) return -1;
  const uint32_t count = load32(p, bufp->wire_order);
  if (count == 0) {
    *place = bufp->recv_buf + bufp->recv_pos;
    return 0;
  }
  const uint8_t* data = take(bufp, count, "Object value");
  if (data == nullptr) return -1;
  *place = data;
  *size = count;
  return 0;
}

void Buffer_Get_align(Buffer* bufp, uint32_t align) {
  ZENT_ASSERT(bufp->recv_buf != NULL);
  ZENT_ASSERT(align > 0);
  if (bufp->recv_decode_failed) return;
  const uint32_t pad = align - bufp->recv_pos % align;
  if (pad <= bufp->recv_size - bufp->recv_pos)
    bufp->recv_pos += pad;
  else
    bufp->recv_decode_failed = -1;
}
