// buffer.h - the message codec: builds one outgoing message and decodes one
// incoming message of a client session (or an HTTP page being built).
//
// The two directions are independent: each has its own caller-owned fixed
// area, its own heap block when a message outgrows that area, and its own
// sticky failure flag. A handler may therefore put (or get) a whole message
// and test the flag once at the end. Integers travel in the wire byte order
// (big-endian 4321 or little-endian 1234); the framing length word in front
// of the payload is always big-endian. Decoded strings and objects point
// into the receive buffer: they stay valid until the next Buffer_RecvReset,
// and building the reply never moves or overwrites them.
//
// Runs on the server thread only; no locks.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr uint32_t kBigEndian = 4321;
inline constexpr uint32_t kLittleEndian = 1234;
// The largest text Buffer_Put_str sends: its count (text + NUL) must fit 16 bits.
inline constexpr uint32_t kBufferMaxStrLen = 65534;
// Default cap on one outgoing payload; larger replies fail as an allocation
// failure does and are never sent.
inline constexpr uint32_t kBufferDefaultSendLimit = 64u << 20;
// No payload may be larger: its size with the length word must fit 32 bits.
inline constexpr uint32_t kBufferMaxSendLimit = UINT32_MAX - 7;

struct Buffer {
  // Caller-owned areas used while a message fits; no_grow forbids heap blocks.
  uint8_t* send_area;
  uint32_t send_area_size;
  int send_no_grow;
  uint8_t* recv_area;
  uint32_t recv_area_size;
  int recv_no_grow;

  int32_t local_charset;   // -1 unset
  uint32_t host_order;     // byte order of this machine
  int32_t client_charset;  // -1 unset
  uint32_t wire_order;     // 4321 or 1234

  int send_alloc_failed;   // 0, or -1 once an outgoing step failed
  int recv_decode_failed;  // 0, or -1 once an incoming step failed

  uint8_t* send_buf;       // starts with the 4-byte length word
  uint32_t send_used;      // payload bytes counted after the length word
  uint32_t send_capacity;  // size of send_buf in 4-byte words
  uint32_t send_limit;     // largest payload a message may grow to

  uint8_t* recv_buf;       // the incoming payload
  uint32_t recv_size;
  uint32_t recv_pos;       // bytes consumed from the payload start

  const char* context;     // operation named in failure lines, or none
};

// The heap calls the codec grows its messages with. Fault-injection tests
// replace them; none restores the C library's.
struct BufferHeap {
  void* (*malloc_fn)(size_t);
  void* (*realloc_fn)(void*, size_t);
};
void Buffer_SetHeap(const BufferHeap* heap);

// --- set-up and state -----------------------------------------------------
void Buffer_Init(Buffer* bufp);
// Frees the direction's heap block (never the fixed area) and installs the
// new fixed area; the area must outlive its use by the buffer.
void Buffer_SetSendArea(Buffer* bufp, uint8_t* area, uint32_t size, int no_grow);
void Buffer_SetRecvArea(Buffer* bufp, uint8_t* area, uint32_t size, int no_grow);
// Frees both directions' heap blocks and forgets both messages.
void Buffer_Free(Buffer* bufp);
void Buffer_SetWireOrder(Buffer* bufp, uint32_t order);
// Strings are translated between the two ids (zn__charset_map) when they
// differ; the server's sessions leave both unset, so strings pass unchanged.
void Buffer_SetCharsets(Buffer* bufp, int32_t local_id, int32_t client_id);
void Buffer_SetContext(Buffer* bufp, const char* text);
// Cap on an outgoing payload in bytes (see kBufferDefaultSendLimit); at most
// kBufferMaxSendLimit.
void Buffer_SetSendLimit(Buffer* bufp, uint32_t limit);
int Buffer_SendFailed(const Buffer* bufp);
int Buffer_RecvFailed(const Buffer* bufp);

// --- outgoing ---------------------------------------------------------------
void Buffer_SendReset(Buffer* bufp);
// Room for n more payload bytes, not yet counted; none after a failure.
uint8_t* Buffer_Reserve(Buffer* bufp, uint32_t n);
// Reserves and counts n bytes (counted even when the room could not be had).
uint8_t* Buffer_Put_raw(Buffer* bufp, uint32_t n);
void Buffer_Put_u8(Buffer* bufp, uint8_t val);
void Buffer_Put_u16(Buffer* bufp, uint16_t val);
void Buffer_Put_u32(Buffer* bufp, uint32_t val);
void Buffer_Put_i8(Buffer* bufp, int8_t val);
void Buffer_Put_i16(Buffer* bufp, int16_t val);
void Buffer_Put_i32(Buffer* bufp, int32_t val);
// u16 count (length + 1), the text and its NUL; texts longer than
// kBufferMaxStrLen are cut there.
void Buffer_Put_str(Buffer* bufp, const char* val);
// Exactly n bytes of val, no count and no NUL.
void Buffer_Put_nzstr(Buffer* bufp, const char* val, uint32_t n);
// u32 count n; returns where the caller writes the n bytes, or none.
uint8_t* Buffer_Put_obj(Buffer* bufp, uint32_t n);
// 1 to align zero bytes so that the position becomes a multiple of align.
void Buffer_Put_align(Buffer* bufp, uint32_t align);
// Writes the big-endian length word; no outgoing step may have failed.
void Buffer_Finish(Buffer* bufp);
// The finished message (length word first) and its size in bytes.
const uint8_t* Buffer_SendData(const Buffer* bufp);
uint32_t Buffer_SendSize(const Buffer* bufp);

// --- incoming ---------------------------------------------------------------
void Buffer_RecvReset(Buffer* bufp);
// A buffer for an n-byte payload (the fixed area when it fits), or none;
// clears the decode failure. The previous payload must have been reset.
uint8_t* Buffer_RecvArea(Buffer* bufp, uint32_t n);
// Each get returns 0, or -1 with the failure flag set (values then 0/none).
int Buffer_Get_raw(Buffer* bufp, const uint8_t** place, uint32_t n);
int Buffer_Get_u8(Buffer* bufp, uint8_t* val);
int Buffer_Get_u16(Buffer* bufp, uint16_t* val);
int Buffer_Get_u32(Buffer* bufp, uint32_t* val);
int Buffer_Get_i8(Buffer* bufp, int8_t* val);
int Buffer_Get_i16(Buffer* bufp, int16_t* val);
int Buffer_Get_i32(Buffer* bufp, int32_t* val);
// A NUL-terminated text inside the payload ("" on failure). A count of 0 or
// a last counted byte that is not NUL is a decoding failure.
int Buffer_Get_str(Buffer* bufp, const char** val);
// Pointer into the payload and its u32 count; none and 0 on failure.
int Buffer_Get_obj(Buffer* bufp, const uint8_t** place, uint32_t* size);
// Skips 1 to align bytes of padding; failure only sets the flag.
void Buffer_Get_align(Buffer* bufp, uint32_t align);
